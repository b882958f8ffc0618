#include "engine/walk.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "engine/climb.h"
#include "engine/dry_run.h"
#include "engine/json.h"
#include "engine/sweep.h"
#include "engine/trash.h"

namespace engine {
namespace {

// The pause after the root can't be resolved, so a window opened just for
// this run shows the message before it closes.
constexpr int kFatalPauseMilliseconds = 500;

// Which of the names a repository directory or a work tree's top holds
// `name` is, as a bit for ListTargets: `.git` (a folder, a file or a
// link), `HEAD` (a file or a link), `objects` and `refs` (of any kind: git
// only asks that it may search them, and a file it may run passes),
// `commondir` (a file), `heads` and `tags` (folders: a `refs` a git dir
// leads to).
unsigned GitSign(std::string_view name, platform::EntryKind kind) {
  const bool file = kind != platform::EntryKind::kFolder;
  if (name == ".git") return 1;
  if (file && name == "HEAD") return 2;
  if (name == "objects") return 4;
  if (name == "refs") return 8;
  if (file && name == "commondir") return 16;
  if (!file && name == "heads") return 32;
  if (!file && name == "tags") return 64;
  return 0;
}

// Sorts the entries of `list` from `first` on by name, in byte order, where
// the system's listings are not already in an order of their own.
void SortByName(platform::EntryList* list, std::size_t first = 0) {
  if (!platform::kSortsListings) return;
  const std::string& names = list->names;
  const auto by_name = [&names](const platform::Entry& a, const platform::Entry& b) {
    return std::string_view(names.data() + a.name_offset, a.name_size) <
           std::string_view(names.data() + b.name_offset, b.name_size);
  };
  if (list->modified.size() != list->entries.size() || list->modified.empty()) {
    list->modified.clear();
    std::sort(list->entries.begin() + static_cast<std::ptrdiff_t>(first), list->entries.end(),
              by_name);
    return;
  }
  // Times the listing gave travel with their entries.
  std::vector<std::pair<platform::Entry, std::int64_t>> timed;
  for (std::size_t i = first; i < list->entries.size(); ++i) {
    timed.emplace_back(list->entries[i], list->modified[i]);
  }
  std::sort(timed.begin(), timed.end(),
            [&by_name](const auto& a, const auto& b) { return by_name(a.first, b.first); });
  for (std::size_t i = 0; i < timed.size(); ++i) {
    list->entries[first + i] = timed[i].first;
    list->modified[first + i] = timed[i].second;
  }
}

// Whether the entry `inode` on `device` is one of `ids`.
bool IsAmong(const std::vector<platform::FolderId>& ids, std::uint64_t device,
             std::uint64_t inode) {
  for (const platform::FolderId& id : ids) {
    if (id.inode == inode && id.device == device) return true;
  }
  return false;
}

}  // namespace

FolderCleaner::FolderCleaner(platform::FileSystem& fs, Report& report,
                             const WalkerSettings& settings, const std::atomic<bool>* also_stop)
    : fs_(fs), report_(report), settings_(settings), also_stop_(also_stop) {}

bool FolderCleaner::NeverEnters(const platform::FolderId& id) const {
  return id.IsKnown() && IsAmong(settings_.never_entered, id.device, id.inode);
}

bool FolderCleaner::ShouldStop() const {
  return platform::StopRequested() || report_.output_failed() ||
         (also_stop_ != nullptr && also_stop_->load(std::memory_order_relaxed));
}

// Lists `dir`, on `device`, and keeps its by-products in `targets` and, when
// asked, its subfolders at the end of `subfolders`, each sorted by name. The
// listing is read straight into `targets` and thinned out in place: a folder
// of a hundred thousand by-products is then held once, not twice.
bool FolderCleaner::ListTargets(const platform::Dir& dir, std::uint64_t device,
                                const ExtensionList& extensions, platform::EntryList* targets,
                                platform::EntryList* subfolders, std::string* error,
                                ListingSigns* signs) {
  if (!fs_.ListEntries(dir, targets, error)) {
    targets->Clear();
    return false;
  }
  const std::size_t first_subfolder = subfolders != nullptr ? subfolders->entries.size() : 0;
  const NameFilter& filter = settings_.filter;
  excluded_.clear();
  listed_device_ = device;
  const bool has_inodes = targets->inodes.size() == targets->entries.size();
  const bool check_kept = !settings_.kept_files.empty() && has_inodes;
  // Files a repository reads through links from its git dir (its index
  // linked elsewhere, say): looked up only once there are any.
  const bool check_git_files = has_inodes && AnyGitFileElsewhere();
  const bool check_entered = !settings_.never_entered.empty() && has_inodes;
  const bool has_times = targets->modified.size() == targets->entries.size();
  std::size_t kept = 0;
  // What a repository directory holds, seen from the names alone: the few
  // folders that hold it all are judged by JudgeGitDir, nothing else is.
  enum : unsigned {
    kDotGit = 1, kHead = 2, kObjects = 4, kRefs = 8, kCommonDir = 16, kHeads = 32, kTags = 64
  };
  unsigned seen = 0;
  for (std::size_t i = 0; i < targets->entries.size(); ++i) {
    const platform::Entry entry = targets->entries[i];
    const std::string_view name = targets->NameOf(entry);
    if (name.size() <= 9) seen |= GitSign(name, entry.kind);
    if (entry.kind == platform::EntryKind::kFolder) {
      if (subfolders == nullptr) continue;
      const NameFilter::FolderSkip skip = filter.SkipOfFolder(name);
      if (skip == NameFilter::FolderSkip::kExcluded) {
        excluded_.emplace_back(name);
      } else if (skip == NameFilter::FolderSkip::kNone &&
                 !(check_entered &&
                   IsAmong(settings_.never_entered, device, targets->inodes[i])) &&
                 !(name == kHomeTrashName && IsHomeTrashAt(fs_, dir, name))) {
        subfolders->Add(name, entry.kind);
      }
    } else if (IsListedExtension(ExtensionOf(name), extensions) == 1 && !filter.SkipsFile(name) &&
               !(check_kept && IsAmong(settings_.kept_files, device, targets->inodes[i])) &&
               !(check_git_files && IsGitFileElsewhere(device, targets->inodes[i]))) {
      if (has_times) targets->modified[kept] = targets->modified[i];
      targets->entries[kept++] = entry;  // its name stays where it was listed
    }
  }
  targets->entries.resize(kept);
  targets->inodes.clear();
  if (has_times) {
    targets->modified.resize(kept);
  } else {
    targets->modified.clear();
  }
  if (signs != nullptr) {
    signs->dot_git = (seen & kDotGit) != 0;
    signs->git_dir_entries = MayBeGitDir((seen & kHead) != 0, (seen & kObjects) != 0,
                                         (seen & kRefs) != 0, (seen & kCommonDir) != 0);
    const bool refs_shape = (seen & (kHeads | kTags)) == (kHeads | kTags);
    const bool logs_shape = (seen & (kHead | kRefs)) == (kHead | kRefs);
    // No `.git`, as HasRefsOrLogsShape asks: the rule that keeps a folder
    // a repository leads to from being noted as found late must be the
    // walk's own.
    signs->git_data_shape = (refs_shape || logs_shape) && (seen & kDotGit) == 0;
  }
  SortByName(targets);
  if (subfolders != nullptr) SortByName(subfolders, first_subfolder);
  return true;
}

void FolderCleaner::WriteCleanedBlock(const platform::Dir& dir, const platform::FolderId& id,
                                      const platform::EntryList& targets, const std::string& path,
                                      const WorkTree* work_tree) {
  // The folder may have been listed by another worker's cleaner: its
  // identity names its device.
  listed_device_ = id.device;
  OpenBlock();
  CleanListedFolder(dir, id, targets, path, work_tree);
  CloseBlock();
}

void FolderCleaner::WriteUnreachedBlock(const std::string& path, const std::string& reason) {
  OpenBlock();
  if (!reason.empty()) ReportUnreadable(path, reason);
  CloseBlock();
}

// Banners are for people: JSON has none.
void FolderCleaner::OpenBlock() {
  if (!report_.json()) report_.Text(settings_.block_opening).EndLine();
}

void FolderCleaner::CloseBlock() {
  if (!report_.json()) report_.Text(settings_.block_closing).EndLine();
}

// Whether the target `name` may be removed. A link is a by-product only if
// it is known not to lead to a folder; either way only the link itself is
// ever removed.
bool FolderCleaner::MayDelete(const platform::Dir& dir, const platform::Entry& target,
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

int FolderCleaner::DeleteTargets(const platform::Dir& dir, const platform::FolderId& id,
                                 const platform::EntryList& targets,
                                 const std::string& folder_path, const WorkTree* work_tree) {
  int count = 0;
  std::string reason;
  // A folder without targets is the same at every visit: not worth noting.
  cleaned_before_ = settings_.cleaned_folders != nullptr && !targets.entries.empty() &&
                    !settings_.cleaned_folders->NoteFirstCleaning(id);
  // The folder's path in its work tree and in each around it.
  work_trees_ = 0;
  for (const WorkTree* tree = work_tree; tree != nullptr; tree = tree->outer.get()) {
    if (tracked_paths_.size() == work_trees_) tracked_paths_.emplace_back();
    TrackedPath& in_tree = tracked_paths_[work_trees_++];
    in_tree.work_tree = tree;
    in_tree.path.clear();
    tree->AppendFolder(&in_tree.path, folder_path);
    in_tree.folder = in_tree.path.size();
  }
  kept_targets_.clear();
  for (std::size_t i = 0; i < targets.entries.size(); ++i) {
    if (ShouldStop()) break;
    const platform::Entry& target = targets.entries[i];
    const std::string_view name = targets.NameOf(target);
    if (work_trees_ != 0) {
      std::string sparse;
      const Keeping keeping = KeepsTracked(name, &sparse);
      if (keeping != Keeping::kNo) {
        // A file kept for its age is neither reported nor counted, tracked or
        // not; one whose age can't be read stays for being tracked, no error.
        if (settings_.keeps_recent) {
          const Age age = AgeOf(dir, targets, i, &reason);
          if (age == Age::kRecent || age == Age::kGone) continue;
        }
        // An index that can't be read was said once, when it was loaded.
        if (!sparse.empty()) {
          fell_short_ = true;
          report_.CannotError("tell whether git tracks", FilePath(folder_path, name),
                              "the sparse index holds '" + sparse + "' as one entry");
        }
        // Under version control on purpose, or maybe: never a by-product
        // to delete.
        ++(keeping == Keeping::kTracked ? kept_ : kept_unknown_);
        if (settings_.list_kept) kept_targets_.emplace_back(target, keeping);
        continue;
      }
    }
    if (!MayDelete(dir, target, name, folder_path)) continue;
    // Everything the line needs is made ready first: once the file is gone,
    // running out of memory must not cost its line.
    const std::size_t line_size = PrepareDeletionLine(folder_path, name);
    if (line_size > Report::kBlockLimit) {
      // A line longer than a block of the run's report goes out on its own,
      // after all before it. (A worker's own report holds only its small
      // share of that; a longer line simply passes through it.)
      report_.Flush();
      if (before_long_line_) before_long_line_(line_size);
      if (ShouldStop()) break;
    }
    // Read as late as can be, just before the file would go.
    if (settings_.keeps_recent && IsRecent(dir, targets, i, folder_path)) continue;
    report_.MakeRoom(line_size);
    // Making room may have waited while the output failed: the file then
    // stays, as its line could not go on record.
    if (ShouldStop()) break;
    platform::FileExamination removed;
    switch (RemoveTarget(dir, folder_path, name, &removed, &reason)) {
      case platform::RemoveResult::kRemoved:
        ++count;
        ++deleted_;
        WriteDeletionLine(removed);
        break;
      case platform::RemoveResult::kMissing:
      case platform::RemoveResult::kIsFolder:
        break;  // gone already, or no longer a file: not ours to count
      case platform::RemoveResult::kFailed:
        ReportFailedDeletion(folder_path, name, reason);
        break;
    }
  }
  for (const auto& [target, keeping] : kept_targets_) {
    WriteKeptLine(folder_path, targets.NameOf(target), keeping);
  }
  return count;
}

// Removes `name` from `dir`, telling what it took (a dry run's file system
// only looks). In a folder a dry run cleaned before in this run, reached
// again by another path, a file that could go went at the first visit: a
// real run finds it gone now, so the dry run answers so, without adding it
// up again.
platform::RemoveResult FolderCleaner::Remove(const platform::Dir& dir, std::string_view name,
                                             platform::FileExamination* removed,
                                             std::string* reason) {
  if (!cleaned_before_) return fs_.RemoveFileMeasured(dir, name, removed, reason);
  const platform::RemoveResult result = fs_.ExamineFile(dir, name, removed, reason);
  return result == platform::RemoveResult::kRemoved ? platform::RemoveResult::kMissing : result;
}

// Whether the target at `index` was modified too recently to go. One whose
// time can't be read is kept, and said so: it may be the work of the hour.
bool FolderCleaner::IsRecent(const platform::Dir& dir, const platform::EntryList& targets,
                             std::size_t index, const std::string& folder_path) {
  std::string reason;
  switch (AgeOf(dir, targets, index, &reason)) {
    case Age::kOldEnough:
      return false;
    case Age::kRecent:
    case Age::kGone:  // nothing to delete or count
      return true;
    case Age::kUnknown:
      break;
  }
  fell_short_ = true;
  const std::string_view name = targets.NameOf(targets.entries[index]);
  report_.CannotError("read the age of", FilePath(folder_path, name), reason);
  return true;
}

// The age of the target at `index` against the oldest a file may be to stay:
// from the listing where it holds the times, otherwise asked for now.
FolderCleaner::Age FolderCleaner::AgeOf(const platform::Dir& dir,
                                        const platform::EntryList& targets, std::size_t index,
                                        std::string* reason) {
  std::int64_t modified = 0;
  if (targets.modified.size() == targets.entries.size()) {
    modified = targets.modified[index];
  } else {
    const std::string_view name = targets.NameOf(targets.entries[index]);
    switch (fs_.ReadModifiedTime(dir, name, &modified, reason)) {
      case platform::LookupResult::kFound:
        break;
      case platform::LookupResult::kMissing:
        return Age::kGone;
      case platform::LookupResult::kFailed:
        return Age::kUnknown;
    }
  }
  return modified > settings_.newest_deleted ? Age::kRecent : Age::kOldEnough;
}

// Makes the line of deleting `name` ready but for what only the deletion
// tells; returns its size, or what it may grow to.
std::size_t FolderCleaner::PrepareDeletionLine(const std::string& folder_path,
                                               std::string_view name) {
  // Where a file went to the trash, the line names the trash (and in JSON
  // the entry): its paths, escaped, can't take more than this.
  const std::size_t trash_room =
      settings_.trash == nullptr
          ? 0
          : 16 * (settings_.trash->MostPathBytes(folder_path.size()) + name.size()) + 64;
  if (report_.json()) {
    // The folder's part is made once for all its files; only a path that
    // is not UTF-8 costs more.
    json_line_.assign("{\"type\":\"");
    json_line_.append(DeletionType());
    json_line_.append("\",\"path\":\"");
    json_line_.append(json_folder_prefix_);
    const bool valid = AppendJsonText(&json_line_, name) && json_folder_valid_;
    json_line_.push_back('"');
    if (!valid) {
      json_line_.append(",\"path_hex\":\"");
      AppendHex(&json_line_, FilePath(folder_path, name));
      json_line_.push_back('"');
    }
    constexpr std::size_t kSizeField = sizeof(",\"size\":18446744073709551615}\n");
    return json_line_.size() + kSizeField + trash_room;
  }
  displayed_name_.clear();
  report_.AppendForDisplay(&displayed_name_, name);
  // The line: label, folder, separator, name, " \n".
  return DeletionLabel().size() + displayed_folder_.size() + 1 + displayed_name_.size() + 2 +
         trash_room;
}

void FolderCleaner::WriteDeletionLine(const platform::FileExamination& removed) {
  if (report_.json()) {
    report_.Text(json_line_);
    if (settings_.trash != nullptr) {
      report_.Text(",").JsonPath("trash", placed_.trash);
      if (!placed_.entry.empty()) report_.Text(",").JsonPath("trashed_as", placed_.entry);
    }
    if (settings_.dry_run) report_.Text(",\"size\":").Size(removed.size);
    report_.Text("}").EndLine();
    return;
  }
  report_.Text(DeletionLabel()).DisplayedPathInFolder(displayed_folder_, displayed_name_);
  if (settings_.trash != nullptr) {
    // Most files of a run go to one trash: it is made ready to print once.
    if (placed_.trash != displayed_trash_of_) {
      displayed_trash_of_ = placed_.trash;
      displayed_trash_.clear();
      report_.AppendForDisplay(&displayed_trash_, placed_.trash);
    }
    report_.Text(" -> ").DisplayedPath(displayed_trash_);
  }
  report_.Text(" ").EndLine();
}

// Deletes the target `name` of `dir`, or under --trash moves it into the
// trash; a dry run only looks at it, as a deletion would, and at where its
// trash would be.
platform::RemoveResult FolderCleaner::RemoveTarget(const platform::Dir& dir,
                                                   const std::string& folder_path,
                                                   std::string_view name,
                                                   platform::FileExamination* removed,
                                                   std::string* reason) {
  if (settings_.trash == nullptr) return Remove(dir, name, removed, reason);
  const platform::RemoveResult put =
      settings_.trash->Put(dir, listed_device_, folder_path, name, &placed_, reason);
  if (!settings_.dry_run || put != platform::RemoveResult::kRemoved) return put;
  return Remove(dir, name, removed, reason);
}

// A file kept because what git tracks can't be told is not said to be
// tracked: it has a label of its own.
void FolderCleaner::WriteKeptLine(const std::string& folder_path, std::string_view name,
                                  Keeping why) {
  const bool tracked = why == Keeping::kTracked;
  if (report_.json()) {
    report_.Text("{\"type\":\"kept\",").JsonPath("path", FilePath(folder_path, name));
    report_.Text(tracked ? ",\"rule\":\"tracked\"}" : ",\"rule\":\"unknown\"}").EndLine();
    return;
  }
  displayed_name_.clear();
  report_.AppendForDisplay(&displayed_name_, name);
  report_.Text(tracked ? "Kept (tracked) : " : "Kept (unknown) : ").DisplayedPathInFolder(displayed_folder_, displayed_name_);
  report_.Text(" ").EndLine();
}

// The path of the file `name` in the folder `folder_path`, in a buffer kept
// for reuse (valid until the next call).
const std::string& FolderCleaner::FilePath(const std::string& folder_path, std::string_view name) {
  file_path_ = folder_path;
  platform::AppendPathComponent(&file_path_, name);
  return file_path_;
}

std::string_view FolderCleaner::DeletionLabel() const {
  if (settings_.trash != nullptr) return settings_.dry_run ? "Would trash : " : "Trash : ";
  return settings_.dry_run ? "Would delete : " : "Delete : ";
}

// The JSON type of a deletion's line.
std::string_view FolderCleaner::DeletionType() const {
  if (settings_.trash != nullptr) return settings_.dry_run ? "would_trash" : "trash";
  return settings_.dry_run ? "would_delete" : "delete";
}

// Whether any work tree the folder lies in tracks `name`; kUnknown when
// none does but one of them can't be read, or holds the folder in a sparse
// index's entry (that entry, as git shows it, then in `sparse`).
FolderCleaner::Keeping FolderCleaner::KeepsTracked(std::string_view name, std::string* sparse) {
  Keeping keeping = Keeping::kNo;
  for (std::size_t i = 0; i < work_trees_; ++i) {
    TrackedPath& in_tree = tracked_paths_[i];
    const TrackedFiles& tracked = *in_tree.work_tree->tracked;
    if (!tracked.readable()) {
      keeping = Keeping::kUnknown;
      continue;
    }
    in_tree.path.resize(in_tree.folder);
    in_tree.path.append(name.data(), name.size());
    if (tracked.Tracks(in_tree.path)) {
      sparse->clear();
      return Keeping::kTracked;
    }
    const std::string_view folder = tracked.SparseFolderOf(in_tree.path);
    if (!folder.empty() && keeping == Keeping::kNo) {
      keeping = Keeping::kUnknown;
      sparse->assign(folder);
    }
  }
  return keeping;
}

bool FolderCleaner::LeavesDatabaseAlone(const platform::Dir& dir, const std::string& path,
                                        const ListingSigns& signs) {
  if (!signs.git_dir_entries && !signs.git_data_shape) return false;
  GitPlace place;
  std::string reason;
  GitDirVerdict verdict = GitDirVerdict::kNoHead;
  if (signs.git_dir_entries) {
    verdict = JudgeGitData(fs_, dir, "", "", &place, &reason);
  } else if (HasRefsOrLogsShape(fs_, dir, "")) {
    verdict = GitDirVerdict::kRepository;
  }
  if (verdict != GitDirVerdict::kRepository && verdict != GitDirVerdict::kUnknown) return false;
  if (verdict == GitDirVerdict::kRepository && settings_.keep_tracked) NoteCoreWorkTree(dir, path);
  // It looks like one: left alone, since it can't be told it is none (a
  // HEAD that can't be read, or git's data that git can't use now).
  WriteLeftAloneBlock(path, path, verdict == GitDirVerdict::kUnknown ? reason : std::string());
  return true;
}

bool FolderCleaner::LeavesGitDataElsewhereAlone(const platform::FolderId& id,
                                              const std::string& path) {
  for (const FolderShownElsewhere& shown : *settings_.shown_elsewhere) {
    if (shown.id != id || shown.database.empty()) continue;
    WriteLeftAloneBlock(path, shown.database, shown.database_doubt);
    return true;
  }
  // Where a repository's common dir, or its refs, logs or objects through
  // a link, lie: git's data, under whatever name.
  if (!IsGitDataElsewhere(id)) return false;
  WriteLeftAloneBlock(path, path, std::string());
  return true;
}

bool FolderCleaner::LeavesRootInGitDataAlone(const platform::Dir& dir, const std::string& path) {
  if (!LiesInGitDataElsewhere(fs_, dir)) return false;
  WriteLeftAloneBlock(path, path, std::string());
  return true;
}

std::shared_ptr<const WorkTree> FolderCleaner::WorkTreesShownElsewhere(
    const platform::FolderId& id, std::size_t path_offset, std::shared_ptr<const WorkTree> outer) {
  for (const FolderShownElsewhere& shown : *settings_.shown_elsewhere) {
    if (shown.id != id) continue;
    // Outermost first, so that each holds the one around it.
    for (auto enclosing = shown.work_trees.rbegin(); enclosing != shown.work_trees.rend();
         ++enclosing) {
      auto work_tree = std::make_shared<WorkTree>();
      work_tree->tracked = enclosing->tracked;
      if (!enclosing->relative_path.empty()) work_tree->prefix = enclosing->relative_path + "/";
      work_tree->path_offset = path_offset;
      work_tree->top_path = enclosing->top_path;
      work_tree->outer = std::move(outer);
      ReportUnreadableWorkTree(*work_tree);
      outer = std::move(work_tree);
    }
  }
  return outer;
}

// The block of the folder `path`, left alone as git's data; `doubt`, when
// not empty, says why it can't be told whether `database` is.
void FolderCleaner::WriteLeftAloneBlock(const std::string& path, const std::string& database,
                                        const std::string& doubt) {
  OpenBlock();
  if (!doubt.empty()) {
    fell_short_ = true;
    report_.CannotError("tell whether git keeps its database in", database, doubt);
  }
  if (report_.json()) {
    report_.Text("{\"type\":\"left_alone\",").JsonPath("path", path);
    report_.Text(",\"rule\":\"git_database\"}").EndLine();
  } else {
    DisplayFolder(path);
    report_.Text("Left alone (git database) : ").DisplayedPath(displayed_folder_).Text(" ").EndLine();
  }
  CloseBlock();
}

std::shared_ptr<const WorkTree> FolderCleaner::LoadWorkTree(const platform::Dir& dir,
                                                            const std::string& path,
                                                            std::size_t path_offset,
                                                            std::shared_ptr<const WorkTree> outer,
                                                            bool outside_only) {
  WorkTreeTop top;
  top.dir_path = path;
  top.top_path = path;
  TrackedElsewhere elsewhere;
  elsewhere.outside_only = outside_only;
  std::shared_ptr<const TrackedFiles> tracked = LoadTrackedFiles(fs_, dir, &top, &elsewhere);
  if (tracked == nullptr || (outside_only && elsewhere.outside.empty())) return nullptr;
  if (!elsewhere.outside.empty()) settings_.late_work_trees->NoteTrackedAt(elsewhere.outside, tracked);
  if (!elsewhere.folder.empty()) {
    // Its core.worktree names a folder outside this one, whose files the
    // walk may have reached before: never said to be safe, and the root,
    // cleaned last, keeps its by-products where it lies there.
    fell_short_ = true;
    report_.CannotError("tell what git tracks in", elsewhere.folder, elsewhere.reason);
    settings_.late_work_trees->Add(elsewhere.folder, elsewhere.reason, tracked);
  }
  auto work_tree = std::make_shared<WorkTree>();
  work_tree->tracked = std::move(tracked);
  work_tree->outer = std::move(outer);
  work_tree->path_offset = path_offset;
  work_tree->top_path = path;
  ReportUnreadableWorkTree(*work_tree);
  return work_tree;
}

void LateWorkTrees::NoteTrackedAt(const std::string& folder,
                                  std::shared_ptr<const TrackedFiles> tracked) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const NamedWorkTree& known : tracked_outside_) {
    // By the look before the run, say; another repository naming the same
    // folder is noted beside it.
    if (known.top_path == folder && known.tracked == tracked) return;
  }
  tracked_outside_.push_back({folder, std::move(tracked)});
  any_outside_.store(true, std::memory_order_release);
}

std::vector<NamedWorkTree> LateWorkTrees::TrackedAround(const std::string& path) const {
  std::vector<NamedWorkTree> found;
  if (!any_outside_.load(std::memory_order_acquire)) return found;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const NamedWorkTree& known : tracked_outside_) {
    if (IsWithin(path, known.top_path)) found.push_back(known);
  }
  return found;
}

std::vector<NamedWorkTree> LateWorkTrees::TrackedOutside() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tracked_outside_;
}

void LateWorkTrees::Add(const std::string& top, const std::string& reason,
                        std::shared_ptr<const TrackedFiles> tracked) {
  std::lock_guard<std::mutex> lock(mutex_);
  tops_.push_back({top, TrackedFiles::Unreadable(reason), std::move(tracked)});
  any_.store(true, std::memory_order_release);
}

std::shared_ptr<const WorkTree> LateWorkTrees::Around(const std::string& path,
                                                      std::shared_ptr<const WorkTree> inner) const {
  if (!any_.load(std::memory_order_acquire)) return inner;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Top& top : tops_) {
    // The work trees around the root lie at it or above: none of them is
    // the late repository, found below, whatever it tracks of its own.
    std::string rest;
    if (!IsWithin(path, top.path, &rest)) continue;
    // Cleaned after every other folder, the root knows by now what the
    // repository tracks there, where its index could be read; each
    // repository that names it, one layer each.
    auto late = std::make_shared<WorkTree>();
    late->tracked = top.tracked != nullptr && top.tracked->readable() ? top.tracked : top.unknown;
    if (!rest.empty()) late->prefix = rest + "/";
    late->path_offset = path.size();  // the root's own files alone
    late->top_path = top.path;
    late->outer = std::move(inner);
    inner = std::move(late);
  }
  return inner;
}

void FolderCleaner::NoteCoreWorkTree(const platform::Dir& dir, const std::string& path) {
  const NamedWorkTree named = LoadCoreWorkTree(fs_, dir, path);
  if (named.tracked == nullptr || named.top_path.empty() || IsKnownWorkTree(dir, named.top_path)) {
    return;
  }
  settings_.late_work_trees->NoteTrackedAt(named.top_path, named.tracked);
  const std::vector<std::string>& roots = settings_.root_paths;
  if (std::none_of(roots.begin(), roots.end(), [&](const std::string& root) {
        return IsWithin(root, named.top_path) || IsWithin(named.top_path, root);
      })) {
    return;  // the walk meets none of its files
  }
  const std::string reason = "the repository in '" + path +
                             "' takes it as its work tree (core.worktree) but was found only on "
                             "the way down, where the run may have reached its files first";
  fell_short_ = true;
  report_.CannotError("tell what git tracks in", named.top_path, reason);
  settings_.late_work_trees->Add(named.top_path, reason, named.tracked);
}

// Whether the repository folder open in `dir` is known as the one of the
// work tree at `top` whatever the order of the walk: the environment names
// that work tree, or its `.git` leads here, which is read where the walk
// meets it (or around the start, before the walk).
bool FolderCleaner::IsKnownWorkTree(const platform::Dir& dir, const std::string& top) {
  const std::vector<NamedWorkTree>& named = settings_.named_work_trees;
  if (std::any_of(named.begin(), named.end(),
                  [&](const NamedWorkTree& tree) { return tree.top_path == top; })) {
    return true;
  }
  GitPlace place;
  std::string reason;
  if (JudgeDotGit(fs_, dir, top, &place, &reason) != WorkTreeVerdict::kWorkTree) return false;
  platform::EntryKind kind;
  platform::FolderId here;
  platform::FolderId there;
  return fs_.LookUpPath(dir, ".", &kind, &here, &reason) == platform::LookupResult::kFound &&
         fs_.LookUpPath(dir, place.git_dir, &kind, &there, &reason) ==
             platform::LookupResult::kFound &&
         here.IsKnown() && here == there;
}

void FolderCleaner::SayIfGitDataFoundLate(const std::string& path, const platform::FolderId& id,
                                          const ExtensionList& extensions, unsigned long noted) {
  if (GitDataNotedHere() == noted) return;
  // Only a file the walk could have deleted counts (a linked config is none).
  const auto may_go = [&](std::string_view name) {
    return IsListedExtension(ExtensionOf(name), extensions) == 1 && !settings_.filter.SkipsFile(name);
  };
  if (!GitDataNotedHereWithin(noted, settings_.roots, id, may_go)) return;
  fell_short_ = true;
  report_.CannotError("tell what git keeps away from the repository in", path,
                      "it keeps data where its commondir or the links in its git dir lead, but "
                      "was found only on the way down, where the run may have reached them first");
}

void FolderCleaner::JudgeExcludedFolders(const platform::Dir& dir, const std::string& path,
                                         const ExtensionList& extensions) {
  for (const std::string& name : excluded_) {
    std::string folder_path = path;
    platform::AppendPathComponent(&folder_path, name);
    platform::EntryKind kind;
    platform::FolderId id;
    platform::FolderId dot_git;
    std::string reason;
    if (fs_.LookUpPath(dir, name, &kind, &id, &reason) != platform::LookupResult::kFound) continue;
    const unsigned long noted = GitDataNotedHere();
    // A git dir under any name (a bare clone), or the one a `.git` names:
    // where it keeps data away from itself is noted as it is judged.
    GitPlace place;
    const bool git_dir =
        JudgeGitData(fs_, dir, name, "", &place, &reason, nullptr) == GitDirVerdict::kRepository;
    const bool work_tree = !git_dir && fs_.LookUpPath(dir, name + "/.git", &kind, &dot_git,
                                                      &reason) == platform::LookupResult::kFound;
    if (settings_.keep_tracked && (git_dir || work_tree)) {
      // What it tracks where its core.worktree names a folder outside it.
      platform::Dir folder;
      platform::FolderInfo info;
      switch (fs_.OpenChild(dir, name, &folder, &info, &reason)) {
        case platform::OpenResult::kOpened:
          if (git_dir) {
            NoteCoreWorkTree(folder, folder_path);
          } else {
            LoadWorkTree(folder, folder_path, 0, nullptr, /*outside_only=*/true);
          }
          break;
        case platform::OpenResult::kGone:
          break;
        default:
          fell_short_ = true;
          report_.CannotError("tell what git tracks outside", folder_path, reason);
          break;
      }
    } else if (work_tree) {
      JudgeDotGit(fs_, dir, name, &place, &reason);
    }
    SayIfGitDataFoundLate(folder_path, id, extensions, noted);
  }
}

void FolderCleaner::ReportUnreadableWorkTree(const WorkTree& work_tree) {
  if (work_tree.tracked->readable()) return;
  fell_short_ = true;
  report_.CannotError("tell what git tracks in", work_tree.top_path,
                      work_tree.tracked->unreadable_reason());
}

void WorkTree::AppendFolder(std::string* out, std::string_view path) const {
  out->append(prefix);
  if (path.size() <= path_offset) return;  // the folder whose subfolders start there
  const std::size_t begin = out->size();
  out->append(path.substr(path_offset));
  // The index names folders with '/', whatever the system shows.
  if (platform::kPathSeparator != '/') {
    std::replace(out->begin() + static_cast<std::ptrdiff_t>(begin), out->end(),
                 platform::kPathSeparator, '/');
  }
  out->push_back('/');
}

void FolderCleaner::ReportFailedDeletion(const std::string& folder_path, std::string_view name,
                                         const std::string& reason) {
  fell_short_ = true;
  report_.CannotError(settings_.trash != nullptr ? "trash" : "delete",
                      FilePath(folder_path, name), reason);
}

void FolderCleaner::ReportUnreadable(const std::string& path, const std::string& reason) {
  fell_short_ = true;
  report_.CannotError("read", path, reason);
}

// Makes displayed_folder_ the displayed `path`. Folders come depth-first, so
// a folder's path mostly repeats all but its last name or two of the one
// shown before it: what the names they share look like is kept, and only
// the rest is converted and escaped. Converting and escaping never touch a
// separator, so the displayed names joined are the displayed whole.
void FolderCleaner::DisplayFolder(std::string_view path) {
  const char separator = platform::kPathSeparator;
  while (!shown_names_.empty()) {
    const std::size_t end = shown_names_.back().path_end;
    if (end <= path.size() && (end == path.size() || path[end] == separator) &&
        std::memcmp(path.data(), shown_folder_.data(), end) == 0) {
      break;
    }
    shown_names_.pop_back();
  }
  std::size_t from = shown_names_.empty() ? 0 : shown_names_.back().path_end;
  displayed_folder_.resize(shown_names_.empty() ? 0 : shown_names_.back().displayed_end);
  shown_folder_.assign(path.data(), path.size());
  while (from < path.size() || shown_names_.empty()) {
    if (!shown_names_.empty()) {
      displayed_folder_.push_back(separator);  // path[from] is one
      ++from;
    }
    std::size_t end = path.find(separator, from);
    if (end == std::string_view::npos) end = path.size();
    report_.AppendForDisplay(&displayed_folder_, path.substr(from, end - from));
    shown_names_.push_back({end, displayed_folder_.size()});
    from = end;
  }
}

void FolderCleaner::CleanListedFolder(const platform::Dir& dir, const platform::FolderId& id,
                                      const platform::EntryList& targets, const std::string& path,
                                      const WorkTree* work_tree) {
  if (report_.json()) {
    json_folder_.clear();
    AppendJsonPath(&json_folder_, "path", path);
    // What its files' paths begin with: the folder and the separator that
    // joins a name to it, as JSON text.
    json_folder_prefix_.clear();
    json_folder_valid_ = AppendJsonText(&json_folder_prefix_, FilePath(path, ""));
    report_.Text("{\"type\":\"folder\",").Text(json_folder_).Text("}").EndLine();
    const int count = DeleteTargets(dir, id, targets, path, work_tree);
    report_.Text("{\"type\":\"count\",").Text(json_folder_);
    report_.Text(",\"deleted\":").Number(count).Text("}").EndLine();
    return;
  }
  DisplayFolder(path);
  report_.Text("Folder : ").DisplayedPath(displayed_folder_).Text(" ").EndLine();
  const int count = DeleteTargets(dir, id, targets, path, work_tree);
  report_.Text("Remove File Count = ").Number(count).EndLine();
}

void FolderCleaner::ReleaseMemory() {
  std::string().swap(displayed_folder_);
  std::string().swap(shown_folder_);
  std::vector<ShownName>().swap(shown_names_);
  std::string().swap(displayed_name_);
  std::vector<TrackedPath>().swap(tracked_paths_);
  std::string().swap(json_folder_);
  std::string().swap(json_line_);
  std::string().swap(json_folder_prefix_);
  std::string().swap(file_path_);
  std::string().swap(placed_.trash);
  std::string().swap(placed_.entry);
  std::string().swap(displayed_trash_);
  std::string().swap(displayed_trash_of_);
  kept_targets_ = decltype(kept_targets_)();
}

namespace {

// The line that opens the report of a root shown as `path`: "Root Path =
// path", or its JSON object.
void WriteRootLine(Report& report, std::string_view path) {
  if (report.json()) {
    report.Text("{\"type\":\"root\",").JsonPath("path", path).Text("}").EndLine();
  } else {
    report.Text("Root Path = ").Path(path).EndLine();
  }
}

}  // namespace

// `settings`, with the memory of the folders cleaned that a dry run needs
// and of the work trees found late.
WalkerSettings Walker::WithDryRunMemory(WalkerSettings settings) {
  if (settings.dry_run && settings.cleaned_folders == nullptr) {
    settings.cleaned_folders = std::make_shared<CleanedFolders>();
  }
  if (settings.late_work_trees == nullptr) {
    settings.late_work_trees = std::make_shared<LateWorkTrees>();
  }
  if (settings.shown_elsewhere == nullptr) {
    settings.shown_elsewhere = std::make_shared<std::vector<FolderShownElsewhere>>();
  }
  return settings;
}

Walker::Walker(platform::FileSystem& fs, Report& report, WalkerSettings settings, unsigned jobs,
               unsigned most_jobs)
    : fs_(fs),
      report_(report),
      settings_(WithDryRunMemory(std::move(settings))),
      jobs_(jobs < 1 ? 1 : jobs),
      most_jobs_(std::max(jobs_, most_jobs)),
      root_cleaner_(fs, report, settings_),
      root_stack_(fs) {}

Walker::~Walker() = default;

int Walker::GetRootFolder(std::string& root) {
  std::string reason;
  if (!fs_.CurrentDirectory(&root, &reason) || root.empty()) {
    fell_short_ = true;
    report_.Error("Fatal Error: GetCnrrentDirectory failed");
    report_.console().Pause(kFatalPauseMilliseconds);
    return 0;
  }
  WriteRootLine(report_, root);
  return 1;
}

void Walker::SweepSubFolders(const std::string& root_path, const ExtensionList& extensions,
                             const std::function<void()>& after_root_listed) {
  root_unreadable_reason_.clear();
  root_opened_ = false;
  root_subfolders_.Clear();
  // The root is walked through its open handle, not its displayed path,
  // which may be longer than the system accepts in one call.
  platform::FolderInfo info;
  const auto start = std::chrono::steady_clock::now();
  if (!root_stack_.OpenRoot(&info, &root_unreadable_reason_, root_path)) return;
  root_id_ = info.id;
  settings_.roots.push_back(info.id);
  settings_.root_paths.push_back(root_path);
  root_opened_ = true;
  // The root is cleaned last, long after this: its files are listed again then.
  const bool listed = root_cleaner_.ListTargets(*root_stack_.top(), info.id.device, extensions,
                                                &root_targets_, &root_subfolders_,
                                                &root_unreadable_reason_);
  const auto listing_time = std::chrono::steady_clock::now() - start;
  const std::size_t listed_bytes = root_targets_.names.size() + root_subfolders_.names.size();
  root_targets_ = platform::EntryList();
  if (!listed) return;
  NameWorkTreesFoundOutside();
  const bool reaches_a_folder_twice = JudgeFoldersShownTwice(root_path);
  // Shown elsewhere as git's data, the root is that data: nothing in it goes.
  root_left_alone_ = root_cleaner_.LeavesGitDataElsewhereAlone(root_id_, root_path);
  if (root_left_alone_) return;
  FindRootWorkTree(root_path);
  // Git's data a repository around it keeps away from its git dir (its
  // branches linked into its own work tree, say) is known only now.
  root_left_alone_ = root_cleaner_.LeavesRootInGitDataAlone(*root_stack_.top(), root_path);
  if (root_left_alone_) return;
  root_cleaner_.JudgeExcludedFolders(*root_stack_.top(), root_path, extensions);
  if (after_root_listed) after_root_listed();
  if (root_subfolders_.entries.empty() || ShouldStop()) return;
  Sweep& sweep = SweepFor(reaches_a_folder_twice);
  sweep.NoteRootListingTime(listing_time, listed_bytes);
  sweep.Run(root_stack_.shared_top(), root_id_, root_path, &root_subfolders_, extensions,
            root_work_tree_);
}

// The sweep for a root. A folder the walk reaches at two of its paths (a
// bind mount inside the root) loses its by-products at whichever visit
// deletes first: with several workers the later path in the order could
// list it first, and the report would name the file there, unlike one
// thread's and the dry run's. Such a root is swept by one worker alone, in
// order, so its report is the same for any number of workers.
Sweep& Walker::SweepFor(bool reaches_a_folder_twice) {
  std::unique_ptr<Sweep>& sweep = reaches_a_folder_twice && most_jobs_ > 1 ? solo_sweep_ : sweep_;
  if (sweep == nullptr) {
    sweep = std::make_unique<Sweep>(fs_, report_, settings_, &sweep == &solo_sweep_ ? 1 : jobs_,
                                    &sweep == &solo_sweep_ ? 1 : most_jobs_);
  }
  return *sweep;
}

void Walker::CleanRoot(const std::string& path, const ExtensionList& extensions) {
  if (root_left_alone_) {
    root_left_alone_ = false;  // its block, written then, said so
    return;
  }
  if (!root_unreadable_reason_.empty()) {
    root_cleaner_.ReportUnreadable(path, root_unreadable_reason_);
  } else if (root_opened_) {
    root_stack_.Clear();
    // The root's own handle was read to its end when it was swept; read it
    // through a fresh one, which must still be the same folder.
    platform::Dir dir;
    platform::FolderInfo now;
    std::string reason;
    if (!fs_.OpenCurrentDirectory(&dir, &now, &reason)) {
      root_cleaner_.ReportUnreadable(path, reason);
    } else if (!platform::KnownToDiffer(now.id, root_id_)) {
      if (!root_cleaner_.ListTargets(dir, now.id.device, extensions, &root_targets_, nullptr,
                                     &reason)) {
        root_cleaner_.ReportUnreadable(path, reason);
      } else {
        // A repository found on the way down may take the root as its work
        // tree: known by now, whatever the threads.
        root_work_tree_ = settings_.late_work_trees->Around(path, std::move(root_work_tree_));
        root_cleaner_.CleanListedFolder(dir, now.id, root_targets_, path, root_work_tree_.get());
      }
    }
    root_targets_ = platform::EntryList();
  }
  root_cleaner_.CloseBlock();
}

void Walker::ReportUnreadableRoot(const std::string& path, const std::string& reason) {
  WriteRootLine(report_, path);
  root_cleaner_.ReportUnreadable(path, reason);
  root_cleaner_.CloseBlock();
}

bool Walker::fell_short() const {
  return fell_short_ || root_cleaner_.fell_short() || SumOverSweeps(&Sweep::fell_short) > 0;
}

// The work tree the root lies in, if any, and the root's place in it; says
// so once when it can't be read.
void Walker::FindRootWorkTree(const std::string& root_path) {
  root_work_tree_.reset();
  if (!settings_.keep_tracked) {
    // Git's data is left alone all the same, wherever it lies.
    NoteGitDataAround(fs_, *root_stack_.top(), root_path);
    return;
  }
  GitSurroundings around = DiscoverGitAround(fs_, *root_stack_.top(), root_path, settings_.git);
  // For the roots to come (those given with it were looked at first:
  // LookAheadAt).
  for (const NamedWorkTree& outside : around.tracked_outside) {
    settings_.late_work_trees->NoteTrackedAt(outside.top_path, outside.tracked);
  }
  // Outermost first, so that each holds the one around it.
  for (auto enclosing = around.work_trees.rbegin(); enclosing != around.work_trees.rend();
       ++enclosing) {
    auto work_tree = std::make_shared<WorkTree>();
    work_tree->tracked = std::move(enclosing->tracked);
    if (!enclosing->relative_path.empty()) work_tree->prefix = enclosing->relative_path + "/";
    work_tree->path_offset = root_stack_.ChildNameOffset();
    work_tree->top_path = std::move(enclosing->top_path);
    work_tree->outer = std::move(root_work_tree_);
    root_cleaner_.ReportUnreadableWorkTree(*work_tree);
    root_work_tree_ = std::move(work_tree);
  }
  // Those around the other paths it is shown at, where it is.
  root_work_tree_ = root_cleaner_.WorkTreesShownElsewhere(root_id_, root_stack_.ChildNameOffset(),
                                                          std::move(root_work_tree_));
  // A work tree the environment names, around the root or at it.
  std::string rest;
  for (const NamedWorkTree& named : settings_.named_work_trees) {
    if (!IsWithin(root_path, named.top_path, &rest)) continue;
    auto work_tree = std::make_shared<WorkTree>();
    work_tree->tracked = named.tracked;
    if (!rest.empty()) work_tree->prefix = rest + "/";
    work_tree->path_offset = root_stack_.ChildNameOffset();
    work_tree->top_path = named.top_path;
    work_tree->outer = std::move(root_work_tree_);
    root_cleaner_.ReportUnreadableWorkTree(*work_tree);
    root_work_tree_ = std::move(work_tree);
  }
}

// The folders that repositories met in the roots cleaned before take as
// their work trees outside their own tops: what they track there is known
// before this root is walked, whatever the threads, so they count as work
// trees the environment names.
void Walker::NameWorkTreesFoundOutside() {
  if (!settings_.keep_tracked) return;
  std::vector<NamedWorkTree>& named = settings_.named_work_trees;
  for (NamedWorkTree& found : settings_.late_work_trees->TrackedOutside()) {
    const bool known = std::any_of(named.begin(), named.end(), [&](const NamedWorkTree& name) {
      return name.top_path == found.top_path && name.tracked == found.tracked;
    });
    if (!known) named.push_back(std::move(found));
  }
}

void Walker::LookAheadAt(const std::string& path) {
  platform::Dir dir;
  platform::FolderInfo info;
  std::string reason;
  if (fs_.OpenFolderPath(path, &dir, &info, &reason) != platform::OpenResult::kOpened) return;
  if (!settings_.keep_tracked) {
    // Git's data away from the git dirs there, for the roots before it.
    NoteGitDataAround(fs_, dir, path);
    return;
  }
  GitDiscoverySettings discovery = settings_.git;
  discovery.outside_only = true;  // the other indexes are read in their turn
  const GitSurroundings around = DiscoverGitAround(fs_, dir, path, discovery);
  for (const NamedWorkTree& outside : around.tracked_outside) {
    settings_.late_work_trees->NoteTrackedAt(outside.top_path, outside.tracked);
  }
}

// The folders the system shows at more than one path, one of them in the
// root or around it: each as git, run by this user, judges it at every path
// it has. Where the root lies below one of the paths, it is the folder
// judged, at each of its own other paths. Whether the walk from the root
// reaches one of them at two of its paths.
bool Walker::JudgeFoldersShownTwice(const std::string& root_path) {
  std::vector<FolderShownElsewhere>& judged = *settings_.shown_elsewhere;
  judged.clear();
  bool reached_twice = false;
  for (const std::vector<std::string>& group : settings_.shown_twice) {
    std::string below;
    const auto around = std::find_if(group.begin(), group.end(), [&](const std::string& path) {
      return IsWithin(root_path, path, &below) && !below.empty();
    });
    const auto reached = std::count_if(group.begin(), group.end(), [&](const std::string& path) {
      return IsWithin(path, root_path);
    });
    if (reached + (around != group.end() ? 1 : 0) > 1) reached_twice = true;
    if (around != group.end()) {
      std::vector<std::string> paths{root_path};
      for (const std::string& path : group) {
        if (&path == &*around) continue;
        paths.push_back(path);
        platform::AppendPathComponent(&paths.back(), below);
      }
      JudgeFolderShownAt(paths);
      NameWorkTreesAtOtherPaths(paths);
    } else if (std::any_of(group.begin(), group.end(),
                           [&](const std::string& path) { return IsWithin(path, root_path); })) {
      JudgeFolderShownAt(group);
      NameWorkTreesAtOtherPaths(group);
    }
  }
  return reached_twice;
}

// A work tree named (or found outside its repository's top) at or below one
// of the folder's `paths` lies at each of its other paths too, where the
// walk may meet it first.
void Walker::NameWorkTreesAtOtherPaths(const std::vector<std::string>& paths) {
  if (!settings_.keep_tracked) return;
  std::vector<NamedWorkTree>& named = settings_.named_work_trees;
  for (std::size_t i = 0, known = named.size(); i < known; ++i) {
    std::string rest;
    const auto from = std::find_if(paths.begin(), paths.end(), [&](const std::string& path) {
      return IsWithin(named[i].top_path, path, &rest);
    });
    if (from == paths.end()) continue;
    for (const std::string& path : paths) {
      if (&path == &*from) continue;
      NamedWorkTree there{path, named[i].tracked};
      if (!rest.empty()) platform::AppendPathComponent(&there.top_path, rest);
      if (std::none_of(named.begin(), named.end(), [&](const NamedWorkTree& name) {
            return name.top_path == there.top_path && name.tracked == there.tracked;
          })) {
        named.push_back(std::move(there));
      }
    }
  }
}

// Judges the folder shown at `paths`, the first where the walk may meet
// it. A path a mount made since hides is judged all the same: the folder
// still lies there, where git tracked its files. One this user can't reach
// is passed over, as git run by this user passes over it.
void Walker::JudgeFolderShownAt(const std::vector<std::string>& paths) {
  FolderShownElsewhere shown;
  GitDiscoverySettings discovery = settings_.git;
  discovery.work_trees = settings_.keep_tracked;
  for (const std::string& path : paths) {
    platform::Dir dir;
    platform::FolderInfo info;
    std::string reason;
    if (fs_.OpenFolderPath(path, &dir, &info, &reason) != platform::OpenResult::kOpened) {
      if (&path == &paths.front()) return;  // unmounted since, or out of reach
      continue;
    }
    if (&path == &paths.front()) shown.id = info.id;
    GitSurroundings around = DiscoverGitAround(fs_, dir, path, discovery);
    if (around.database_levels >= 0 && shown.database.empty()) {
      shown.database = path;
      shown.database_doubt = std::move(around.database_doubt);
    }
    for (EnclosingWorkTree& tree : around.work_trees) shown.work_trees.push_back(std::move(tree));
    // A work tree the environment names, around that path.
    std::string rest;
    for (const NamedWorkTree& named : settings_.named_work_trees) {
      if (settings_.keep_tracked && IsWithin(path, named.top_path, &rest)) {
        shown.work_trees.push_back({named.tracked, rest, named.top_path});
      }
    }
  }
  if (shown.id.IsKnown()) settings_.shown_elsewhere->push_back(std::move(shown));
}

std::shared_ptr<const WorkTree> FolderCleaner::NamedWorkTreeAt(
    const std::string& path, std::size_t path_offset, std::shared_ptr<const WorkTree> outer) {
  // Noted late, at this folder or around it: each once in the chain, at
  // the first folder met after it was noted.
  std::vector<NamedWorkTree> found = settings_.late_work_trees->TrackedAround(path);
  const auto chained = [&outer](const std::shared_ptr<const TrackedFiles>& tracked) {
    for (const WorkTree* tree = outer.get(); tree != nullptr; tree = tree->outer.get()) {
      if (tree->tracked == tracked) return true;
    }
    return false;
  };
  for (const NamedWorkTree& named : settings_.named_work_trees) {
    if (named.top_path == path) found.push_back(named);
  }
  for (NamedWorkTree& named : found) {
    // Those found outside by an earlier root are named for the later ones.
    if (chained(named.tracked)) continue;
    std::string rest;
    IsWithin(path, named.top_path, &rest);
    auto work_tree = std::make_shared<WorkTree>();
    work_tree->tracked = std::move(named.tracked);
    if (!rest.empty()) work_tree->prefix = rest + "/";
    work_tree->path_offset = path_offset;
    work_tree->top_path = std::move(named.top_path);
    work_tree->outer = std::move(outer);
    ReportUnreadableWorkTree(*work_tree);
    outer = std::move(work_tree);
  }
  return outer;
}

// What `count` gives for each sweep made, summed.
template <typename Result>
long long Walker::SumOverSweeps(Result (Sweep::*count)() const) const {
  long long sum = 0;
  for (const Sweep* sweep : {sweep_.get(), solo_sweep_.get()}) {
    if (sweep != nullptr) sum += (sweep->*count)();
  }
  return sum;
}

long long Walker::kept() const {
  return root_cleaner_.kept() + SumOverSweeps(&Sweep::kept);
}

long long Walker::kept_unknown() const {
  return root_cleaner_.kept_unknown() + SumOverSweeps(&Sweep::kept_unknown);
}

long long Walker::deleted() const {
  return root_cleaner_.deleted() + SumOverSweeps(&Sweep::deleted);
}

void Walker::ReleaseMemory() {
  root_subfolders_ = platform::EntryList();
  root_targets_ = platform::EntryList();
  root_cleaner_.ReleaseMemory();
  if (sweep_ != nullptr) sweep_->ReleaseMemory();
  if (solo_sweep_ != nullptr) solo_sweep_->ReleaseMemory();
}

}  // namespace engine
