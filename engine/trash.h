// --trash: by-products moved into the desktop's trash, where any file
// manager restores them, instead of being deleted.
//
// A file goes to the trash of its own file system, so that one rename moves
// it and it is never copied: the home trash ($XDG_DATA_HOME/Trash) for the
// file system the home trash lies on; elsewhere $topdir/.Trash/$uid when the
// mount's top holds a shared .Trash (a real folder with the sticky bit),
// else $topdir/.Trash-$uid, made for the user alone. An entry's information
// file (info/NAME.trashinfo: where the file was and when it was trashed) is
// written whole, under a name no other entry has, before the file is moved
// to files/NAME; if the move fails, it goes again. Where no trash can be had
// on the file's file system, the file stays where it is.
#ifndef BUILDSWEEP_ENGINE_TRASH_H_
#define BUILDSWEEP_ENGINE_TRASH_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/dir.h"
#include "platform/file_system.h"
#include "platform/trash.h"

namespace engine {

/// What the driver tells the trash about the user.
struct TrashSettings {
  /// The folder that holds the home trash ($XDG_DATA_HOME, or
  /// $HOME/.local/share), absolute, links resolved where it exists; empty
  /// when it can't be told (every file system then has its own trash).
  std::string data_home;
  /// Where the home trash leads when it is a link, links resolved; empty
  /// when it is none.
  std::string home_trash_target;
  /// The user whose trash folders are used ($uid).
  std::uint64_t user = 0;
  /// Whether nothing is to be made or moved: only where each file would go
  /// is told.
  bool dry_run = false;
};

/// The home trash's place: `data_home` and the trash's name in it.
std::string HomeTrashPath(const TrashSettings& settings);

/// The trash folder (.Trash, .Trash-1000) the folder at `path` lies in, by
/// the names on its path; empty where it lies in none.
std::string_view TrashFolderAround(std::string_view path);

/// The name of a home trash folder (`$XDG_DATA_HOME/Trash`).
inline constexpr std::string_view kHomeTrashName = "Trash";

/// Whether the folder at `path` (a name in `dir`, or an absolute path) has
/// the shape of a home trash: named `Trash`, holding `files` and `info`.
/// Another user's, or this one's under another XDG_DATA_HOME, holds what
/// was trashed to be kept, each file beside the entry that restores it.
bool IsHomeTrashAt(platform::FileSystem& fs, const platform::Dir& dir, std::string_view path);

/// The folder of that shape the folder at the absolute `path` lies in;
/// empty where it lies in none.
std::string_view HomeTrashAround(platform::FileSystem& fs, const platform::Dir& dir,
                                 std::string_view path);

/// Appends `path` to `out` as a trash information file's Path holds it:
/// every byte but the letters, digits, `-_.~` and `/` as %XX.
void AppendPercentEncoded(std::string* out, std::string_view path);

/// The trash folders of one run. Any number of cleaning threads trash
/// through it at once.
class Trash {
 public:
  /// Where trashing one file went.
  struct Placed {
    /// The trash folder (holding files/ and info/), as shown.
    std::string trash;
    /// The trashed file's path in it, files/NAME; empty in a dry run,
    /// where no name is taken.
    std::string entry;
  };

  /// A trash that works through `system`; holds a few descriptors in
  /// reserve for the trash folders until they are opened.
  Trash(platform::TrashSystem& system, TrashSettings settings);
  ~Trash();
  Trash(const Trash&) = delete;
  Trash& operator=(const Trash&) = delete;

  /// Opens the home trash, making it (and files/, info/) in a real run, so
  /// that its identity is known before the walk could come across it.
  void Prepare();
  /// The folders Prepare made on the way to the home trash, which the tree
  /// as it stood did not have: the walk passes them over.
  const std::vector<platform::FolderId>& made_folders() const { return made_folders_; }

  /// The most bytes the paths Put places a file of a folder whose path has
  /// `folder_bytes` bytes can have (without the file's name).
  std::size_t MostPathBytes(std::size_t folder_bytes) const;

  /// Moves the file `name` out of `dir` (on `device`, shown as
  /// `folder_path`) into its file system's trash: kRemoved with where it
  /// went in `placed`; kMissing when it went away meanwhile, kIsFolder when
  /// it is a folder now (left where it is); kFailed with the reason in
  /// `error`, the file left where it was. In a dry run nothing is made or
  /// moved: kRemoved says the trash that would take it.
  platform::RemoveResult Put(const platform::Dir& dir, std::uint64_t device,
                             std::string_view folder_path, std::string_view name, Placed* placed,
                             std::string* error);

 private:
  struct Can;

  void OpenHomeTrash();
  Can* CanFor(const platform::Dir& dir, std::uint64_t device, std::string_view folder_path);
  void OpenMountTrash(const platform::Dir& dir, std::string_view folder_path, Can* can);
  bool OpenTrashIn(const platform::Dir& parent, std::string_view name, Can* can,
                   std::string* reason, platform::FolderId* home_id = nullptr);
  void NextName(Can* can, std::string_view base, bool taken, std::string* name);

  platform::TrashSystem& system_;
  const TrashSettings settings_;
  std::mutex mutex_;
  std::unique_ptr<Can> home_;
  std::uint64_t home_device_ = 0;
  bool home_device_known_ = false;
  std::uint64_t home_mount_ = 0;  // 0: not known
  std::vector<platform::FolderId> made_folders_;  // by Prepare, on the way to it
  // By device, one for each mount of it met (a bind mount has a top of its
  // own, and a rename can't cross from one mount to another).
  std::map<std::uint64_t, std::vector<std::unique_ptr<Can>>> mounts_;
  std::vector<std::unique_ptr<Can>> given_up_;  // tried when descriptors ran out
};

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_TRASH_H_
