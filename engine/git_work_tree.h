// What a git work tree tracks, so that the walk can keep tracked files: a
// file that version control keeps is no by-product, whatever its name.
//
// Finding and loading go through platform::FileSystem alone: the `.git`
// folder, or the `.git` file (`gitdir: <path>`) of a worktree or submodule;
// a worktree's `commondir`; four settings of the repository's `config`
// and, where extensions.worktreeconfig turns it on, of the work tree's own
// `config.worktree` (core.ignorecase, core.worktree, extensions.objectformat
// and that one), read by a minimal parser that runs nothing; core.ignorecase
// also from the files those include, and from the system's and the user's
// settings around them (GitUserConfig); the
// `index` (and for a split index its shared index); and to tell a
// repository from a folder that only looks like one, its `HEAD`, whether
// `objects` and `refs` are there, and the branch HEAD names (`packed-refs`,
// `refs/heads/<name>`, or a `reftable`). Nothing else of git is read, no
// program is run.
//
// The index is mapped (FileSystem::MapWholeFile), its checksum verified on
// a second thread while its entries are read straight from the mapping into
// a PathSet of hashes, and let go: loading a 100,000-path index of 15 MB
// takes fresh memory for the table alone (2 MB).
//
// Loading is done once per work tree; the TrackedFiles it makes is never
// changed afterwards, so any number of cleaning threads may share it and
// ask it at once. A work tree whose repository can't be read, or is of a
// kind this program does not understand, still gets a TrackedFiles: one
// that tracks everything, and says why once.
#ifndef BUILDSWEEP_ENGINE_GIT_WORK_TREE_H_
#define BUILDSWEEP_ENGINE_GIT_WORK_TREE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/git_index.h"
#include "platform/file_system.h"

namespace engine {

/// A set of paths kept as their 64-bit hashes in an open-addressing
/// table, at most three quarters full: 11 to 21 bytes a path whatever its length,
/// made without holding the paths, and one hash and about one memory
/// access a lookup. A path that was added is always found. One that was
/// not is found only if its hash is that of one added: for 100,000 paths,
/// about one lookup in 10^14, and then a by-product is kept, never a
/// tracked file deleted. Compares bytes exactly, or ignoring ASCII case.
class PathSet {
 public:
  /// An empty set; `ignore_case` folds A-Z to a-z on both sides.
  explicit PathSet(bool ignore_case = false) : ignore_case_(ignore_case) {}
  /// Makes room for `paths` more paths, so that adding them needs none.
  void Reserve(std::size_t paths);
  /// Adds `path`.
  void Add(std::string_view path);
  /// Whether `path` is one of the paths.
  bool Contains(std::string_view path) const;
  /// How many different paths it holds.
  std::size_t size() const { return count_; }

 private:
  std::uint64_t Hash(std::string_view path) const;
  std::size_t Slot(std::uint64_t hash) const;
  void Place(std::uint64_t hash);
  void Grow(std::size_t slot_count);

  bool ignore_case_;
  std::size_t count_ = 0;
  /// Each slot's hash; 0 for none (a hash of 0 is stored as 1).
  std::vector<std::uint64_t> slots_;
};

/// What one work tree's index says is tracked. Immutable once made:
/// Tracks may be called from any number of threads at once.
class TrackedFiles {
 public:
  /// A work tree whose index can't be read or understood: every file
  /// counts as tracked, and `reason` (one line, naming the file) says why.
  static std::shared_ptr<const TrackedFiles> Unreadable(std::string reason);
  /// The paths and sparse folders of `content`, compared case-blind (ASCII
  /// letters only: git folds no more where core.ignorecase is set) when
  /// `ignore_case`.
  static std::shared_ptr<const TrackedFiles> FromIndex(GitIndexContent content, bool ignore_case);

  /// Whether the file `relative_path` (`folder/sub/name`, `/` between the
  /// names as listed, relative to the work tree's top, no leading `/`) is
  /// tracked: it has an entry in the index, or the index could not be read.
  bool Tracks(std::string_view relative_path) const;
  /// The sparse index's folder entry (`a/b/`) the file `relative_path`
  /// lies below, or empty: such an entry stands for a whole tree git does
  /// not list, so whether the file is tracked can't be told from the index.
  std::string_view SparseFolderOf(std::string_view relative_path) const;
  /// Whether the index was read; when not, unreadable_reason says why.
  bool readable() const { return unreadable_reason_.empty(); }
  /// Why the index could not be read; empty when it was.
  const std::string& unreadable_reason() const { return unreadable_reason_; }
  /// How many paths the index tracks (sparse folders not counted).
  std::size_t size() const { return paths_.size(); }

  /// Use Unreadable, FromIndex or LoadTrackedFiles.
  TrackedFiles(PathSet paths, PathSet sparse_folders, std::string reason);

 private:
  PathSet paths_;
  PathSet sparse_folders_;
  std::string unreadable_reason_;
};

/// What git makes of a folder as a repository directory (a git dir).
enum class GitDirVerdict {
  kRepository,  ///< a HEAD naming a branch or commit, `objects` and `refs`
  kNoHead,      ///< no HEAD: not meant as a repository
  kBroken,      ///< a HEAD without the rest of a repository (objects and refs, or a commondir)
  kUnknown,     ///< can't be told: something on the way can't be read, or a HEAD
                ///< beside objects and refs, or a commondir, that git can't use
                ///< (a damaged HEAD, a link to moved data, a common dir gone)
};

/// Where a repository keeps its files, as paths FileSystem::ReadWholeFile
/// takes from the folder it was judged through.
struct GitPlace {
  std::string git_dir;     ///< a work tree's own: HEAD, index
  std::string common_dir;  ///< shared by linked worktrees: config, objects, refs
  std::string head;        ///< what HEAD holds, line end dropped
};

/// Where git looks for every repository's objects and refs when the
/// environment names them, whatever folder it judges.
struct GitDirEnvironment {
  /// GIT_OBJECT_DIRECTORY is set: a repository needs no `objects` of its own.
  bool objects_elsewhere = false;
  /// GIT_COMMON_DIR as an absolute path; empty where unset. Every
  /// repository's `objects` and `refs` are looked for there.
  std::string common_dir;
};

/// Sets the environment every folder is judged in from now on (JudgeGitDir,
/// MayBeGitDir): once, before any is.
void SetGitDirEnvironment(GitDirEnvironment environment);

/// Whether a folder whose listing shows these names may be a repository
/// directory, worth judging: a HEAD file beside `objects` and `refs`, or a
/// `commondir`, or less where the environment names where they are; or
/// `objects` and `refs` alone, the shape of a common dir, which needs no
/// HEAD of its own (see JudgeGitDir).
bool MayBeGitDir(bool head, bool objects, bool refs, bool commondir);

/// Whether the folder at `path` (from `dir`) has the shape of what git keeps
/// in a repository's `refs` (the folders `heads` and `tags`, no links) or
/// `logs` (a `HEAD` file beside `refs/heads`), and no `.git`: such a folder a git dir
/// leads to as a link holds branches and reflogs under any names, and the
/// walk may meet it before the repository, or beside it in another thread.
bool HasRefsOrLogsShape(platform::FileSystem& fs, const platform::Dir& dir,
                        const std::string& path);

/// Whether `id` is a folder in which a repository judged so far (by
/// JudgeGitDir, from any thread) keeps its data away from its git dir: the
/// common dir its `commondir` or GIT_COMMON_DIR names, or where its
/// `objects`, `refs` or `logs` lead as links. Git reads and writes there as
/// in the git dir itself.
bool IsGitDataElsewhere(const platform::FolderId& id);
/// Whether the folder open in `dir`, or any above it, was noted so
/// (IsGitDataElsewhere) so far.
bool LiesInGitDataElsewhere(platform::FileSystem& fs, const platform::Dir& dir);
/// Whether the file `inode` on `device` is one a repository judged so far
/// reads and writes through a link from its git dir: its index, config,
/// packed refs or reflog of HEAD.
bool IsGitFileElsewhere(std::uint64_t device, std::uint64_t inode);
/// Whether any file is noted so (cheap: no lock).
bool AnyGitFileElsewhere();
/// How many folders and files the calling thread has noted for
/// IsGitDataElsewhere and IsGitFileElsewhere so far.
unsigned long GitDataNotedHere();
/// Whether any the calling thread noted after the first `since` lies below
/// one of `roots` (those swept so far) but not below `repository` (the
/// folder whose repository noted it, whose own tree the walk reaches only
/// after judging it), and is a folder or a file whose name `may_go`
/// accepts: a repository judged on the way down that notes such may lead
/// to what the walk reached first.
bool GitDataNotedHereWithin(unsigned long since, const std::vector<platform::FolderId>& roots,
                            const platform::FolderId& repository,
                            const std::function<bool(std::string_view)>& may_go);

/// Judges the folder at `path` (relative to `dir`, "" for `dir` itself, or
/// absolute) as git judges a repository directory: a HEAD that names a
/// ref or an object, and `objects` and `refs` in it or in the folder its
/// `commondir` names (or where GitDirEnvironment says). On kRepository `place` says where its files are;
/// otherwise `reason` says why not, naming files from `base` (the folder
/// the path starts at, "" for `dir`). A repository accepted notes where it
/// keeps data away from its git dir (IsGitDataElsewhere).
GitDirVerdict JudgeGitDir(platform::FileSystem& fs, const platform::Dir& dir,
                          const std::string& path, std::string_view base, GitPlace* place,
                          std::string* reason);

/// Judges the folder at `path` as git's data, as JudgeGitDir does, but a
/// folder with no HEAD that holds what git makes in a repository's
/// `objects` and `refs` (`pack`, `info`, `heads`, `tags`) is kRepository
/// too (`place` left as it was): git asks no HEAD of a common dir, and a
/// linked worktree's git dir elsewhere may keep its branches there. So is
/// one no repository that has the shape of a `refs` (`heads` and `tags`)
/// or a `logs` (a HEAD beside `refs/heads`), which a git dir may lead to
/// as a link. The same whichever the walk meets first. `by_shape`, where
/// given, says whether it is kRepository by such a shape alone.
GitDirVerdict JudgeGitData(platform::FileSystem& fs, const platform::Dir& dir,
                           const std::string& path, std::string_view base, GitPlace* place,
                           std::string* reason, bool* by_shape = nullptr);

/// Judges the `.git` of the folder open in `start`, shown as `start_path`,
/// and of each folder above it, only so that where their repositories keep
/// data away from their git dirs is noted (IsGitDataElsewhere): all a run
/// that takes no account of tracked files needs of discovery.
void NoteGitDataAround(platform::FileSystem& fs, const platform::Dir& start,
                       std::string_view start_path);

/// What a folder's entry `.git` makes of it.
enum class WorkTreeVerdict {
  kNone,      ///< no `.git`, or one git passes over (an empty folder, a link to nothing)
  kWorkTree,  ///< a work tree's top: `.git` is a repository, or a file naming one
  kUnknown,   ///< a `.git` meant as a repository (a HEAD, a `gitdir:` line) that
              ///< leads to none, or can't be read: what is tracked can't be told
};

/// Judges the `.git` of the folder `base` (a path from `dir`, "" for `dir`
/// itself) as git's discovery does; on kWorkTree `place` says where its
/// repository is, on kUnknown `reason` says why it can't be told.
WorkTreeVerdict JudgeDotGit(platform::FileSystem& fs, const platform::Dir& dir,
                            std::string_view base, GitPlace* place, std::string* reason);

/// Where a work tree's top is shown, so that the folder its repository's
/// core.worktree names can be read beside it: git lists the index's paths
/// from that folder, and they are kept read from either.
struct WorkTreeTop {
  /// The shown path of the folder the repository's paths are read from.
  std::string dir_path;
  /// The shown path of the top: the folder holding `.git`.
  std::string top_path;
};

/// Files the run may have reached before it found the repository that
/// tracks them: one whose core.worktree names a folder outside its own top,
/// found on the way down.
struct TrackedElsewhere {
  /// The shown path of the folder core.worktree names; empty for none.
  std::string folder;
  /// Why what git tracks there can't be told.
  std::string reason;
  /// The folder core.worktree names where it lies outside the top, found on
  /// the way down or not: its shown, physical path. What the repository
  /// tracks is known there for the roots the run cleans later. Empty for
  /// none.
  std::string outside;
  /// Asked of the loading: where the folder is no such one, leave the index
  /// unread (what is tracked is then not told).
  bool outside_only = false;
};

/// Loads what the git work tree whose top folder is open in `work_tree`
/// tracks: the folder whose listing holds the entry `.git`. Null when
/// JudgeDotGit finds no work tree there (git passes over that `.git`).
/// Otherwise never fails; a work tree whose repository can't be found,
/// read or held (out of memory), or whose index is missing while its HEAD
/// may name a commit, gives TrackedFiles::Unreadable, its reason naming
/// the file as reached from the top (`.git/index`). Where `top` is given
/// and the repository's core.worktree names another folder, each path is
/// also tracked as that folder's path seen from the top; where
/// `elsewhere` is given (a top found on the way down), paths of it outside
/// the top, which the run may have reached already, are told there.
std::shared_ptr<const TrackedFiles> LoadTrackedFiles(platform::FileSystem& fs,
                                                     const platform::Dir& work_tree,
                                                     const WorkTreeTop* top = nullptr,
                                                     TrackedElsewhere* elsewhere = nullptr);

/// A work tree a starting folder lies in.
struct EnclosingWorkTree {
  /// What the work tree tracks (TrackedFiles::Unreadable where that can't
  /// be told).
  std::shared_ptr<const TrackedFiles> tracked;
  /// The starting folder relative to the work tree's top, `/` between
  /// names, no `/` at either end; empty when it is the top.
  std::string relative_path;
  /// The top's path, shown as the start's path shows the start.
  std::string top_path;
};

/// How discovery is told to look.
struct GitDiscoverySettings {
  /// Whether work trees are looked for (the start's check needs only
  /// databases).
  bool work_trees = true;
  /// Whether only GitSurroundings::tracked_outside is wanted: the indexes
  /// of the other work trees are left unread.
  bool outside_only = false;
};

/// The repository the process's environment names (GIT_DIR and the
/// settings beside it), every path absolute and physical. What it tracks is
/// kept beside what discovery finds, never instead.
struct GitEnvironment {
  std::string git_dir;     ///< GIT_DIR
  std::string work_tree;   ///< GIT_WORK_TREE; empty when unset
  /// GIT_INDEX_FILE as given (a relative one is read from the work tree's
  /// top where the start lies in it, else from the start, as git reads
  /// it); empty when unset.
  std::string index_file;
  std::string common_dir;  ///< GIT_COMMON_DIR; empty when unset
  /// The folder the program was started in: the work tree's top when
  /// neither GIT_WORK_TREE nor core.worktree names one, as for git.
  std::string start;
  /// GIT_DISCOVERY_ACROSS_FILESYSTEM: git's discovery climbs past the
  /// start's file system (for the repository GIT_INDEX_FILE alone applies to).
  bool across_file_systems = false;
  /// GIT_CEILING_DIRECTORIES: folders git's discovery never climbs into.
  std::vector<std::string> ceilings;
};

/// A work tree named, not discovered: its top's shown path and what it
/// tracks. Also a folder a repository's core.worktree names outside its own
/// top, which discovery from there would never find.
struct NamedWorkTree {
  std::string top_path;
  std::shared_ptr<const TrackedFiles> tracked;
};

/// Loads what the repository `environment` names tracks (through `dir`, the
/// folder the program was started in), and where its work tree is
/// (core.worktree read from its config). With no GIT_DIR, GIT_INDEX_FILE
/// and GIT_WORK_TREE apply to the repository git's own discovery finds
/// from `dir`: its ceilings and file-system boundary count there, and its
/// core.worktree, where GIT_WORK_TREE names none, beside its own top. Never fails: one that is
/// no repository, or can't be read, tracks everything; `tracked` is null
/// when discovery finds none.
NamedWorkTree LoadNamedWorkTree(platform::FileSystem& fs, const platform::Dir& dir,
                                const GitEnvironment& environment);

/// The work tree the repository folder open in `dir`, at the absolute path
/// `git_dir`, names in its `core.worktree` (a dotfiles repository's home
/// folder), with what it tracks there; `tracked` null where it names none,
/// or none that git would find.
NamedWorkTree LoadCoreWorkTree(platform::FileSystem& fs, const platform::Dir& dir,
                               const std::string& git_dir);

/// What git knows around a starting folder.
struct GitSurroundings {
  /// How many levels above the start (0: the start itself) is the git
  /// database (a repository directory: a bare repository, a `.git` folder,
  /// a separate git dir) the start lies in; -1 for none.
  int database_levels = -1;
  /// Whether that folder is git's data by its shape alone (a common dir, a
  /// `refs` or `logs` a git dir leads to; see JudgeGitData), no repository.
  bool database_by_shape = false;
  /// Where that folder may be a git database but it can't be told (its
  /// HEAD can't be read), why; it counts as one. Empty otherwise.
  std::string database_doubt;
  /// The work trees the start lies in, innermost first: the one git's
  /// discovery finds, and the ones around it, whose tracked files are kept
  /// too. One whose `tracked` is unreadable keeps everything: a `.git`
  /// that can't be judged, or a folder above that can't be reached.
  std::vector<EnclosingWorkTree> work_trees;
  /// The folders those repositories take as their work trees
  /// (core.worktree) outside their own tops, with what each tracks there.
  std::vector<NamedWorkTree> tracked_outside;
};

/// Climbs from the folder open in `start`, whose shown path is
/// `start_path` (as FileSystem::CurrentDirectory gives it), to the top of
/// its file system (ClimbFromFolder): finds the git database it lies in and
/// the work trees around it as git's discovery does (each `.git`
/// judged by JudgeDotGit), loading what each tracks. Past git's ceilings
/// and file-system boundary too: a repository there tracks these files all
/// the same.
GitSurroundings DiscoverGitAround(platform::FileSystem& fs, const platform::Dir& start,
                                  std::string_view start_path,
                                  const GitDiscoverySettings& settings);

/// The settings of a git config file that matter here.
struct GitConfig {
  /// core.ignorecase, when the file sets it.
  bool ignore_case = false;
  /// Whether the file sets core.ignorecase, so that it overrides what the
  /// settings read before it said.
  bool ignore_case_set = false;
  /// extensions.objectformat, lowercased; empty when unset (SHA-1).
  std::string object_format;
  /// extensions.worktreeconfig: worktrees have settings of their own in
  /// `config.worktree`.
  bool worktree_config = false;
  /// core.worktree: where the work tree is, relative to the git dir.
  std::string work_tree;
  /// core.bare: the repository has no work tree (unless one is named).
  bool bare = false;
  /// core.repositoryformatversion; -1 when unset, as git takes it too.
  long format_version = -1;
};

/// Reads the file an include directive names (`path` as written) into
/// `included`; false, with the reason in `error`, where git would fail.
using GitConfigIncludes =
    std::function<bool(const std::string& path, GitConfig* included, std::string* error)>;

/// Reads the settings above from the config file `text` into `config`
/// (later settings win). False, with the reason in `error`, when one of
/// them has a value that is no boolean, or no number. With `includes`, the
/// files `[include]` and `[includeIf "…"]` name are read through it, in
/// their place, for core.ignorecase alone: git takes the repository's
/// format and work tree from the file itself. A condition is not weighed:
/// an included file whose setting would keep more files (true) is taken,
/// one whose setting would keep fewer is not. Without, they are not
/// followed. Nothing else is looked at.
bool ParseGitConfig(std::string_view text, GitConfig* config, std::string* error,
                    const GitConfigIncludes* includes = nullptr);

/// Whether `value` is a boolean as git reads one (true, yes, on, a number
/// not 0, and their opposites and ""); its meaning into `result`.
bool ParseGitBool(std::string_view value, bool* result);

/// The settings git reads around every repository's own: the system's and
/// the user's files, and those given in the environment (GIT_CONFIG_COUNT
/// and its pairs, `git -c`). Of them, core.ignorecase counts here: set in
/// `~/.gitconfig`, it makes a file that differs from a tracked one in case
/// alone the tracked one to git.
struct GitUserConfig {
  /// Where "~/" in an include path leads; empty where HOME is unset.
  std::string home;
  /// The files read before the repository's, in git's order: the system's,
  /// then the user's. A missing one is skipped, as git skips it.
  std::vector<std::string> files;
  /// The settings read after the repository's, in order: (key, value), a
  /// key with no value given as `has_value` false.
  struct Setting {
    std::string key;
    std::string value;
    bool has_value = true;
  };
  std::vector<Setting> settings;
  /// Whether the environment names settings this can't read as git would
  /// (a broken GIT_CONFIG_COUNT, a relative path to a config file): git
  /// fails, or reads what can't be told, so names are compared case-blind.
  bool unsure = false;
};

/// Reads `user`'s files (through `dir`, absolute paths) and settings for
/// every repository loaded after: once, before any is. A file that can't
/// be read or used, where git would fail on it, counts as setting
/// core.ignorecase: the side on which files are kept.
void SetGitUserConfig(platform::FileSystem& fs, const platform::Dir& dir, const GitUserConfig& user);

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_GIT_WORK_TREE_H_
