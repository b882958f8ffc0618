// The chain of open folders from the root down to the folder being worked on.
#ifndef BUILDSWEEP_ENGINE_FOLDER_STACK_H_
#define BUILDSWEEP_ENGINE_FOLDER_STACK_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/handle_budget.h"
#include "platform/file_system.h"

namespace engine {

struct WorkTree;

/// A listed folder whose subfolders are still to be visited, as every
/// cleaning thread may need it: how to reach it again and what it was. Made
/// once, never changed, shared by the threads; it keeps its ancestors alive.
struct FolderNode {
  FolderNode() = default;
  FolderNode(const FolderNode&) = delete;
  FolderNode& operator=(const FolderNode&) = delete;
  /// Lets go of the ancestors one at a time: in a deep tree, destroying
  /// each from its child's destructor would go as deep.
  ~FolderNode();

  /// The folder it lies in; null for the root.
  std::shared_ptr<const FolderNode> parent;
  /// Its bare name (empty for the root).
  std::string name;
  /// Its identity when it was listed.
  platform::FolderId id;
  /// Levels below the root (0 for the root).
  std::size_t depth = 0;
  /// The git work tree its files are judged by; null outside any.
  std::shared_ptr<const WorkTree> work_tree;
};

/// The folders from the root (level 0) down to the current one, each opened
/// relative to its parent's open handle, never through a link, with the
/// displayed path of each.
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
///
/// Handles are shared: a level's handle may also be held by whoever waits to
/// open its subfolders, and the stack may be moved onto such a folder
/// (MoveTo), taking over that handle, or reaching it by name when none is
/// held.
class FolderStack {
 public:
  /// A stack that opens folders through `fs` and keeps at most `window`
  /// levels open below the root.
  explicit FolderStack(platform::FileSystem& fs, std::size_t window = HandleBudget::kMostWindow);

  /// Makes the current directory level 0, shown as `path`. The window
  /// shrinks to what the spare handles allow. False with the reason on
  /// failure.
  bool OpenRoot(platform::FolderInfo* info, std::string* error, std::string_view path = "");
  /// Makes the open folder `root`, whose identity is `id` and whose node is
  /// `node`, level 0, shown as `path`.
  void StartAt(std::shared_ptr<const platform::Dir> root, const platform::FolderId& id,
               std::shared_ptr<const FolderNode> node, std::string_view path);
  /// Out of handles, the stack first gives up its own open levels; then it
  /// calls `release` (which may let go of handles held elsewhere and answers
  /// whether it did) and tries once more.
  void OnHandlesExhausted(std::function<bool()> release) { release_ = std::move(release); }

  /// The number of levels, root included (0 before OpenRoot).
  std::size_t size() const { return levels_.size(); }
  /// Opens `name` inside the top level and makes it the new top. kGone, with
  /// `error` empty, when `name` is no real folder or the top was lost because
  /// its folder went away; kFailed or kNoHandles, with the reason in `error`,
  /// when a folder is there but can't be reached.
  platform::OpenResult Push(std::string_view name, platform::FolderInfo* info, std::string* error);
  /// Whether the top's identity is that of a level above it: a folder that
  /// loops back to one of its ancestors (a bind mount). An unknown identity
  /// never does. O(1) whatever the depth.
  bool TopRepeatsAnAncestor() const { return top_repeats_; }
  /// Leaves levels until `size` remain (at least the root).
  void PopTo(std::size_t size);
  /// Makes `node`'s folder the top: the levels it shares with the stack stay,
  /// the rest are left and `node`'s ancestors below them taken on. Its handle
  /// is `held` when given; otherwise it is reached as climbing back up or by
  /// name, each step checked against the identity its node recorded. False
  /// when it can't be reached: `error` then says why, or is empty when it
  /// went away or was swapped.
  bool MoveTo(const std::shared_ptr<const FolderNode>& node,
              std::shared_ptr<const platform::Dir> held, std::string* error);
  /// Records `node` as the top's (made by the caller for a folder whose
  /// subfolders are to be visited).
  void SetTopNode(std::shared_ptr<const FolderNode> node) { levels_.back().node = std::move(node); }
  /// The name level `level` (1 to size() - 1) was pushed with.
  std::string_view name_at(std::size_t level) const;
  /// The displayed path of the top.
  const std::string& path() const { return path_; }
  /// The displayed path `name` would have inside the top.
  std::string PathInTop(std::string_view name) const;
  /// Where a subfolder's name begins in its displayed path below the top:
  /// after the top's path and the separator, which a root such as "/"
  /// already ends in.
  std::size_t ChildNameOffset() const;
  /// Closes every level, the root too, as before OpenRoot.
  void Clear();
  /// The top folder, or null when it is lost.
  const platform::Dir* top() const;
  /// The top folder's handle, to share; null when it is lost.
  std::shared_ptr<const platform::Dir> shared_top();
  /// How many levels are open now (for tests of the descriptor bound).
  std::size_t open_levels() const;
  /// How many levels below the root may be open now.
  std::size_t window() const { return window_; }

 private:
  struct Level {
    // Its handle: its own, or shared once someone else holds it too.
    platform::Dir own;
    std::shared_ptr<const platform::Dir> shared;
    platform::FolderId id;
    std::size_t name_begin;  // this level's name in path_
    std::size_t name_end;    // and the end of its path
    bool lost = false;
    bool counted = false;     // its id is in ancestors_
    std::string lost_reason;  // why a lost level can't be reached; empty when it went away
    std::shared_ptr<const FolderNode> node;

    const platform::Dir* dir() const {
      if (shared != nullptr) return shared.get();
      return own.is_open() ? &own : nullptr;
    }
    void Close() {
      own.Close();
      shared.reset();
    }
  };
  // The known identities on the stack: open addressing, so that a push and a
  // pop cost no allocation once it has grown to the deepest chain.
  class IdSet {
   public:
    /// Adds `id`; false when it is there already.
    bool Insert(const platform::FolderId& id);
    /// Removes `id`, which is there.
    void Erase(const platform::FolderId& id);
    void Clear();

   private:
    std::size_t SlotOf(const platform::FolderId& id) const;
    void Grow();
    std::vector<platform::FolderId> slots_;  // inode 0: empty (no known id has it)
    std::size_t count_ = 0;
  };

  void AddLevel(std::string_view name, const platform::FolderId& id, platform::Dir dir,
                std::shared_ptr<const FolderNode> node);
  void DropLevelsFrom(std::size_t size);
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
  std::string path_;
  std::size_t first_open_ = 1;  // levels [first_open_, top] are open or lost
  bool top_repeats_ = false;
  // The known identities of the levels, for the loop check.
  IdSet ancestors_;
  std::function<bool()> release_;
  std::vector<const std::shared_ptr<const FolderNode>*> climb_;  // scratch for MoveTo
};

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_FOLDER_STACK_H_
