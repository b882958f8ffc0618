#include "engine/folder_stack.h"

#include <algorithm>
#include <utility>

namespace engine {

FolderNode::~FolderNode() {
  // While this is the last owner of the node above, its own parent is taken
  // before it goes, so it has none to let go of in turn. (No per-thread
  // state: a thread's first use of one would need memory that may be gone.)
  std::shared_ptr<const FolderNode> up = std::move(parent);
  while (up != nullptr && up.use_count() == 1) {
    // Made as a FolderNode that is not const; no other thread can reach it.
    std::shared_ptr<const FolderNode> next = std::move(const_cast<FolderNode&>(*up).parent);
    up = std::move(next);
  }
}

FolderStack::FolderStack(platform::FileSystem& fs, std::size_t window)
    : fs_(fs), max_window_(window < 1 ? 1 : window), window_(max_window_) {}

bool FolderStack::OpenRoot(platform::FolderInfo* info, std::string* error, std::string_view path) {
  Clear();
  platform::Dir dir;
  if (!fs_.OpenCurrentDirectory(&dir, info, error)) return false;
  path_.assign(path);
  AddLevel("", info->id, std::move(dir), nullptr);
  // Under a low descriptor limit, a window that fits from the start saves
  // running into the limit over and over.
  const std::size_t spare = platform::SpareFolderHandles();
  window_ = HandleBudget::WindowWithin(spare, max_window_);
  return true;
}

void FolderStack::StartAt(std::shared_ptr<const platform::Dir> root, const platform::FolderId& id,
                          std::shared_ptr<const FolderNode> node, std::string_view path) {
  Clear();
  path_.assign(path);
  AddLevel("", id, platform::Dir(), std::move(node));
  levels_.back().shared = std::move(root);
  window_ = max_window_;
}

void FolderStack::Clear() {
  levels_.clear();
  path_.clear();
  ancestors_.Clear();
  first_open_ = 1;
  top_repeats_ = false;
}

std::string_view FolderStack::name_at(std::size_t level) const {
  const Level& at = levels_[level];
  return std::string_view(path_).substr(at.name_begin, at.name_end - at.name_begin);
}

std::string FolderStack::PathInTop(std::string_view name) const {
  std::string path = path_;
  platform::AppendPathComponent(&path, name);
  return path;
}

std::size_t FolderStack::ChildNameOffset() const { return PathInTop("").size(); }

const platform::Dir* FolderStack::top() const {
  if (levels_.empty() || levels_.back().lost) return nullptr;
  return levels_.back().dir();
}

std::shared_ptr<const platform::Dir> FolderStack::shared_top() {
  Level& level = levels_.back();
  if (level.lost) return nullptr;
  // Shared only when someone else holds it too: most folders never are.
  if (level.shared == nullptr && level.own.is_open()) {
    level.shared = std::make_shared<const platform::Dir>(std::move(level.own));
  }
  return level.shared;
}

std::size_t FolderStack::open_levels() const {
  std::size_t open = 0;
  for (const Level& level : levels_) open += level.dir() != nullptr ? 1u : 0u;
  return open;
}

void FolderStack::AddLevel(std::string_view name, const platform::FolderId& id, platform::Dir dir,
                           std::shared_ptr<const FolderNode> node) {
  Level level;
  if (!levels_.empty()) platform::AppendPathComponent(&path_, name);
  level.name_begin = path_.size() - (levels_.empty() ? 0 : name.size());
  level.name_end = path_.size();
  level.id = id;
  level.own = std::move(dir);
  level.node = std::move(node);
  // A set of the levels' identities answers "is it an ancestor?" at once,
  // however deep the stack: an ancestor's identity is already in it.
  top_repeats_ = false;
  if (id.IsKnown()) {
    level.counted = ancestors_.Insert(id);
    top_repeats_ = !level.counted;
  }
  levels_.push_back(std::move(level));
}

void FolderStack::DropLevelsFrom(std::size_t size) {
  for (std::size_t level = size; level < levels_.size(); ++level) {
    if (levels_[level].counted) ancestors_.Erase(levels_[level].id);
  }
  levels_.resize(size);
  path_.resize(levels_.back().name_end);
  top_repeats_ = false;
  if (first_open_ > size) first_open_ = size;
}

platform::OpenResult FolderStack::Push(std::string_view name, platform::FolderInfo* info,
                                       std::string* error) {
  error->clear();  // a folder that is simply gone has no reason to show
  if (levels_.empty()) return platform::OpenResult::kGone;
  const Level& parent = levels_.back();
  if (parent.lost) {
    if (parent.lost_reason.empty()) return platform::OpenResult::kGone;
    *error = parent.lost_reason;
    return platform::OpenResult::kFailed;
  }
  platform::Dir dir;
  const platform::OpenResult opened =
      OpenChild(*parent.dir(), levels_.size() - 1, name, &dir, info, error);
  if (opened != platform::OpenResult::kOpened) return opened;
  AddLevel(name, info->id, std::move(dir), nullptr);
  CloseBeyondWindow();
  return opened;
}

// Opens `name` in `parent`. Out of handles, it gives up open levels from the
// shallowest on (never `keep_open`, the parent), then the handles held
// elsewhere, and tries again: a folder is never passed over because the walk
// itself held the handles it needed.
platform::OpenResult FolderStack::OpenChild(const platform::Dir& parent, std::size_t keep_open,
                                            std::string_view name, platform::Dir* dir,
                                            platform::FolderInfo* info, std::string* error) {
  bool released = false;
  for (;;) {
    // Each try starts afresh, so a reason from running out of handles never
    // outlives the retry that found the folder gone.
    error->clear();
    const platform::OpenResult opened = fs_.OpenChild(parent, name, dir, info, error);
    if (opened == platform::OpenResult::kGone) error->clear();
    if (opened != platform::OpenResult::kNoHandles) return opened;
    if (CloseShallowestOpenLevel(keep_open)) continue;
    // The last resort, tried once: handles other threads or waiting
    // folders hold may be free by now, or can be let go of.
    if (released) return opened;
    released = true;
    if (release_) release_();
  }
}

bool FolderStack::CloseShallowestOpenLevel(std::size_t keep_open) {
  if (first_open_ >= keep_open) return false;
  levels_[first_open_++].Close();
  // What is open now is all that fits: keep no more from here on.
  window_ = std::max<std::size_t>(1, levels_.size() - first_open_);
  return true;
}

void FolderStack::CloseBeyondWindow() {
  const std::size_t top_level = levels_.size() - 1;
  while (first_open_ + window_ <= top_level) levels_[first_open_++].Close();
}

void FolderStack::PopTo(std::size_t size) {
  if (size < 1) size = 1;  // the root stays
  if (size >= levels_.size()) return;
  const std::size_t new_top = size - 1;
  // The levels left behind are closed first, all but the shallowest open
  // one, which reopening climbs from: a long climb then never holds more
  // than the window.
  for (std::size_t level = std::max(first_open_, new_top) + 1; level < levels_.size(); ++level) {
    levels_[level].Close();
  }
  const std::size_t shallowest = new_top >= window_ ? new_top - window_ + 1 : 1;
  // Reopen while the deeper levels are still there to climb from.
  if (new_top >= 1 && first_open_ > shallowest) ReopenUpTo(shallowest, new_top);
  DropLevelsFrom(size);
}

void FolderStack::ReopenUpTo(std::size_t shallowest, std::size_t new_top) {
  for (std::size_t level = first_open_ - 1; level >= shallowest; --level) {
    // Tried again after an earlier failure (out of handles, say), a level
    // reached now is no longer lost.
    levels_[level].lost = !ReopenByParent(level) && !ReopenFromRoot(level);
    first_open_ = level;
    // A level above the new top was only a stepping stone: close it now so
    // that climbing a deep chain never holds more than the window.
    if (level + 1 > new_top) levels_[level + 1].Close();
  }
}

bool FolderStack::ReopenByParent(std::size_t level) {
  const Level& below = levels_[level + 1];
  if (below.lost || below.dir() == nullptr) return false;
  platform::Dir dir;
  platform::FolderInfo info;
  // ".." leads wherever the folder now stands: only a known, equal id proves
  // it is still the parent we left.
  if (!fs_.OpenParent(*below.dir(), &dir, &info) || !info.id.IsKnown() ||
      info.id != levels_[level].id) {
    return false;
  }
  levels_[level].own = std::move(dir);
  return true;
}

bool FolderStack::ReopenFromRoot(std::size_t level) {
  // Every step is checked, so a folder moved or swapped since it was first
  // opened is never mistaken for the one we left.
  platform::Dir current;
  const platform::Dir* at = levels_[0].dir();
  for (std::size_t step = 1; step <= level; ++step) {
    platform::Dir next;
    platform::FolderInfo info;
    std::string error;
    // Level 0 is kept open: no level of this stack is given up on the way.
    const platform::OpenResult opened = OpenChild(*at, 0, name_at(step), &next, &info, &error);
    if (opened != platform::OpenResult::kOpened ||
        platform::KnownToDiffer(info.id, levels_[step].id)) {
      // A folder gone or swapped is no failure; one that is there but out
      // of reach is, and says why when something below it is wanted.
      const bool failed = opened == platform::OpenResult::kFailed ||
                          opened == platform::OpenResult::kNoHandles;
      levels_[level].lost_reason = failed ? error : std::string();
      return false;
    }
    current = std::move(next);
    at = &current;
  }
  levels_[level].own = std::move(current);
  return true;
}

bool FolderStack::MoveTo(const std::shared_ptr<const FolderNode>& node,
                         std::shared_ptr<const platform::Dir> held, std::string* error) {
  error->clear();
  // The nodes from `node` up to the deepest one this stack already stands
  // on, each as the shared pointer that keeps it alive.
  std::vector<const std::shared_ptr<const FolderNode>*>& climb = climb_;
  climb.clear();
  const std::shared_ptr<const FolderNode>* at = &node;
  while (!((*at)->depth < levels_.size() && levels_[(*at)->depth].node == *at)) {
    climb.push_back(at);
    at = &(*at)->parent;
    if (*at == nullptr) return false;  // not of this stack's tree
  }
  const std::size_t kept = (*at)->depth + 1;
  if (held != nullptr) {
    // Nothing to climb or reach: the levels in between are taken on closed,
    // and reopened only if the stack ever climbs back to them.
    DropLevelsFrom(kept);
    for (auto step = climb.rbegin(); step != climb.rend(); ++step) {
      AddLevel((**step)->name, (**step)->id, platform::Dir(), **step);
    }
    Level& top_level = levels_.back();
    const std::size_t top_index = levels_.size() - 1;
    if (top_index >= 1 && (top_level.dir() == nullptr || top_level.lost)) {
      // The open levels must stay one unbroken run up to the top, or the
      // window would never reach those below the gap to close them.
      for (std::size_t level = first_open_; level < top_index; ++level) levels_[level].Close();
      top_level.Close();
      top_level.shared = std::move(held);
      top_level.lost = false;
      first_open_ = top_index;
    }
    return true;
  }
  PopTo(kept);
  for (auto step = climb.rbegin(); step != climb.rend(); ++step) {
    const FolderNode& wanted = ***step;
    const Level& parent = levels_.back();
    if (parent.lost) {
      *error = parent.lost_reason;
      return false;
    }
    platform::Dir dir;
    platform::FolderInfo info;
    const platform::OpenResult opened =
        OpenChild(*parent.dir(), levels_.size() - 1, wanted.name, &dir, &info, error);
    if (opened != platform::OpenResult::kOpened) return false;
    if (platform::KnownToDiffer(info.id, wanted.id)) {
      error->clear();  // swapped since it was listed: not the folder we left
      return false;
    }
    AddLevel(wanted.name, wanted.id, std::move(dir), **step);
    CloseBeyondWindow();
  }
  if (levels_.back().lost) {
    *error = levels_.back().lost_reason;
    return false;
  }
  return true;
}

bool FolderStack::IdSet::Insert(const platform::FolderId& id) {
  if ((count_ + 1) * 2 > slots_.size()) Grow();
  std::size_t slot = SlotOf(id);
  const std::size_t mask = slots_.size() - 1;
  while (slots_[slot].inode != 0) {
    if (slots_[slot] == id) return false;
    slot = (slot + 1) & mask;
  }
  slots_[slot] = id;
  ++count_;
  return true;
}

void FolderStack::IdSet::Erase(const platform::FolderId& id) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = SlotOf(id);
  while (!(slots_[slot] == id)) slot = (slot + 1) & mask;
  // Shift back the entries after it that would no longer be found past the
  // hole, so no marker of removed entries is needed.
  std::size_t hole = slot;
  for (std::size_t next = (hole + 1) & mask; slots_[next].inode != 0; next = (next + 1) & mask) {
    const std::size_t home = SlotOf(slots_[next]);
    // Whether `home` lies cyclically in (hole, next]: then it stays.
    const bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (stays) continue;
    slots_[hole] = slots_[next];
    hole = next;
  }
  slots_[hole] = platform::FolderId();
  --count_;
}

void FolderStack::IdSet::Clear() {
  std::fill(slots_.begin(), slots_.end(), platform::FolderId());
  count_ = 0;
}

std::size_t FolderStack::IdSet::SlotOf(const platform::FolderId& id) const {
  const std::uint64_t mixed = (id.inode ^ id.device * 0x9e3779b97f4a7c15ull) * 0xbf58476d1ce4e5b9ull;
  return static_cast<std::size_t>(mixed >> 32) & (slots_.size() - 1);
}

void FolderStack::IdSet::Grow() {
  std::vector<platform::FolderId> old(slots_.size() < 16 ? 32 : slots_.size() * 2);
  old.swap(slots_);
  count_ = 0;
  for (const platform::FolderId& id : old) {
    if (id.inode != 0) Insert(id);
  }
}

}  // namespace engine
