// The folder walk: resolving the root, then sweeping every folder below it,
// each listed and cleaned of its by-products through one handle, and the
// root last.
//
// Defaults worth knowing:
// - Links (and junctions) are never followed; a link that leads to a folder
//   is never deleted either. A link to a file, or a dangling link, with a
//   listed extension is removed itself; its target is never touched.
// - Siblings are visited, and files deleted, in byte order of their names,
//   so the same tree always gives the same report; on Windows in the order
//   the file system lists them (see platform::kSortsListings).
// - There is no depth limit and no recursion: the walk keeps its own stack,
//   and only a bounded number of folders are open at any time.
// - A folder whose identity is that of one of its ancestors (a bind mount
//   loop) is not entered again. A folder without a known identity (the file
//   system reports none) is never taken for a loop.
// - Each folder is collected and cleaned in one visit, through the handle it
//   was listed with: nothing can stand in for it between the two. The root
//   alone is cleaned last, through a fresh handle that must still be the
//   same folder.
// - Any number of threads sweeps the tree (engine/sweep.h), and the report
//   is byte for byte the one a single thread writes.
// - Version-control databases (.git, .hg, .svn, .bzr folders, and a git
//   repository folder under any name) are never entered, nor is any folder
//   the NameFilter excludes.
// - A link whose target can't be examined is kept and reported: it may lead
//   to a folder.
// - A folder that is there but can't be read is reported on standard error
//   where it would have been cleaned; one that went away is passed over.
// - The files standard output and standard error write to are never deleted.
#ifndef BUILDSWEEP_ENGINE_WALK_H_
#define BUILDSWEEP_ENGINE_WALK_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/extensions.h"
#include "engine/folder_stack.h"
#include "engine/git_work_tree.h"
#include "engine/name_filter.h"
#include "engine/report.h"
#include "engine/trash.h"
#include "platform/file_system.h"

namespace engine {

class CleanedFolders;
class Sweep;

struct WorkTree;

/// The folders that repositories found on the way down take as their work
/// trees (core.worktree) beside their own tops. What they track there was
/// not known where the walk may have reached it first (the run has said
/// so, once). The root, cleaned after every other folder whatever the
/// threads, keeps what such a repository tracks where it lies in its work
/// tree, all its by-products where that can't be read. A folder swept later whose path
/// was noted, or that lies in it, keeps what the repository tracks there
/// (TrackedAround): which files that saves may depend on the threads'
/// timing, but the run has said that it can't vouch for them, and keeping
/// what it can comes first.
/// Shared by every cleaner of a run.
class LateWorkTrees {
 public:
  /// Notes `top`, whose tracked files the walk can't vouch for, for
  /// `reason`: the root keeps those `tracked` there (all its by-products
  /// where they can't be read).
  void Add(const std::string& top, const std::string& reason,
           std::shared_ptr<const TrackedFiles> tracked);
  /// `inner`, the work trees of the root shown as `path`, within one for
  /// each noted top the root lies in: what the repository tracks there,
  /// or, where that can't be read, everything.
  std::shared_ptr<const WorkTree> Around(const std::string& path,
                                         std::shared_ptr<const WorkTree> inner) const;
  /// Notes that the repository `tracked` was read from takes `folder`,
  /// outside its own top, as its work tree: a root cleaned later knows
  /// what it tracks there, as it knows a work tree the environment names.
  void NoteTrackedAt(const std::string& folder, std::shared_ptr<const TrackedFiles> tracked);
  /// Every folder noted so far, with what is tracked there.
  std::vector<NamedWorkTree> TrackedOutside() const;
  /// The folders noted so far that the folder shown as `path` is or lies
  /// in, with what is tracked there: a folder the walk meets after the
  /// repository that names it keeps those files, whatever the report then
  /// says of the others.
  std::vector<NamedWorkTree> TrackedAround(const std::string& path) const;
  /// Whether any folder is noted so (cheap: no lock).
  bool AnyTrackedOutside() const { return any_outside_.load(std::memory_order_acquire); }

 private:
  struct Top {
    std::string path;
    std::shared_ptr<const TrackedFiles> unknown;
    std::shared_ptr<const TrackedFiles> tracked;  // by the repository that named it
  };
  mutable std::mutex mutex_;
  std::vector<Top> tops_;
  std::vector<NamedWorkTree> tracked_outside_;
  // Looked at by every folder without the lock: almost always false.
  std::atomic<bool> any_{false};
  std::atomic<bool> any_outside_{false};
};

/// A folder the system shows at other paths as well (a bind mount), as git
/// judges it there: its files are git's at every path they have.
struct FolderShownElsewhere {
  platform::FolderId id;
  /// One of its paths that lies in a git database; empty for none.
  std::string database;
  /// Why it can't be told whether that one is git's data; empty when it can.
  std::string database_doubt;
  /// The work trees around its paths, innermost first, each with the
  /// folder's path in it.
  std::vector<EnclosingWorkTree> work_trees;
};

/// What a walker is told once for the whole run; every thread's cleaner is
/// told the same.
struct WalkerSettings {
  /// What the walk leaves alone.
  NameFilter filter;
  /// The files never deleted: the run's own output.
  std::vector<platform::FolderId> kept_files;
  /// The folders never entered whatever their names: the user's home trash,
  /// and the folders a run made on the way to it.
  std::vector<platform::FolderId> never_entered;
  /// Where by-products go instead of being deleted (--trash); null when
  /// they are deleted. Must outlive the walker.
  Trash* trash = nullptr;
  /// Whether the file system only looks (a dry run): each deletion's line
  /// then says what would be deleted, in JSON with the file's size.
  bool dry_run = false;
  /// The lines that open and close each folder's block. Must outlive the
  /// walker.
  std::string_view block_opening;
  std::string_view block_closing;
  /// Whether a listed file that its git work tree tracks is kept.
  bool keep_tracked = true;
  /// How git's discovery is told to look for the root's work trees.
  GitDiscoverySettings git;
  /// Work trees the environment names (GIT_DIR), whose tracked files are
  /// kept beside those of the work trees found; their tops are shown paths
  /// as the walk shows folders.
  std::vector<NamedWorkTree> named_work_trees;
  /// Whether each kept tracked file gets a line after its folder's
  /// deletions (a dry run says what it would keep).
  bool list_kept = false;
  /// Whether a listed file modified after `newest_deleted` is kept: not
  /// deleted, reported or counted (--older-than). Its time is read just
  /// before it would go, so a file changed in between still goes.
  bool keeps_recent = false;
  /// The latest modification time, in nanoseconds since 1970, of a file
  /// that may go when `keeps_recent`; one dated after it (the future
  /// included) is recent.
  std::int64_t newest_deleted = 0;
  /// In a dry run, the folders cleaned so far, shared by every cleaner of
  /// the run; the walker makes it.
  std::shared_ptr<CleanedFolders> cleaned_folders;
  /// Work trees found late (see LateWorkTrees); the walker makes it.
  std::shared_ptr<LateWorkTrees> late_work_trees;
  /// The folders the system shows at more than one path, each group the
  /// absolute paths of one (platform::FoldersShownTwice).
  std::vector<std::vector<std::string>> shown_twice;
  /// Those in the current root, as git judges them at each of their paths;
  /// the walker makes it, anew for each root.
  std::shared_ptr<std::vector<FolderShownElsewhere>> shown_elsewhere;
  /// The identities and paths of the roots swept so far in the run, the
  /// one being swept last; the walker adds each.
  std::vector<platform::FolderId> roots;
  std::vector<std::string> root_paths;
};

/// The git work tree a folder lies in, as the walk judges its files: what
/// the index tracks, and how a folder's displayed path becomes its path in
/// the work tree.
struct WorkTree {
  std::shared_ptr<const TrackedFiles> tracked;
  /// The path in the work tree, with a `/` after each name, of the folder
  /// whose subfolders' names begin at `path_offset` in their displayed paths.
  std::string prefix;
  std::size_t path_offset = 0;
  /// The displayed path of the work tree's top, for saying it can't be read.
  std::string top_path;
  /// The work tree around this one (a nested repository lies in it), whose
  /// tracked files are kept too; null for none.
  std::shared_ptr<const WorkTree> outer;

  /// Appends the path in the work tree of the folder displayed as `path` to
  /// `out`, with a `/` after each name.
  void AppendFolder(std::string* out, std::string_view path) const;
};

/// What a folder's listing tells of git.
struct ListingSigns {
  /// It holds an entry `.git`: it may be a work tree's top.
  bool dot_git = false;
  /// It holds what a repository directory holds (`HEAD` beside `objects`
  /// and `refs`, or beside `commondir`; see MayBeGitDir): it may be a git
  /// database, which only JudgeGitDir can tell.
  bool git_dir_entries = false;
  /// It holds `heads` and `tags`, or `HEAD` beside `refs`, and no `.git`:
  /// it may be a `refs` or `logs` a git dir leads to as a link (see
  /// HasRefsOrLogsShape).
  bool git_data_shape = false;
};

/// Lists one folder, deletes its by-products and writes its block to one
/// report. Each cleaning thread has its own.
class FolderCleaner {
 public:
  /// A cleaner that works through `fs`, reports to `report` and follows
  /// `settings`; it also stops once `also_stop` (if given) is set.
  FolderCleaner(platform::FileSystem& fs, Report& report, const WalkerSettings& settings,
                const std::atomic<bool>* also_stop = nullptr);

  /// Whether the root, open as `dir` and shown as `path`, lies in git's
  /// data a repository around it keeps away from its git dir (see
  /// IsGitDataElsewhere); writes the block that says it is left alone.
  bool LeavesRootInGitDataAlone(const platform::Dir& dir, const std::string& path);

  /// Judges each subfolder of `dir` (shown as `path`) that its last
  /// listing skipped for the user's exclusions alone: never entered, a
  /// repository there may still track files elsewhere (core.worktree) or
  /// keep its data elsewhere, which the walk must know of.
  void JudgeExcludedFolders(const platform::Dir& dir, const std::string& path,
                            const ExtensionList& extensions);

  /// Lists `dir`, on `device`: its by-products into `targets` and, when
  /// asked, its subfolders at the end of `subfolders`, each sorted by name.
  /// False with the reason in `error` when it can't be read. What the
  /// listing tells of git goes into `signs`, when given.
  bool ListTargets(const platform::Dir& dir, std::uint64_t device, const ExtensionList& extensions,
                   platform::EntryList* targets, platform::EntryList* subfolders,
                   std::string* error, ListingSigns* signs = nullptr);
  /// Whether the folder open in `dir`, displayed as `path`, whose listing
  /// showed `signs`, is a git database: then its block says it was left
  /// alone (and, when that can't be told, why, on standard error), and
  /// nothing in it is to be touched.
  bool LeavesDatabaseAlone(const platform::Dir& dir, const std::string& path,
                           const ListingSigns& signs);
  /// Where the repository folder open in `dir`, displayed as `path`, names
  /// a work tree in its core.worktree (a dotfiles repository's home
  /// folder), notes what it tracks there for the folders met after it, and,
  /// where a root lies in it or it in a root, says that the walk may have
  /// been there first: the root, cleaned last, keeps all its by-products.
  void NoteCoreWorkTree(const platform::Dir& dir, const std::string& path);
  bool IsKnownWorkTree(const platform::Dir& dir, const std::string& top);
  /// The same for the folder `id`, displayed as `path`, where one of the
  /// other paths it is shown at (WalkerSettings::shown_elsewhere) lies in
  /// a git database: deleting here would delete there; or where a
  /// repository judged so far keeps data in it (IsGitDataElsewhere).
  bool LeavesGitDataElsewhereAlone(const platform::FolderId& id, const std::string& path);
  /// `outer` with, around it, the work trees around the other paths the
  /// folder `id` is shown at (see LoadWorkTree for `path_offset`).
  std::shared_ptr<const WorkTree> WorkTreesShownElsewhere(const platform::FolderId& id,
                                                          std::size_t path_offset,
                                                          std::shared_ptr<const WorkTree> outer);
  /// Writes the block of the folder whose displayed path is `path`: deletes
  /// `targets`, listed from `dir` (the folder `id`), reporting each and their
  /// count; those `work_tree` (if any) tracks are kept. Any cleaner may
  /// write the block of a folder another listed.
  void WriteCleanedBlock(const platform::Dir& dir, const platform::FolderId& id,
                         const platform::EntryList& targets, const std::string& path,
                         const WorkTree* work_tree = nullptr);
  /// Writes the block of the folder `path` that could not be opened or
  /// listed: empty, with `reason` on standard error, or nothing said when
  /// `reason` is empty (the folder had gone away).
  void WriteUnreachedBlock(const std::string& path, const std::string& reason);
  /// Writes the folder line, the deletions and the count of a folder, with
  /// no banners (the root's).
  void CleanListedFolder(const platform::Dir& dir, const platform::FolderId& id,
                         const platform::EntryList& targets, const std::string& path,
                         const WorkTree* work_tree = nullptr);
  /// Loads what the work tree whose top is open in `dir`, displayed as
  /// `path`, tracks; says once that it can't be read, when so (every file of
  /// it is then kept). `path_offset` is where the names of its subfolders
  /// begin in their displayed paths; `outer` is the work tree it lies in.
  /// Null when git passes over its .git. `outside_only`: only what it
  /// tracks outside `path` (core.worktree) matters, its index read only
  /// for that.
  std::shared_ptr<const WorkTree> LoadWorkTree(const platform::Dir& dir, const std::string& path,
                                               std::size_t path_offset,
                                               std::shared_ptr<const WorkTree> outer,
                                               bool outside_only = false);
  /// `outer` with, around it, each work tree the environment names, or a
  /// repository met so far names outside its own top, whose top is the
  /// folder `path` (see LoadWorkTree for `path_offset`).
  std::shared_ptr<const WorkTree> NamedWorkTreeAt(const std::string& path,
                                                  std::size_t path_offset,
                                                  std::shared_ptr<const WorkTree> outer);
  /// Says, where this thread noted git's data away from a git dir (see
  /// IsGitDataElsewhere) since it counted `noted` (GitDataNotedHere), that
  /// the repository in `path` (the folder `id`), found on the way down,
  /// leads to folders, or files with one of `extensions`, the walk may
  /// have reached first.
  void SayIfGitDataFoundLate(const std::string& path, const platform::FolderId& id,
                             const ExtensionList& extensions, unsigned long noted);
  /// Says, when so, that `work_tree` can't be read.
  void ReportUnreadableWorkTree(const WorkTree& work_tree);
  /// Says on standard error that the folder `path` can't be read.
  void ReportUnreadable(const std::string& path, const std::string& reason);
  /// Writes the closing banner of a block.
  void CloseBlock();
  /// Called before a deletion whose line is longer than a block of the
  /// run's report (Report::kBlockLimit), with the line's length, so that
  /// everything before it can be put on record first: then a failed write
  /// can cost that one line at most.
  void BeforeLongLine(std::function<void(std::size_t)> make_room) {
    before_long_line_ = std::move(make_room);
  }

  /// Whether the run should stop before the next file (a stop signal, or
  /// output that can no longer keep the record).
  bool ShouldStop() const;
  /// Whether the folder whose identity, read from its own handle, is `id`
  /// is one never to be entered (the user's home trash).
  bool NeverEnters(const platform::FolderId& id) const;
  /// Whether something could not be done: a folder not read, or a file (or a
  /// link that may lead to a folder) that should have been deleted not
  /// deleted.
  bool fell_short() const { return fell_short_; }
  /// How many files it deleted.
  long long deleted() const { return deleted_; }
  /// How many listed files it kept because git tracks them.
  long long kept() const { return kept_; }
  /// How many listed files it kept because what git tracks can't be told.
  long long kept_unknown() const { return kept_unknown_; }
  /// Gives back the memory kept for reuse between folders.
  void ReleaseMemory();

 private:
  platform::RemoveResult RemoveTarget(const platform::Dir& dir, const std::string& folder_path,
                                      std::string_view name, platform::FileExamination* removed,
                                      std::string* reason);
  bool MayDelete(const platform::Dir& dir, const platform::Entry& target, std::string_view name,
                 const std::string& folder_path);
  int DeleteTargets(const platform::Dir& dir, const platform::FolderId& id,
                    const platform::EntryList& targets, const std::string& folder_path,
                    const WorkTree* work_tree);
  platform::RemoveResult Remove(const platform::Dir& dir, std::string_view name,
                                platform::FileExamination* removed, std::string* reason);
  enum class Keeping { kNo, kTracked, kUnknown };
  Keeping KeepsTracked(std::string_view name, std::string* sparse);
  bool IsRecent(const platform::Dir& dir, const platform::EntryList& targets, std::size_t index,
                const std::string& folder_path);
  enum class Age { kOldEnough, kRecent, kGone, kUnknown };
  Age AgeOf(const platform::Dir& dir, const platform::EntryList& targets, std::size_t index,
            std::string* reason);
  std::size_t PrepareDeletionLine(const std::string& folder_path, std::string_view name);
  void WriteDeletionLine(const platform::FileExamination& removed);
  void WriteKeptLine(const std::string& folder_path, std::string_view name, Keeping why);
  std::string_view DeletionLabel() const;
  std::string_view DeletionType() const;
  const std::string& FilePath(const std::string& folder_path, std::string_view name);
  void ReportFailedDeletion(const std::string& folder_path, std::string_view name,
                            const std::string& reason);
  void OpenBlock();
  void DisplayFolder(std::string_view path);
  void WriteLeftAloneBlock(const std::string& path, const std::string& database,
                           const std::string& doubt);

  // Subfolders the last listing skipped for the user's exclusions alone.
  std::vector<std::string> excluded_;
  platform::FileSystem& fs_;
  Report& report_;
  const WalkerSettings& settings_;
  const std::atomic<bool>* also_stop_;
  std::function<void(std::size_t)> before_long_line_;
  bool fell_short_ = false;
  long long deleted_ = 0;
  long long kept_ = 0;
  long long kept_unknown_ = 0;
  std::string displayed_folder_;  // the cleaned folder's path, ready to print
  // What displayed_folder_ shows, and where each of its names ends in both.
  struct ShownName {
    std::size_t path_end;
    std::size_t displayed_end;
  };
  std::string shown_folder_;
  std::vector<ShownName> shown_names_;
  // For the cleaned folder's work tree and each around it: the folder's
  // path in it, then a name's, and the length of the folder's part.
  struct TrackedPath {
    const WorkTree* work_tree;
    std::string path;
    std::size_t folder = 0;
  };
  std::vector<TrackedPath> tracked_paths_;
  std::size_t work_trees_ = 0;  // how many of tracked_paths_ the folder has
  std::vector<std::pair<platform::Entry, Keeping>> kept_targets_;  // to list after the deletions
  bool cleaned_before_ = false;   // in a dry run, the folder was cleaned earlier
  std::string displayed_name_;    // the name being deleted, ready to print
  std::string json_folder_;       // in JSON, the folder's "path" field
  std::string json_line_;         // in JSON, the deletion's line up to its size
  std::string json_folder_prefix_;  // in JSON, the text its files' paths begin with
  bool json_folder_valid_ = true;   // whether the folder's path is UTF-8
  std::string file_path_;         // the path of the file in hand, where needed
  std::uint64_t listed_device_ = 0;  // the device of the folder listed last
  Trash::Placed placed_;          // under --trash, where the file in hand went
  std::string displayed_trash_;   // placed_.trash, ready to print
  std::string displayed_trash_of_;  // the trash displayed_trash_ shows
};

/// The walk of one run: the root, every folder below it, the root last. One
/// walker serves every folder a run cleans, so its threads start once.
class Walker {
 public:
  /// A walker that works through `fs`, reports to `report`, follows
  /// `settings` and sweeps with up to `jobs` threads (the calling one among
  /// them; fewer when the descriptors or the system allow fewer), and up to
  /// `most_jobs` while listing folders keeps them waiting on the disk.
  Walker(platform::FileSystem& fs, Report& report, WalkerSettings settings = WalkerSettings(),
         unsigned jobs = 1, unsigned most_jobs = 0);
  ~Walker();
  Walker(const Walker&) = delete;
  Walker& operator=(const Walker&) = delete;

  /// From the next root on, these are the work trees the environment names
  /// (see WalkerSettings::named_work_trees); between roots only.
  void NameWorkTrees(std::vector<NamedWorkTree> named) { settings_.named_work_trees = std::move(named); }
  /// From the next root on, `files` are never deleted either (see
  /// WalkerSettings::kept_files); between roots only.
  void KeepFiles(const std::vector<platform::FolderId>& files) {
    settings_.kept_files.insert(settings_.kept_files.end(), files.begin(), files.end());
  }
  /// The work trees the environment names now.
  const std::vector<NamedWorkTree>& named_work_trees() const { return settings_.named_work_trees; }
  /// Looks, before the run, at the repositories around a root still to
  /// come, the folder at the physical path `path`: a folder one of them
  /// takes as its work tree outside its own top (core.worktree) may be
  /// a root cleaned before it, which must know what it tracks there. Where
  /// tracked files don't count, it only notes where they keep git's data
  /// away from their git dirs (IsGitDataElsewhere).
  void LookAheadAt(const std::string& path);

  /// Reads the current directory into `root` and prints "Root Path = ...".
  /// 1 on success; 0 after the fatal message and a short pause (the run then
  /// fell short).
  int GetRootFolder(std::string& root);

  /// Visits every folder below the current directory (whose displayed path
  /// is `root_path`) depth-first, siblings in order, and cleans each as soon
  /// as it is listed, through the same handle, writing its block (see
  /// WalkerSettings) in the report's order. `after_root_listed`, when set,
  /// runs once the root's subfolders are known. Stops early when the root
  /// can't be read (CleanRoot then says why) or the run must stop. Throws
  /// std::bad_alloc, once all that was done is on record, if memory ran out.
  void SweepSubFolders(const std::string& root_path, const ExtensionList& extensions,
                       const std::function<void()>& after_root_listed = nullptr);

  /// Cleans the root itself, whose displayed path is `path`, through a fresh
  /// handle that must still be the folder SweepSubFolders opened, and closes
  /// its block: the last of the run.
  void CleanRoot(const std::string& path, const ExtensionList& extensions);

  /// What a run in a folder it can't enter reports in its place: the root's
  /// line (`path`), why (`reason`), and the closing of its block.
  void ReportUnreadableRoot(const std::string& path, const std::string& reason);

  /// Whether the run could not do all it should: the root not resolved, a
  /// folder not read, or a file (or a link that may lead to a folder) that
  /// should have been deleted not deleted.
  bool fell_short() const;
  /// How many files have been deleted so far.
  long long deleted() const;
  /// How many listed files were kept because git tracks them.
  long long kept() const;
  /// How many listed files were kept because what git tracks can't be told.
  long long kept_unknown() const;
  /// Gives back the memory kept for reuse between folders.
  void ReleaseMemory();
  /// Whether the run should stop before the next file.
  bool ShouldStop() const { return root_cleaner_.ShouldStop(); }

 private:
  platform::FileSystem& fs_;
  Report& report_;
  WalkerSettings settings_;  // changed only between roots (NameWorkTrees)
  const unsigned jobs_;
  const unsigned most_jobs_;
  FolderCleaner root_cleaner_;
  FolderStack root_stack_;  // the root alone, open while it is swept
  platform::FolderId root_id_;
  bool root_opened_ = false;
  bool root_left_alone_ = false;  // it is shown elsewhere as git's data
  std::string root_unreadable_reason_;
  bool fell_short_ = false;
  platform::EntryList root_subfolders_;
  platform::EntryList root_targets_;
  std::shared_ptr<const WorkTree> root_work_tree_;  // the root's, if it lies in one
  std::unique_ptr<Sweep> sweep_;  // made at the first sweep, kept for the run
  // One worker alone, for a root in which a folder is reached at two of its
  // paths (see SweepFor); made when first needed.
  std::unique_ptr<Sweep> solo_sweep_;

  void FindRootWorkTree(const std::string& root_path);
  void NameWorkTreesFoundOutside();
  bool JudgeFoldersShownTwice(const std::string& root_path);
  Sweep& SweepFor(bool reaches_a_folder_twice);
  template <typename Result>
  long long SumOverSweeps(Result (Sweep::*count)() const) const;
  void JudgeFolderShownAt(const std::vector<std::string>& paths);
  void NameWorkTreesAtOtherPaths(const std::vector<std::string>& paths);
  static WalkerSettings WithDryRunMemory(WalkerSettings settings);
};

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_WALK_H_
