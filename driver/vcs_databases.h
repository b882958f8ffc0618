// Version-control databases as starting folders. The walk never enters a
// `.git`, `.hg`, `.svn` or `.bzr` folder it meets, but a run started in one
// (`buildsweep r/.git`, or in `r/.git/refs`) would clean it like any other
// folder, and a branch named `tmp` or `log` would go. So the starting
// folders are checked before anything is shown.
#ifndef BUILDSWEEP_DRIVER_VCS_DATABASES_H_
#define BUILDSWEEP_DRIVER_VCS_DATABASES_H_

#include <string>
#include <vector>

#include "engine/git_work_tree.h"
#include "platform/dir.h"
#include "platform/file_system.h"

namespace driver {

/// The version-control database that the folder open in `folder` is, or
/// lies inside, as a phrase naming it ("the git database '/r/.git'", "the
/// git repository '/srv/r.git'"); empty when it lies in none. `path` is the
/// folder's physical path, as a run started there shows it (empty when
/// unknown). A database is a folder named `.git`, `.hg`, `.svn` or `.bzr`
/// on that path (case ignored where the system ignores it), or a git
/// repository folder by git's own rule (engine::JudgeGitDir) at the folder
/// or above it, a bare one or a separate git dir included. `folder` may
/// be closed (the current folder could not be opened): then only the path
/// tells. A folder the system shows at another path too (a bind mount,
/// platform::FoldersShownTwice) lies in a database where that path does.
std::string DatabaseAround(platform::FileSystem& fs, const platform::Dir& folder,
                           const std::string& path);

/// Makes DatabaseAround take `paths` (physical; empty ones are no place),
/// the home trash and where it leads, for a trash too, as it takes every
/// folder named `.Trash` or `.Trash-` and digits: what was trashed stays
/// until the trash is emptied.
void NoteHomeTrash(std::vector<std::string> paths);

/// DatabaseAround for the process's current directory.
std::string DatabaseAroundCurrentFolder(platform::FileSystem& fs);

/// Reads the settings git reads around every repository's own (the
/// system's and the user's files, GIT_CONFIG_COUNT and `git -c`), for every
/// repository loaded after; see engine::SetGitUserConfig.
void ReadGitUserConfig(platform::FileSystem& fs);

/// Reads where the environment tells git to look for every repository's
/// objects and refs (GIT_OBJECT_DIRECTORY, GIT_COMMON_DIR): once, before
/// any folder is judged as git's; see engine::SetGitDirEnvironment.
void ReadGitDirEnvironment(platform::FileSystem& fs);

/// The work tree GIT_DIR names (with GIT_WORK_TREE, GIT_INDEX_FILE and
/// GIT_COMMON_DIR, relative to the current directory as git takes them);
/// or, with GIT_INDEX_FILE or GIT_WORK_TREE but no GIT_DIR, that of the
/// repository git's discovery finds there, heeding GIT_CEILING_DIRECTORIES
/// and GIT_DISCOVERY_ACROSS_FILESYSTEM; loaded through `fs`. None when none
/// of the three is set.
std::vector<engine::NamedWorkTree> WorkTreesNamedByEnvironment(platform::FileSystem& fs);

/// The index file GIT_INDEX_FILE names, git's own data wherever it lies:
/// its identity, as git would read it from the current directory (a
/// relative one from the work tree's top, which is there or above, so from
/// each of them). None when it is unset or names no file.
std::vector<platform::FolderId> IndexFilesNamedByEnvironment(platform::FileSystem& fs);

}  // namespace driver

#endif  // BUILDSWEEP_DRIVER_VCS_DATABASES_H_
