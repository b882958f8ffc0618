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

Walker::Walker(platform::FileSystem& fs, Report& report, WalkerSettings settings)
    : fs_(fs), report_(report), settings_(std::move(settings)), stack_(fs) {}

bool Walker::ShouldStop() const {
  return platform::StopRequested() || report_.output_failed() ||
         (also_stop_ != nullptr && also_stop_->load(std::memory_order_relaxed));
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
  const NameFilter& filter = settings_.filter;
  const bool check_kept =
      !settings_.kept_files.empty() && targets->inodes.size() == targets->entries.size();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < targets->entries.size(); ++i) {
    const platform::Entry entry = targets->entries[i];
    const std::string_view name = targets->NameOf(entry);
    if (entry.kind == platform::EntryKind::kFolder) {
      if (subfolders != nullptr && !filter.SkipsFolder(name)) subfolders->Add(name, entry.kind);
    } else if (IsListedExtension(ExtensionOf(name), extensions) == 1 && !filter.SkipsFile(name) &&
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
  for (const platform::FolderId& kept : settings_.kept_files) {
    if (kept.inode == inode && kept.device == device) return true;
  }
  return false;
}

bool Walker::ListAndSplit(CollectedFolder* folder, const ExtensionList& extensions) {
  const std::size_t first_child = subfolders_.entries.size();
  if (!ListTargets(*stack_.top(), folder->info.id.device, extensions, &folder->targets,
                   &subfolders_, &folder->unreadable_reason)) {
    return false;
  }
  const std::uint64_t above = frames_.empty() ? 0 : frames_.back().lineage_bits;
  frames_.push_back({first_child, subfolders_.entries.size(), folder->info.id,
                     above | LineageBit(folder->info.id)});
  return true;
}

// Whether `id` is that of a folder on the stack, a subfolder's ancestor.
bool Walker::IsOpenAncestor(const platform::FolderId& id) const {
  if (frames_.empty() || (frames_.back().lineage_bits & LineageBit(id)) == 0) return false;
  for (const Frame& frame : frames_) {
    if (frame.id == id) return true;
  }
  return false;
}

void Walker::LeaveFrame() {
  const Frame& frame = frames_.back();
  // Children are stored after their parent's, so a finished folder's names
  // are always the last ones.
  subfolders_.TruncateTo(frame.first_child);
  frames_.pop_back();
  stack_.PopTo(frames_.size());
}

const platform::Dir* Walker::OpenRoot(const ExtensionList& extensions) {
  // The root is walked through its open handle, not its displayed path,
  // which may be longer than the system accepts in one call.
  CollectedFolder& root = root_;
  root = CollectedFolder();
  frames_.clear();
  subfolders_.Clear();
  if (!stack_.OpenRoot(&root.info, &root.unreadable_reason)) return nullptr;
  if (!ListAndSplit(&root, extensions)) return nullptr;
  // The root is cleaned last, long after this: its files are listed again then.
  root.targets = platform::EntryList();
  return stack_.top();
}

void Walker::SweepSubFolders(const std::string& root_path, const ExtensionList& extensions,
                             const std::function<void()>& after_root_listed) {
  if (OpenRoot(extensions) == nullptr) return;
  if (after_root_listed) after_root_listed();

  PathBuilder paths(root_path);
  CollectedFolder& child = scratch_folder_;
  while (!frames_.empty()) {
    if (ShouldStop()) return;
    Frame& frame = frames_.back();
    if (frame.next_child == frame.end_child) {
      LeaveFrame();
      continue;
    }
    child.name.assign(subfolders_.NameOf(subfolders_.entries[frame.next_child++]));
    SweepChild(&child, paths.Enter(frames_.size(), child.name), extensions);
  }
  // The largest folder's by-products need not wait out the run.
  child = CollectedFolder();
}

// Opens and lists the folder `child` below the top of the stack, cleans it
// through that same handle and writes its block; a folder that can be read
// becomes the new top, so its subfolders are visited next.
void Walker::SweepChild(CollectedFolder* child, const std::string& path,
                        const ExtensionList& extensions) {
  const platform::OpenResult opened =
      stack_.Push(child->name, &child->info, &child->unreadable_reason);
  if (opened != platform::OpenResult::kOpened) {
    // Listed as a folder but can't be opened: its block says why, unless it
    // had simply gone away.
    WriteUnreachedBlock(path, child->unreadable_reason);
    return;
  }
  // An unknown id can't show a loop, and is never taken for one: every
  // such folder would otherwise look like its own ancestor.
  if (child->info.id.IsKnown() && IsOpenAncestor(child->info.id)) {
    stack_.PopTo(frames_.size());  // a loop back to an ancestor
    return;
  }
  if (!ListAndSplit(child, extensions)) {
    stack_.PopTo(frames_.size());
    WriteUnreachedBlock(path, child->unreadable_reason);
    return;
  }
  WriteCleanedBlock(*stack_.top(), child->targets, path);
}

void Walker::WriteCleanedBlock(const platform::Dir& dir, const platform::EntryList& targets,
                               const std::string& path) {
  OpenBlock();
  CleanListedFolder(dir, targets, path);
  CloseBlock();
}

void Walker::WriteUnreachedBlock(const std::string& path, const std::string& reason) {
  OpenBlock();
  if (!reason.empty()) ReportUnreadable(path, reason);
  CloseBlock();
}

void Walker::OpenBlock() { report_.Text(settings_.block_opening).EndLine(); }

void Walker::CloseBlock() { report_.Text(settings_.block_closing).EndLine(); }

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
    // The line: label, folder, separator, name, " \n".
    report_.MakeRoom(settings_.deletion_label.size() + displayed_folder_.size() + 1 +
                     displayed_name_.size() + 2);
    switch (fs_.RemoveFile(dir, name, &reason)) {
      case platform::RemoveResult::kRemoved:
        ++count;
        ++deleted_;
        report_.Text(settings_.deletion_label)
            .DisplayedPathInFolder(displayed_folder_, displayed_name_);
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
  scratch_folder_ = CollectedFolder();
  std::vector<Frame>().swap(frames_);
}

void Walker::CleanRoot(const std::string& path, const ExtensionList& extensions) {
  CleanRootFolder(path, extensions);
  CloseBlock();
}

void Walker::CleanRootFolder(const std::string& path, const ExtensionList& extensions) {
  if (!root_.unreadable_reason.empty()) {
    ReportUnreadable(path, root_.unreadable_reason);
    return;
  }
  if (stack_.size() == 0) return;  // the root was never opened
  stack_.PopTo(1);
  // The root's own handle was read to its end when it was swept; read it
  // through a fresh one, which must still be the same folder.
  platform::Dir dir;
  platform::FolderInfo now;
  std::string reason;
  if (!fs_.OpenCurrentDirectory(&dir, &now, &reason)) {
    ReportUnreadable(path, reason);
    return;
  }
  if (platform::KnownToDiffer(now.id, root_.info.id)) return;
  platform::EntryList& targets = scratch_folder_.targets;
  if (!ListTargets(dir, now.id.device, extensions, &targets, nullptr, &reason)) {
    ReportUnreadable(path, reason);
    return;
  }
  CleanListedFolder(dir, targets, path);
}

void Walker::CleanListedFolder(const platform::Dir& dir, const platform::EntryList& targets,
                               const std::string& path) {
  displayed_folder_.clear();
  report_.AppendForDisplay(&displayed_folder_, path);
  report_.Text("Folder : ").DisplayedPath(displayed_folder_).Text(" ").EndLine();
  const int count = DeleteTargets(dir, targets, path);
  report_.Text("Remove File Count = ").Number(count).EndLine();
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
