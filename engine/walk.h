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
// - Version-control databases (.git, .hg, .svn, .bzr folders) are never
//   entered, nor is any folder the NameFilter excludes.
// - A link whose target can't be examined is kept and reported: it may lead
//   to a folder.
// - A folder that is there but can't be read is reported on standard error
//   where it would have been cleaned; one that went away is passed over.
// - The files standard output and standard error write to are never deleted.
#ifndef BUILDSWEEP_ENGINE_WALK_H_
#define BUILDSWEEP_ENGINE_WALK_H_

#include <atomic>
#include <functional>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/extensions.h"
#include "engine/folder_stack.h"
#include "engine/name_filter.h"
#include "engine/report.h"
#include "platform/file_system.h"

namespace engine {

/// One of 64 bits that stands for the folder `id`. The bits of a folder and
/// its ancestors, or-ed together, rule out most folders as one of them
/// without a look at each ancestor; an unknown id has no bit.
inline std::uint64_t LineageBit(const platform::FolderId& id) {
  if (!id.IsKnown()) return 0;
  return std::uint64_t{1} << ((id.inode * 0x9e3779b97f4a7c15ull ^ id.device) >> 58);
}

/// A folder as the walk found it.
struct CollectedFolder {
  /// The bare name (empty for the root).
  std::string name;
  /// Identity when opened.
  platform::FolderInfo info;
  /// The listed by-products (files and links), sorted by name.
  platform::EntryList targets;
  /// Why the folder could not be opened or listed; empty when it could, or
  /// when it had merely gone away, which is no failure.
  std::string unreadable_reason;
};

/// What a walker is told once for the whole run; every thread's walker is
/// told the same.
struct WalkerSettings {
  /// What the walk leaves alone.
  NameFilter filter;
  /// The files never deleted: the run's own output.
  std::vector<platform::FolderId> kept_files;
  /// What each deletion's line starts with; a dry run says what it would
  /// delete instead. Must outlive the walker.
  std::string_view deletion_label = "Delete : ";
  /// The lines that open and close each folder's block. Must outlive the
  /// walker.
  std::string_view block_opening;
  std::string_view block_closing;
};

/// The state that the walk keeps across the calls of one run.
class Walker {
 public:
  /// A walker that works through `fs`, reports to `report` and follows
  /// `settings`.
  Walker(platform::FileSystem& fs, Report& report, WalkerSettings settings = WalkerSettings());

  /// Reads the current directory into `root` and prints "Root Path = ...".
  /// 1 on success; 0 after the fatal message and a short pause (the run then
  /// fell short).
  int GetRootFolder(std::string& root);

  /// Visits every folder below the root (whose displayed path is
  /// `root_path`) depth-first, siblings in order, and cleans each as soon as
  /// it is listed, through the same handle, writing its block (see
  /// WalkerSettings) in the report's order. `after_root_listed`, when set,
  /// runs once the root's subfolders are known. Stops early when the root
  /// can't be read (CleanRoot then says why) or the run must stop.
  void SweepSubFolders(const std::string& root_path, const ExtensionList& extensions,
                       const std::function<void()>& after_root_listed = nullptr);

  /// Opens and lists the root, as SweepSubFolders begins: its subfolders
  /// (sorted, the skipped ones left out) are then root_subfolders(). The
  /// open root, or null when it can't be read (CleanRoot then says why).
  const platform::Dir* OpenRoot(const ExtensionList& extensions);
  /// The subfolders of the root, once OpenRoot listed it.
  const platform::EntryList& root_subfolders() const { return subfolders_; }

  /// Cleans the root itself, whose displayed path is `path`, through a fresh
  /// handle that must still be the folder SweepSubFolders opened, and closes
  /// its block: the last of the run.
  void CleanRoot(const std::string& path, const ExtensionList& extensions);

  /// Lists `dir`, on `device`: its by-products into `targets` and, when
  /// asked, its subfolders at the end of `subfolders`, each sorted by name.
  /// False with the reason in `error` when it can't be read.
  bool ListTargets(const platform::Dir& dir, std::uint64_t device, const ExtensionList& extensions,
                   platform::EntryList* targets, platform::EntryList* subfolders,
                   std::string* error);
  /// Writes the block of the folder whose displayed path is `path`: deletes
  /// `targets`, listed from `dir`, reporting each and their count.
  void WriteCleanedBlock(const platform::Dir& dir, const platform::EntryList& targets,
                         const std::string& path);
  /// Writes the block of the folder `path` that could not be opened or
  /// listed: empty, with `reason` on standard error, or nothing said when
  /// `reason` is empty (the folder had gone away).
  void WriteUnreachedBlock(const std::string& path, const std::string& reason);
  /// The report this walker writes to.
  Report& report() const { return report_; }

  /// Also stops (see ShouldStop) once `flag` is set; null for no such flag.
  void StopAlso(const std::atomic<bool>* flag) { also_stop_ = flag; }

  /// The root as the sweep saw it (depth 0).
  const CollectedFolder& root() const { return root_; }
  /// What this walker was told for the run.
  const WalkerSettings& settings() const { return settings_; }
  /// Whether the run could not do all it should: the root not resolved, a
  /// folder not read, or a file (or a link that may lead to a folder) that
  /// should have been deleted not deleted.
  bool fell_short() const { return fell_short_; }
  /// How many files have been deleted so far.
  long long deleted() const { return deleted_; }
  /// Gives back the memory kept for reuse between folders.
  void ReleaseMemory();
  /// Whether the run should stop before the next file (a stop signal, or
  /// output that can no longer keep the record).
  bool ShouldStop() const;

 private:
  /// One folder being expanded during the sweep.
  struct Frame {
    std::size_t first_child;  // this folder's subfolders in subfolders_
    std::size_t end_child;
    platform::FolderId id;
    std::uint64_t lineage_bits;  // LineageBit of this folder and its ancestors
    std::size_t next_child = first_child;
  };

  bool ListAndSplit(CollectedFolder* folder, const ExtensionList& extensions);
  bool IsKeptFile(std::uint64_t device, std::uint64_t inode) const;
  void SweepChild(CollectedFolder* child, const std::string& path, const ExtensionList& extensions);
  bool IsOpenAncestor(const platform::FolderId& id) const;
  void LeaveFrame();
  bool MayDelete(const platform::Dir& dir, const platform::Entry& target, std::string_view name,
                 const std::string& folder_path);
  int DeleteTargets(const platform::Dir& dir, const platform::EntryList& targets,
                    const std::string& folder_path);
  void ReportFailedDeletion(const std::string& folder_path, std::string_view name,
                            const std::string& reason);
  void ReportUnreadable(const std::string& path, const std::string& reason);
  void CleanListedFolder(const platform::Dir& dir, const platform::EntryList& targets,
                         const std::string& path);
  void CleanRootFolder(const std::string& path, const ExtensionList& extensions);
  void OpenBlock();
  void CloseBlock();

  platform::FileSystem& fs_;
  Report& report_;
  const WalkerSettings settings_;
  FolderStack stack_;
  CollectedFolder root_;
  bool fell_short_ = false;
  long long deleted_ = 0;
  const std::atomic<bool>* also_stop_ = nullptr;

  // Sweep scratch, reused for every folder.
  platform::EntryList subfolders_;  // names still to visit, deepest folder's last
  std::vector<Frame> frames_;
  CollectedFolder scratch_folder_;
  std::string displayed_folder_;  // the cleaned folder's path, ready to print
  std::string displayed_name_;    // the name being deleted, ready to print
};

/// Rebuilds full displayed paths while folders are read in pre-order.
class PathBuilder {
 public:
  /// Starts at the root's displayed path.
  explicit PathBuilder(std::string root);
  /// Moves to the folder `name` at `depth` (>= 1) and returns its path.
  const std::string& Enter(std::size_t depth, const std::string& name);

 private:
  std::string path_;
  std::vector<std::size_t> length_at_depth_;
};

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_WALK_H_
