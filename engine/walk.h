// The folder walk: resolving the root, collecting every folder below it, and
// deleting the by-products in one folder.
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
// - A folder is cleaned only if it is still the folder that was collected.
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
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/extensions.h"
#include "engine/folder_list.h"
#include "engine/folder_stack.h"
#include "engine/name_filter.h"
#include "engine/report.h"
#include "platform/file_system.h"

namespace engine {

class FolderTrail;

/// The state that the walk keeps across the calls of one run.
class Walker {
 public:
  /// A walker that works through `fs`, reports to `report` and leaves alone
  /// what `filter` skips.
  Walker(platform::FileSystem& fs, Report& report, NameFilter filter = NameFilter());

  /// Reads the current directory into `root` and prints "Root Path = ...".
  /// 1 on success; 0 after the fatal message and a short pause (the run then
  /// fell short).
  int GetRootFolder(std::string& root);

  /// Appends every folder below the root (whose displayed path is `folder`)
  /// to `folders` in depth-first pre-order, noting the by-products in each.
  /// 1 when the root could be read, 0 when not.
  int CollectSubFolders(const std::string& folder, FolderList& folders,
                        const ExtensionList& extensions);

  /// Deletes the listed-extension files directly in `folder`, whose displayed
  /// path is `path`, and reports them. Returns how many were deleted; 0, with
  /// nothing on standard output, when the folder can't be read (said on
  /// standard error) or is no longer the one that was collected.
  int CleanFolder(const CollectedFolder& folder, const std::string& path,
                  const ExtensionList& extensions);

  /// Makes this walker ready to clean folders that another walker collected
  /// below the root `root`: opens the current directory, which must still be
  /// that folder. When it is not, nothing below it will be reached.
  void OpenRootForCleaning(const platform::FolderId& root);
  /// Reaches the ancestors of a folder at `depth` the way cleaning the list
  /// in order would have: each one from its parent, checked against the
  /// identity on `trail`. A walker that cleans only part of the list calls
  /// this before the first folder of each part.
  void ReachAncestors(const FolderTrail& trail, std::size_t depth);
  /// Also stops (see ShouldStop) once `flag` is set; null for no such flag.
  void StopAlso(const std::atomic<bool>* flag) { also_stop_ = flag; }
  /// Starts each deletion's line with `label` instead of "Delete : " (a dry
  /// run says what it would delete). `label` must outlive the walker.
  void set_deletion_label(std::string_view label) { deletion_label_ = label; }
  /// The label each deletion's line starts with.
  std::string_view deletion_label() const { return deletion_label_; }

  /// The root as collection saw it (depth 0).
  const CollectedFolder& root() const { return root_; }
  /// What this walker leaves alone.
  const NameFilter& filter() const { return filter_; }
  /// Whether the run could not do all it should: the root not resolved, a
  /// folder not read, or a file (or a link that may lead to a folder) that
  /// should have been deleted not deleted.
  bool fell_short() const { return fell_short_; }
  /// How many files have been deleted so far.
  long long deleted() const { return deleted_; }
  /// Never deletes the files with these identities (the run's own output).
  void KeepFiles(std::vector<platform::FolderId> files) { kept_files_ = std::move(files); }
  /// The files this walker never deletes.
  const std::vector<platform::FolderId>& kept_files() const { return kept_files_; }
  /// Gives back the memory kept for reuse between folders.
  void ReleaseMemory();
  /// Whether the run should stop before the next file (a stop signal, or
  /// output that can no longer keep the record).
  bool ShouldStop() const;

 private:
  struct IdHash {
    std::size_t operator()(const platform::FolderId& id) const {
      return static_cast<std::size_t>(id.inode * 0x9e3779b97f4a7c15ull ^ id.device);
    }
  };
  /// One folder being expanded during collection.
  struct Frame {
    std::size_t first_child;  // this folder's subfolders in subfolders_
    std::size_t end_child;
    platform::FolderId id;
    std::size_t next_child = first_child;
  };

  bool ListAndSplit(CollectedFolder* folder, const ExtensionList& extensions);
  bool ListTargets(const platform::Dir& dir, std::uint64_t device, const ExtensionList& extensions,
                   platform::EntryList* targets, platform::EntryList* subfolders,
                   std::string* error);
  bool IsKeptFile(std::uint64_t device, std::uint64_t inode) const;
  void CollectChild(CollectedFolder* child, FolderList* folders, const ExtensionList& extensions);
  void RememberAncestor(const platform::FolderId& id);
  void LeaveFrame();
  const platform::Dir* ReachForCleaning(const CollectedFolder& folder, platform::FolderInfo* now,
                                        std::string* error);
  bool MayDelete(const platform::Dir& dir, const platform::Entry& target, std::string_view name,
                 const std::string& folder_path);
  int DeleteTargets(const platform::Dir& dir, const platform::EntryList& targets,
                    const std::string& folder_path);
  void ReportFailedDeletion(const std::string& folder_path, std::string_view name,
                            const std::string& reason);
  void ReportUnreadable(const std::string& path, const std::string& reason);

  platform::FileSystem& fs_;
  Report& report_;
  const NameFilter filter_;
  FolderStack stack_;
  CollectedFolder root_;
  platform::Dir root_for_cleaning_;
  bool fell_short_ = false;
  long long deleted_ = 0;
  std::vector<platform::FolderId> kept_files_;
  const std::atomic<bool>* also_stop_ = nullptr;
  std::string_view deletion_label_ = "Delete : ";

  // Collection scratch, reused for every folder.
  platform::EntryList subfolders_;  // names still to visit, deepest folder's last
  std::vector<Frame> frames_;
  std::unordered_set<platform::FolderId, IdHash> ancestors_;
  CollectedFolder scratch_folder_;
  platform::EntryList fresh_targets_;
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

/// The displayed path and the collected identities of the folders from the
/// root down to the folder read last, so that a walker can start cleaning in
/// the middle of the list.
class FolderTrail {
 public:
  /// One folder on the trail.
  struct Step {
    std::string_view name;
    platform::FolderId id;
    bool identity_known;
  };

  /// Starts at the root's displayed path.
  explicit FolderTrail(std::string root);
  /// Moves to `folder` (depth >= 1), read from the list in order, and
  /// returns its displayed path.
  const std::string& Enter(const CollectedFolder& folder);
  /// The folder at `depth` (1 to the depth of the folder entered last).
  Step At(std::size_t depth) const;

 private:
  struct Level {
    platform::FolderId id;
    bool identity_known;
    std::size_t name_begin;  // in the path
    std::size_t name_size;
  };
  PathBuilder paths_;
  const std::string* path_ = nullptr;
  std::vector<Level> levels_;  // depth 1 first
};

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_WALK_H_
