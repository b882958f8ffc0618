// The calls --trash makes besides the walk's own: finding and making the
// trash folders of a file system, writing a trash entry's information file
// and moving a file into the trash. Kept apart from FileSystem, which a
// plain run uses alone, so that a run without --trash touches none of it.
#ifndef BUILDSWEEP_PLATFORM_TRASH_H_
#define BUILDSWEEP_PLATFORM_TRASH_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dir.h"
#include "platform/file_system.h"

namespace platform {

/// The longest path a trashed file can have and still be put back: the
/// desktop's tools restore it by its whole path, which the system takes up
/// to PATH_MAX bytes (4,096 on Linux) with its end.
constexpr std::size_t kLongestRestorablePath = 4095;

/// Outcome of one step of trashing a file.
enum class TrashStep {
  kDone,      ///< done
  kExists,    ///< the name is taken where the step would make it; nothing changed
  kMissing,   ///< what the step works on is not there (any more)
  kIsFolder,  ///< what was moved is a folder, and has been put back
  /// what was moved is a folder that could not be put back: it stays in
  /// the trash under the new name; the reason says why
  kFolderLeft,
  kFailed,    ///< not done; the reason says why
};

/// What a shared trash folder ($topdir/.Trash) of a file system is.
enum class SharedTrash {
  kUsable,   ///< a real folder with the sticky bit: users keep their trash in it
  kAbsent,   ///< there is none
  kRefused,  ///< there is one, but it may not be used; the reason says why
  /// the process had no descriptor to spare to look at it (the reason
  /// says so): whether there is one is not known
  kNoHandles,
};

/// The system calls behind --trash. Several cleaning threads call it at
/// once.
class TrashSystem {
 public:
  virtual ~TrashSystem() = default;

  /// Why this system can't trash files as the run does it; empty where it
  /// can.
  virtual std::string Unsupported() = 0;

  /// Opens the folder at the absolute `path`, links followed (a home folder
  /// may well be one); when `make`, first makes it and every missing folder
  /// above it, each new one with room for its owner alone, and fails with
  /// the first one's reason that can't be. Not to be made, it is kGone when
  /// it is missing and making it would work as far as can be seen without
  /// trying; kFailed with the reason making or opening it would fail for
  /// otherwise (a file or a link to nothing in its place, a parent this
  /// process may not write in); kNoHandles where it had no descriptor to
  /// spare. The identities of the folders it made go to `made`.
  virtual OpenResult OpenFolderAt(std::string_view path, bool make, Dir* dir, FolderInfo* info,
                                  std::vector<FolderId>* made, std::string* error) = 0;

  /// The mount the open folder `dir` is reached through, as a number the
  /// system gives each mount; 0 where it can't tell. Two mounts of one file
  /// system (a bind mount) share a device but not a mount, and a rename
  /// can't cross from one to the other.
  virtual std::uint64_t MountOf(const Dir& dir) = 0;

  /// The identity of the nearest folder that exists on the way to the
  /// absolute `path`, `path` itself included: where a folder at `path`
  /// would be made; the mount it is reached through goes to `mount` (0
  /// where the system can't tell, as MountOf). Unknown when not even "/"
  /// can be looked at.
  virtual FolderId NearestExistingFolder(std::string_view path, std::uint64_t* mount) = 0;

  /// Opens, in `top`, the topmost folder of the file system (mount) that
  /// the open folder `dir` lies on, climbing through `..` while the device
  /// stays the same, and says in `levels` how many levels up it is. No
  /// folder on the way, the top included, need be listable: `top` serves to
  /// open, make and check what lies in it.
  /// kNoHandles (with the reason) when the process has no descriptor to
  /// spare for it; kFailed otherwise.
  virtual OpenResult OpenMountTop(const Dir& dir, Dir* top, FolderInfo* info,
                                  std::size_t* levels, std::string* error) = 0;

  /// Opens the folder `name` in `top` into `shared` if it is a shared trash:
  /// a real folder, not a link, with the sticky bit (checked on the open
  /// folder itself, so nothing can be put in its place in between). It need
  /// only be passed through, not listed: `shared` serves to open, make and
  /// check what lies in it.
  virtual SharedTrash OpenSharedTrash(const Dir& top, std::string_view name, Dir* shared,
                                      std::string* reason) = 0;

  /// Opens the folder `name` in `parent` without following a link (unless
  /// `follow_link`: the home trash may be one, as desktops take it); when
  /// `make` and it is missing, makes it first, for its owner alone. kOpened
  /// only when it is a folder owned by the user `user`; kFailed with the
  /// reason otherwise (kNoHandles when the process has no descriptor to
  /// spare); kGone when it is missing and not to be made, or could not be
  /// made (then with the reason).
  virtual OpenResult OpenPrivateFolder(const Dir& parent, std::string_view name, bool make,
                                       bool follow_link, std::uint64_t user, Dir* dir,
                                       FolderInfo* info, std::string* error) = 0;

  /// Whether this process could make entries in `dir` (and remove them),
  /// as far as can be seen without trying; the reason when not.
  virtual bool MayWriteIn(const Dir& dir, std::string* reason) = 0;

  /// Whether the entry `name` may leave `dir` (be removed or moved out),
  /// as far as can be seen without trying, as FileSystem::ExamineFile
  /// judges it; the reason when not.
  virtual bool MayLeave(const Dir& dir, std::string_view name, std::string* reason) = 0;

  /// Makes the file `name` in `dir`, only if no entry of that name is
  /// there (kExists then), for its owner alone, and writes `content` into
  /// it whole. A file that could not be written whole is removed again
  /// (kFailed).
  virtual TrashStep CreateExclusive(const Dir& dir, std::string_view name,
                                    std::string_view content, std::string* error) = 0;

  /// Removes the file `name` from `dir` (one CreateExclusive made).
  virtual void RemoveCreated(const Dir& dir, std::string_view name) = 0;

  /// Moves the entry `name` of `from` to the name `to_name` in `to`, by one
  /// rename, never over an existing entry (kExists) and never by a copy (a
  /// move across file systems is kFailed). An entry that turns out to be a
  /// folder is moved back and kIsFolder (kFolderLeft where it can't be);
  /// folders are never trashed. kMissing only where the entry is gone: a
  /// `to` removed meanwhile is kFailed.
  virtual TrashStep MoveNoReplace(const Dir& from, std::string_view name, const Dir& to,
                                  std::string_view to_name, std::string* error) = 0;

  /// Holds up to `count` descriptors in reserve (at most half of those the
  /// process can spare), so that the walk, which takes what the process can
  /// spare, leaves them for a trash found later. CreateExclusive borrows
  /// one where it finds no descriptor free, and puts it back after.
  virtual void ReserveHandles(std::size_t count) = 0;

  /// Gives back every descriptor ReserveHandles holds.
  virtual void ReleaseHandles() = 0;

  /// The local time now as YYYY-MM-DDThh:mm:ss, into `out` (cleared first).
  virtual void LocalTimeNow(std::string* out) = 0;
};

/// The operating system's own trash calls.
TrashSystem& NativeTrashSystem();

}  // namespace platform

#endif  // BUILDSWEEP_PLATFORM_TRASH_H_
