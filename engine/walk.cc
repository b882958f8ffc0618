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

bool Walker::ShouldStop() const {
  return platform::StopRequested() || report_.output_failed() ||
         (also_stop_ != nullptr && also_stop_->load(std::memory_order_relaxed));
}

void Walker::OpenRootForCleaning(const platform::FolderId& root) {
  platform::FolderInfo info;
  std::string reason;
  if (!stack_.OpenRoot(&info, &reason) || platform::KnownToDiffer(info.id, root)) stack_.Clear();
}

void Walker::ReachAncestors(const FolderTrail& trail, std::size_t depth) {
  if (stack_.size() == 0) return;
  // Keep the levels that already are the trail's (same name below the same
  // parent, same identity); cleaning in order would not have left them.
  std::size_t reached = 1;
  while (reached < stack_.size() && reached < depth) {
    const FolderTrail::Step step = trail.At(reached);
    if (!step.identity_known || stack_.name_at(reached) != step.name ||
        stack_.id_at(reached) != step.id) {
      break;
    }
    ++reached;
  }
  stack_.PopTo(reached);
  for (; reached < depth; ++reached) {
    const FolderTrail::Step step = trail.At(reached);
    platform::FolderInfo now;
    // A failure here was reported, if at all, where that folder itself was
    // cleaned; below it nothing is reached, as in order.
    std::string unreported;
    if (!step.identity_known ||
        stack_.Push(step.name, &now, &unreported) != platform::OpenResult::kOpened) {
      return;
    }
    if (platform::KnownToDiffer(now.id, step.id)) {
      stack_.PopTo(reached);
      return;
    }
  }
}

int Walker::GetRootFolder(std::string& root) {
  std::string reason;
  if (!fs_.CurrentDirectory(&root, &reason) || root.empty()) {
    fell_short_ = true;
    report_.Error("Fatal Error: GetCnrrentDirectory failed");
    report_.console().Pause(kFatalPauseMilliseconds);
    return 0;
  }
  report_.Text("Root Path = ").Path(root).EndLine();
  return 1;
}

// Lists `dir`, on `device`, and keeps its by-products in `targets` and, when
// asked, its subfolders at the end of `subfolders`, each sorted by name. The
// listing is read straight into `targets` and thinned out in place: a folder
// of a hundred thousand by-products is then held once, not twice.
bool Walker::ListTargets(const platform::Dir& dir, std::uint64_t device,
                         const ExtensionList& extensions, platform::EntryList* targets,
                         platform::EntryList* subfolders, std::string* error) {
  if (!fs_.ListEntries(dir, targets, error)) {
    targets->Clear();
    return false;
  }
  const std::size_t first_subfolder = subfolders != nullptr ? subfolders->entries.size() : 0;
  const bool check_kept = !kept_files_.empty() && targets->inodes.size() == targets->entries.size();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < targets->entries.size(); ++i) {
    const platform::Entry entry = targets->entries[i];
    const std::string_view name = targets->NameOf(entry);
    if (entry.kind == platform::EntryKind::kFolder) {
      if (subfolders != nullptr && !filter_.SkipsFolder(name)) subfolders->Add(name, entry.kind);
    } else if (IsListedExtension(ExtensionOf(name), extensions) == 1 && !filter_.SkipsFile(name) &&
               !(check_kept && IsKeptFile(device, targets->inodes[i]))) {
      targets->entries[kept++] = entry;  // its name stays where it was listed
    }
  }
  targets->entries.resize(kept);
  targets->inodes.clear();
  SortByName(targets);
  if (subfolders != nullptr) SortByName(subfolders, first_subfolder);
  return true;
}

bool Walker::IsKeptFile(std::uint64_t device, std::uint64_t inode) const {
  for (const platform::FolderId& kept : kept_files_) {
    if (kept.inode == inode && kept.device == device) return true;
  }
  return false;
}

bool Walker::ListAndSplit(CollectedFolder* folder, const ExtensionList& extensions) {
  folder->has_listing = false;
  const std::size_t first_child = subfolders_.entries.size();
  if (!ListTargets(*stack_.top(), folder->info.id.device, extensions, &folder->targets,
                   &subfolders_, &folder->unreadable_reason)) {
    return false;
  }
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
  if (!stack_.OpenRoot(&root.info, &root.unreadable_reason)) return 0;
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
    CollectChild(&child, &folders, extensions);
  }
  // The largest folder's by-products were copied into the list; cleaning
  // reads them from there, so their scratch copy need not wait out the run.
  child = CollectedFolder();
  return 1;
}

// Opens and lists the folder `child` below the top of the stack and records
// it; a folder that can be read becomes the new top.
void Walker::CollectChild(CollectedFolder* child, FolderList* folders,
                          const ExtensionList& extensions) {
  const platform::OpenResult opened =
      stack_.Push(child->name, &child->info, &child->unreadable_reason);
  if (opened != platform::OpenResult::kOpened) {
    // Listed as a folder but can't be opened: it keeps its place in the
    // list, and cleaning says why, unless it had simply gone away.
    child->info = platform::FolderInfo();
    child->identity_known = false;
    child->has_listing = false;
    child->targets.Clear();
    folders->Append(*child);
    return;
  }
  child->identity_known = true;
  // An unknown id can't show a loop, and is never taken for one: every
  // such folder would otherwise look like its own ancestor.
  if (child->info.id.IsKnown() && ancestors_.count(child->info.id) != 0) {
    stack_.PopTo(frames_.size());  // a loop back to an ancestor
    return;
  }
  const bool listed = ListAndSplit(child, extensions);
  folders->Append(*child);
  if (listed) {
    RememberAncestor(child->info.id);
  } else {
    stack_.PopTo(frames_.size());
  }
}

// The open folder to clean `folder` in, or null: then `error` holds why it
// can't be read, or stays empty when it is simply no longer there.
const platform::Dir* Walker::ReachForCleaning(const CollectedFolder& folder,
                                              platform::FolderInfo* now, std::string* error) {
  if (stack_.size() == 0) return nullptr;  // the root was never opened
  if (folder.depth == 0) {
    stack_.PopTo(1);
    // The root's own handle was read to its end during collection; read it
    // through a fresh one, which must still be the same folder.
    if (!fs_.OpenCurrentDirectory(&root_for_cleaning_, now, error)) return nullptr;
    if (platform::KnownToDiffer(now->id, root_.info.id)) {
      error->clear();
      return nullptr;
    }
    return &root_for_cleaning_;
  }
  // A folder whose parent could not be reached is not reached either.
  if (!folder.identity_known || stack_.size() < folder.depth) return nullptr;
  stack_.PopTo(folder.depth);
  const platform::OpenResult opened = stack_.Push(folder.name, now, error);
  if (opened != platform::OpenResult::kOpened) return nullptr;
  if (platform::KnownToDiffer(now->id, folder.info.id)) {
    // Something else stands under the collected name now (a folder moved or
    // swapped in): it was never part of the tree we showed, so leave it.
    // Without ids the name, opened without following links, is all we have.
    stack_.PopTo(folder.depth);
    return nullptr;
  }
  return stack_.top();
}

// Whether the target `name` may be removed. A link is a by-product only if
// it is known not to lead to a folder; either way only the link itself is
// ever removed.
bool Walker::MayDelete(const platform::Dir& dir, const platform::Entry& target,
                       std::string_view name, const std::string& folder_path) {
  if (target.kind != platform::EntryKind::kLink) return true;
  std::string reason;
  switch (fs_.LinkLeadsToFolder(dir, name, &reason)) {
    case platform::LinkTarget::kNotFolder:
      return true;
    case platform::LinkTarget::kFolder:
      return false;
    case platform::LinkTarget::kUnknown:
      break;
  }
  ReportFailedDeletion(folder_path, name, reason);
  return false;
}

int Walker::DeleteTargets(const platform::Dir& dir, const platform::EntryList& targets,
                          const std::string& folder_path) {
  int count = 0;
  std::string reason;
  for (const platform::Entry& target : targets.entries) {
    if (ShouldStop()) break;
    const std::string_view name = targets.NameOf(target);
    if (!MayDelete(dir, target, name, folder_path)) continue;
    // Everything the line needs is made ready first: once the file is gone,
    // running out of memory must not cost its line.
    displayed_name_.clear();
    report_.AppendForDisplay(&displayed_name_, name);
    report_.MakeRoom(displayed_folder_.size() + displayed_name_.size() + 16);
    switch (fs_.RemoveFile(dir, name, &reason)) {
      case platform::RemoveResult::kRemoved:
        ++count;
        ++deleted_;
        report_.Text(deletion_label_).DisplayedPathInFolder(displayed_folder_, displayed_name_);
        report_.Text(" ").EndLine();
        break;
      case platform::RemoveResult::kMissing:
      case platform::RemoveResult::kIsFolder:
        break;  // gone already, or no longer a file: not ours to count
      case platform::RemoveResult::kFailed:
        ReportFailedDeletion(folder_path, name, reason);
        break;
    }
  }
  return count;
}

void Walker::ReportFailedDeletion(const std::string& folder_path, std::string_view name,
                                  const std::string& reason) {
  fell_short_ = true;
  std::string file_path = folder_path;
  platform::AppendPathComponent(&file_path, name);
  report_.CannotError("delete", file_path, reason);
}

void Walker::ReportUnreadable(const std::string& path, const std::string& reason) {
  fell_short_ = true;
  report_.CannotError("read", path, reason);
}

void Walker::ReleaseMemory() {
  subfolders_ = platform::EntryList();
  fresh_targets_ = platform::EntryList();
  scratch_folder_ = CollectedFolder();
  std::vector<Frame>().swap(frames_);
  std::unordered_set<platform::FolderId, IdHash>().swap(ancestors_);
}

int Walker::CleanFolder(const CollectedFolder& folder, const std::string& path,
                        const ExtensionList& extensions) {
  if (!folder.unreadable_reason.empty()) {
    ReportUnreadable(path, folder.unreadable_reason);
    return 0;
  }
  platform::FolderInfo now;
  std::string reason;
  const platform::Dir* reached = ReachForCleaning(folder, &now, &reason);
  if (reached == nullptr) {
    if (!reason.empty()) ReportUnreadable(path, reason);
    return 0;
  }
  const platform::Dir& dir = *reached;
  // An unchanged stamp proves the folder holds the same names as when it was
  // collected, so that listing can stand in for reading it again.
  const platform::EntryList* targets = &folder.targets;
  if (!folder.has_listing || now.change_stamp != folder.info.change_stamp) {
    if (!ListTargets(dir, now.id.device, extensions, &fresh_targets_, nullptr, &reason)) {
      ReportUnreadable(path, reason);
      return 0;
    }
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

FolderTrail::FolderTrail(std::string root) : paths_(std::move(root)) {}

const std::string& FolderTrail::Enter(const CollectedFolder& folder) {
  const std::string& path = paths_.Enter(folder.depth, folder.name);
  levels_.resize(folder.depth - 1);
  levels_.push_back({folder.info.id, folder.identity_known, path.size() - folder.name.size(),
                     folder.name.size()});
  path_ = &path;
  return path;
}

FolderTrail::Step FolderTrail::At(std::size_t depth) const {
  const Level& level = levels_[depth - 1];
  return {std::string_view(*path_).substr(level.name_begin, level.name_size), level.id,
          level.identity_known};
}

}  // namespace engine
