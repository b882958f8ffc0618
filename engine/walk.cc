#include "engine/walk.h"

#include <algorithm>
#include <utility>

namespace engine {
namespace {

// The pause after the root can't be resolved, so a window opened just for
// this run shows the message before it closes.
constexpr int kFatalPauseMilliseconds = 500;

// Sorts the entries of `list` from `first` on by name, in byte order, where
// the system's listings are not already in an order of their own.
void SortByName(platform::EntryList* list, std::size_t first = 0) {
  if (!platform::kSortsListings) return;
  const std::string& names = list->names;
  std::sort(list->entries.begin() + static_cast<std::ptrdiff_t>(first), list->entries.end(),
            [&names](const platform::Entry& a, const platform::Entry& b) {
              return std::string_view(names.data() + a.name_offset, a.name_size) <
                     std::string_view(names.data() + b.name_offset, b.name_size);
            });
}

}  // namespace

Walker::Walker(platform::FileSystem& fs, Report& report, NameFilter filter)
    : fs_(fs), report_(report), filter_(std::move(filter)), stack_(fs) {}

bool Walker::ShouldStop() const { return platform::StopRequested() || report_.output_failed(); }

int Walker::GetRootFolder(std::string& root) {
  std::string reason;
  if (!fs_.CurrentDirectory(&root, &reason) || root.empty()) {
    report_.Error("Fatal Error: GetCnrrentDirectory failed");
    report_.console().Pause(kFatalPauseMilliseconds);
    return 0;
  }
  report_.Text("Root Path = ").Path(root).EndLine();
  return 1;
}

// Lists `dir` and keeps its by-products in `targets` (emptied first) and,
// when asked, its subfolders at the end of `subfolders`, each sorted by name.
bool Walker::ListTargets(const platform::Dir& dir, const ExtensionList& extensions,
                         platform::EntryList* targets, platform::EntryList* subfolders) {
  targets->Clear();
  if (!fs_.ListEntries(dir, &listing_)) return false;
  const std::size_t first_subfolder = subfolders != nullptr ? subfolders->entries.size() : 0;
  for (const platform::Entry& entry : listing_.entries) {
    const std::string_view name = listing_.NameOf(entry);
    if (entry.kind == platform::EntryKind::kFolder) {
      if (subfolders != nullptr && !filter_.SkipsFolder(name)) subfolders->Add(name, entry.kind);
    } else if (IsListedExtension(ExtensionOf(name), extensions) == 1 && !filter_.SkipsFile(name)) {
      targets->Add(name, entry.kind);
    }
  }
  SortByName(targets);
  if (subfolders != nullptr) SortByName(subfolders, first_subfolder);
  return true;
}

bool Walker::ListAndSplit(CollectedFolder* folder, const ExtensionList& extensions) {
  folder->has_listing = false;
  const std::size_t first_child = subfolders_.entries.size();
  if (!ListTargets(*stack_.top(), extensions, &folder->targets, &subfolders_)) return false;
  // Keep what we saw only if a later change is sure to show in the stamp.
  folder->has_listing = folder->info.stamp_is_reliable;
  frames_.push_back({first_child, subfolders_.entries.size(), folder->info.id});
  return true;
}

void Walker::RememberAncestor(const platform::FolderId& id) {
  if (id.IsKnown()) ancestors_.insert(id);
}

void Walker::LeaveFrame() {
  const Frame& frame = frames_.back();
  ancestors_.erase(frame.id);
  // Children are stored after their parent's, so a finished folder's names
  // are always the last ones.
  subfolders_.TruncateTo(frame.first_child);
  frames_.pop_back();
  stack_.PopTo(frames_.size());
}

int Walker::CollectSubFolders(const std::string& /*folder*/, FolderList& folders,
                              const ExtensionList& extensions) {
  // The root is walked through its open handle, not its displayed path,
  // which may be longer than the system accepts in one call.
  CollectedFolder& root = root_;
  root = CollectedFolder();
  std::string reason;
  if (!stack_.OpenRoot(&root.info, &reason)) return 0;
  root.identity_known = true;
  frames_.clear();
  subfolders_.Clear();
  ancestors_.clear();
  if (!ListAndSplit(&root, extensions)) return 0;
  // The root is cleaned last, long after collection: always list it again.
  root.has_listing = false;
  RememberAncestor(root.info.id);

  CollectedFolder& child = scratch_folder_;
  while (!frames_.empty()) {
    if (ShouldStop()) return 0;
    Frame& frame = frames_.back();
    if (frame.next_child == frame.end_child) {
      LeaveFrame();
      continue;
    }
    child.depth = frames_.size();
    child.name.assign(subfolders_.NameOf(subfolders_.entries[frame.next_child++]));
    if (!stack_.Push(child.name, &child.info)) {
      // Listed as a folder but can't be opened: it keeps its place in the
      // list, and cleaning will find it can't be read.
      child.info = platform::FolderInfo();
      child.identity_known = false;
      child.has_listing = false;
      folders.Append(child);
      continue;
    }
    child.identity_known = true;
    // An unknown id can't show a loop, and is never taken for one: every
    // such folder would otherwise look like its own ancestor.
    if (child.info.id.IsKnown() && ancestors_.count(child.info.id) != 0) {
      stack_.PopTo(frames_.size());  // a loop back to an ancestor
      continue;
    }
    const bool listed = ListAndSplit(&child, extensions);
    folders.Append(child);
    if (listed) {
      RememberAncestor(child.info.id);
    } else {
      stack_.PopTo(frames_.size());
    }
  }
  return 1;
}

const platform::Dir* Walker::ReachForCleaning(const CollectedFolder& folder,
                                              platform::FolderInfo* now) {
  if (stack_.size() == 0) return nullptr;  // the root was never opened
  if (folder.depth == 0) {
    stack_.PopTo(1);
    // The root's own handle was read to its end during collection; read it
    // through a fresh one, which must still be the same folder.
    std::string reason;
    if (!fs_.OpenCurrentDirectory(&root_for_cleaning_, now, &reason) ||
        platform::KnownToDiffer(now->id, root_.info.id)) {
      return nullptr;
    }
    return &root_for_cleaning_;
  }
  // A folder whose parent could not be reached is not reached either.
  if (!folder.identity_known || stack_.size() < folder.depth) return nullptr;
  stack_.PopTo(folder.depth);
  if (!stack_.Push(folder.name, now)) return nullptr;
  if (platform::KnownToDiffer(now->id, folder.info.id)) {
    // Something else stands under the collected name now (a folder moved or
    // swapped in): it was never part of the tree we showed, so leave it.
    // Without ids the name, opened without following links, is all we have.
    stack_.PopTo(folder.depth);
    return nullptr;
  }
  return stack_.top();
}

int Walker::DeleteTargets(const platform::Dir& dir, const platform::EntryList& targets,
                          const std::string& folder_path) {
  int count = 0;
  std::string reason;
  for (const platform::Entry& target : targets.entries) {
    if (ShouldStop()) break;
    const std::string_view name = targets.NameOf(target);
    // A link is a by-product only if it does not lead to a folder; either
    // way only the link itself is ever removed.
    if (target.kind == platform::EntryKind::kLink && fs_.LinkLeadsToFolder(dir, name)) continue;
    switch (fs_.RemoveFile(dir, name, &reason)) {
      case platform::RemoveResult::kRemoved:
        ++count;
        report_.Text(deletion_label_).PathInFolder(displayed_folder_, name).Text(" ").EndLine();
        break;
      case platform::RemoveResult::kMissing:
      case platform::RemoveResult::kIsFolder:
        break;  // gone already, or no longer a file: not ours to count
      case platform::RemoveResult::kFailed:
        deletion_failed_ = true;
        ReportFailedDeletion(folder_path, name, reason);
        break;
    }
  }
  return count;
}

void Walker::ReportFailedDeletion(const std::string& folder_path, std::string_view name,
                                  const std::string& reason) {
  std::string file_path = folder_path;
  platform::AppendPathComponent(&file_path, name);
  std::string line = "Error: cannot delete '";
  report_.AppendForDisplay(&line, file_path);
  line += "': ";
  report_.AppendForDisplay(&line, reason);
  report_.Error(line);
}

int Walker::CleanFolder(const CollectedFolder& folder, const std::string& path,
                        const ExtensionList& extensions) {
  platform::FolderInfo now;
  const platform::Dir* reached = ReachForCleaning(folder, &now);
  if (reached == nullptr) return 0;
  const platform::Dir& dir = *reached;
  // An unchanged stamp proves the folder holds the same names as when it was
  // collected, so that listing can stand in for reading it again.
  const platform::EntryList* targets = &folder.targets;
  if (!folder.has_listing || now.change_stamp != folder.info.change_stamp) {
    if (!ListTargets(dir, extensions, &fresh_targets_, nullptr)) return 0;
    targets = &fresh_targets_;
  }
  displayed_folder_.clear();
  report_.AppendForDisplay(&displayed_folder_, path);
  report_.Text("Folder : ").DisplayedPath(displayed_folder_).Text(" ").EndLine();
  const int count = DeleteTargets(dir, *targets, path);
  report_.Text("Remove File Count = ").Number(count).EndLine();
  return count;
}

PathBuilder::PathBuilder(std::string root) : path_(std::move(root)), length_at_depth_{path_.size()} {}

const std::string& PathBuilder::Enter(std::size_t depth, const std::string& name) {
  length_at_depth_.resize(depth);
  path_.resize(length_at_depth_.back());
  platform::AppendPathComponent(&path_, name);
  length_at_depth_.push_back(path_.size());
  return path_;
}

}  // namespace engine
