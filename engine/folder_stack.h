// The chain of open folders from the root down to the folder being worked on.
#ifndef BUILDSWEEP_ENGINE_FOLDER_STACK_H_
#define BUILDSWEEP_ENGINE_FOLDER_STACK_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace engine {

/// The folders from the root (level 0) down to the current one, each opened
/// relative to its parent's open handle, never through a link.
///
/// Only the root and the deepest `window` levels are kept open, so a tree of
/// any depth costs a bounded number of descriptors. A level that has to be
/// opened again on the way back up is reached through ".." and accepted only
/// if it is still the same folder (same identity); otherwise it is reached
/// again by name from the root, every step checked the same way. A folder
/// without a known identity can't be checked through "..", so it is always
/// reached by name. A level that can't be reached either way is lost:
/// nothing below it is touched.
class FolderStack {
 public:
  /// Levels kept open below the root by default: deeper than almost any real
  /// project, so climbing back up rarely has to reopen anything, yet far
  /// below any descriptor limit.
  static constexpr std::size_t kDefaultWindow = 64;

  /// A stack that opens folders through `fs`.
  explicit FolderStack(platform::FileSystem& fs, std::size_t window = kDefaultWindow);

  /// Makes the current directory level 0. False with the reason on failure.
  bool OpenRoot(platform::FolderInfo* info, std::string* error);
  /// The number of levels, root included (0 before OpenRoot).
  std::size_t size() const { return levels_.size(); }
  /// Opens `name` inside the top level and makes it the new top. False when
  /// the top is lost or `name` is not a real folder that can be opened.
  bool Push(std::string_view name, platform::FolderInfo* info);
  /// Leaves levels until `size` remain (at least the root).
  void PopTo(std::size_t size);
  /// The top folder, or null when it is lost.
  const platform::Dir* top() const;
  /// How many levels are open now (for tests of the descriptor bound).
  std::size_t open_levels() const;

 private:
  struct Level {
    platform::Dir dir;
    platform::FolderId id;
    std::size_t name_end;  // end of this level's name in names_
    bool lost = false;
  };

  std::string_view NameOf(std::size_t level) const;
  void CloseBeyondWindow();
  void ReopenUpTo(std::size_t shallowest, std::size_t new_top);
  bool ReopenByParent(std::size_t level);
  bool ReopenFromRoot(std::size_t level);

  platform::FileSystem& fs_;
  std::size_t window_;
  std::vector<Level> levels_;
  std::string names_;
  std::size_t first_open_ = 1;  // levels [first_open_, top] are open or lost
};

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_FOLDER_STACK_H_
