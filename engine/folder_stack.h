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
/// any depth costs a bounded number of descriptors. The window shrinks to fit
/// the handles the process has to spare, and again whenever opening a folder
/// finds none left. A level that has to be opened again on the way back up is
/// reached through ".." and accepted only if it is still the same folder
/// (same identity); otherwise it is reached again by name from the root,
/// every step checked the same way. A folder without a known identity can't
/// be checked through "..", so it is always reached by name. A level that
/// can't be reached either way is lost: nothing below it is touched.
class FolderStack {
 public:
  /// The most levels kept open below the root: deeper than almost any real
  /// project, so climbing back up rarely has to reopen anything, yet far
  /// below the usual descriptor limit.
  static constexpr std::size_t kDefaultWindow = 64;

  /// A stack that opens folders through `fs` and keeps at most `window`
  /// levels open below the root.
  explicit FolderStack(platform::FileSystem& fs, std::size_t window = kDefaultWindow);

  /// Makes the current directory level 0. False with the reason on failure.
  bool OpenRoot(platform::FolderInfo* info, std::string* error);
  /// The number of levels, root included (0 before OpenRoot).
  std::size_t size() const { return levels_.size(); }
  /// Opens `name` inside the top level and makes it the new top. kGone, with
  /// `error` empty, when `name` is no real folder or the top was lost because
  /// its folder went away; kFailed or kNoHandles, with the reason in `error`, when a folder
  /// is there but can't be reached.
  platform::OpenResult Push(std::string_view name, platform::FolderInfo* info, std::string* error);
  /// Leaves levels until `size` remain (at least the root).
  void PopTo(std::size_t size);
  /// The identity level `level` (< size()) had when it was pushed.
  const platform::FolderId& id_at(std::size_t level) const { return levels_[level].id; }
  /// The name level `level` (1 to size() - 1) was pushed with.
  std::string_view name_at(std::size_t level) const { return NameOf(level); }
  /// Closes every level, the root too, as before OpenRoot.
  void Clear();
  /// The top folder, or null when it is lost.
  const platform::Dir* top() const;
  /// How many levels are open now (for tests of the descriptor bound).
  std::size_t open_levels() const;
  /// How many levels below the root may be open now.
  std::size_t window() const { return window_; }

 private:
  struct Level {
    platform::Dir dir;
    platform::FolderId id;
    std::size_t name_end;  // end of this level's name in names_
    bool lost = false;
    std::string lost_reason;  // why a lost level can't be reached; empty when it went away
  };

  std::string_view NameOf(std::size_t level) const;
  platform::OpenResult OpenChild(const platform::Dir& parent, std::size_t keep_open,
                                 std::string_view name, platform::Dir* dir,
                                 platform::FolderInfo* info, std::string* error);
  bool CloseShallowestOpenLevel(std::size_t keep_open);
  void CloseBeyondWindow();
  void ReopenUpTo(std::size_t shallowest, std::size_t new_top);
  bool ReopenByParent(std::size_t level);
  bool ReopenFromRoot(std::size_t level);

  platform::FileSystem& fs_;
  std::size_t max_window_;
  std::size_t window_;
  std::vector<Level> levels_;
  std::string names_;
  std::size_t first_open_ = 1;  // levels [first_open_, top] are open or lost
};

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_FOLDER_STACK_H_
