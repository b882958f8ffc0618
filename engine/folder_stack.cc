#include "engine/folder_stack.h"

#include <algorithm>
#include <utility>

namespace engine {
namespace {

// Handles the walk may hold besides the window's: the two a level reached
// again from the root takes on its way there.
constexpr std::size_t kHandlesBesideWindow = 2;

}  // namespace

FolderStack::FolderStack(platform::FileSystem& fs, std::size_t window)
    : fs_(fs), max_window_(window < 1 ? 1 : window), window_(max_window_) {}

bool FolderStack::OpenRoot(platform::FolderInfo* info, std::string* error) {
  levels_.clear();
  names_.clear();
  Level root;
  if (!fs_.OpenCurrentDirectory(&root.dir, info, error)) return false;
  root.id = info->id;
  root.name_end = 0;
  levels_.push_back(std::move(root));
  first_open_ = 1;
  // Under a low descriptor limit, a window that fits from the start saves
  // running into the limit over and over.
  const std::size_t spare = platform::SpareFolderHandles();
  window_ = max_window_;
  if (spare < window_ + kHandlesBesideWindow) {
    window_ = spare > kHandlesBesideWindow + 1 ? spare - kHandlesBesideWindow : 1;
  }
  return true;
}

void FolderStack::Clear() {
  levels_.clear();
  names_.clear();
  first_open_ = 1;
}

std::string_view FolderStack::NameOf(std::size_t level) const {
  const std::size_t begin = levels_[level - 1].name_end;
  return std::string_view(names_).substr(begin, levels_[level].name_end - begin);
}

const platform::Dir* FolderStack::top() const {
  if (levels_.empty() || levels_.back().lost) return nullptr;
  return &levels_.back().dir;
}

std::size_t FolderStack::open_levels() const {
  std::size_t open = 0;
  for (const Level& level : levels_) open += level.dir.is_open() ? 1u : 0u;
  return open;
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
  Level child;
  const platform::OpenResult opened =
      OpenChild(parent.dir, levels_.size() - 1, name, &child.dir, info, error);
  if (opened != platform::OpenResult::kOpened) return opened;
  child.id = info->id;
  names_.append(name.data(), name.size());
  child.name_end = names_.size();
  levels_.push_back(std::move(child));
  CloseBeyondWindow();
  return opened;
}

// Opens `name` in `parent`. Out of handles, it gives up open levels from the
// shallowest on (never `keep_open`, the parent) and tries again: a folder is
// never passed over because the walk itself held the handles it needed.
platform::OpenResult FolderStack::OpenChild(const platform::Dir& parent, std::size_t keep_open,
                                            std::string_view name, platform::Dir* dir,
                                            platform::FolderInfo* info, std::string* error) {
  for (;;) {
    // Each try starts afresh, so a reason from running out of handles never
    // outlives the retry that found the folder gone.
    error->clear();
    const platform::OpenResult opened = fs_.OpenChild(parent, name, dir, info, error);
    if (opened == platform::OpenResult::kGone) error->clear();
    if (opened != platform::OpenResult::kNoHandles || !CloseShallowestOpenLevel(keep_open)) {
      return opened;
    }
  }
}

bool FolderStack::CloseShallowestOpenLevel(std::size_t keep_open) {
  if (first_open_ >= keep_open) return false;
  levels_[first_open_++].dir.Close();
  // What is open now is all that fits: keep no more from here on.
  window_ = std::max<std::size_t>(1, levels_.size() - first_open_);
  return true;
}

void FolderStack::CloseBeyondWindow() {
  const std::size_t top_level = levels_.size() - 1;
  while (first_open_ + window_ <= top_level) levels_[first_open_++].dir.Close();
}

void FolderStack::PopTo(std::size_t size) {
  if (size < 1) size = 1;  // the root stays
  if (size >= levels_.size()) return;
  const std::size_t new_top = size - 1;
  // The levels left behind are closed first, all but the shallowest open
  // one, which reopening climbs from: a long climb then never holds more
  // than the window.
  for (std::size_t level = std::max(first_open_, new_top) + 1; level < levels_.size(); ++level) {
    levels_[level].dir.Close();
  }
  const std::size_t shallowest = new_top >= window_ ? new_top - window_ + 1 : 1;
  // Reopen while the deeper levels are still there to climb from.
  if (new_top >= 1 && first_open_ > shallowest) ReopenUpTo(shallowest, new_top);
  levels_.resize(size);
  names_.resize(levels_.back().name_end);
  if (first_open_ > size) first_open_ = size;
}

void FolderStack::ReopenUpTo(std::size_t shallowest, std::size_t new_top) {
  for (std::size_t level = first_open_ - 1; level >= shallowest; --level) {
    if (!ReopenByParent(level) && !ReopenFromRoot(level)) levels_[level].lost = true;
    first_open_ = level;
    // A level above the new top was only a stepping stone: close it now so
    // that climbing a deep chain never holds more than the window.
    if (level + 1 > new_top) levels_[level + 1].dir.Close();
  }
}

bool FolderStack::ReopenByParent(std::size_t level) {
  const Level& below = levels_[level + 1];
  if (below.lost || !below.dir.is_open()) return false;
  platform::Dir dir;
  platform::FolderInfo info;
  // ".." leads wherever the folder now stands: only a known, equal id proves
  // it is still the parent we left.
  if (!fs_.OpenParent(below.dir, &dir, &info) || !info.id.IsKnown() ||
      info.id != levels_[level].id) {
    return false;
  }
  levels_[level].dir = std::move(dir);
  return true;
}

bool FolderStack::ReopenFromRoot(std::size_t level) {
  // Every step is checked, so a folder moved or swapped since it was first
  // opened is never mistaken for the one we left.
  platform::Dir current;
  const platform::Dir* at = &levels_[0].dir;
  for (std::size_t step = 1; step <= level; ++step) {
    platform::Dir next;
    platform::FolderInfo info;
    std::string error;
    const platform::OpenResult opened = fs_.OpenChild(*at, NameOf(step), &next, &info, &error);
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
  levels_[level].dir = std::move(current);
  return true;
}

}  // namespace engine
