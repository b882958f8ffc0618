#include "engine/folder_stack.h"

#include <utility>

namespace engine {

FolderStack::FolderStack(platform::FileSystem& fs, std::size_t window)
    : fs_(fs), window_(window < 2 ? 2 : window) {}

bool FolderStack::OpenRoot(platform::FolderInfo* info, std::string* error) {
  levels_.clear();
  names_.clear();
  Level root;
  if (!fs_.OpenCurrentDirectory(&root.dir, info, error)) return false;
  root.id = info->id;
  root.name_end = 0;
  levels_.push_back(std::move(root));
  first_open_ = 1;
  return true;
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

bool FolderStack::Push(std::string_view name, platform::FolderInfo* info) {
  const platform::Dir* parent = top();
  if (parent == nullptr) return false;
  Level child;
  if (!fs_.OpenChild(*parent, name, &child.dir, info)) return false;
  child.id = info->id;
  names_.append(name.data(), name.size());
  child.name_end = names_.size();
  levels_.push_back(std::move(child));
  CloseBeyondWindow();
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
    if (!fs_.OpenChild(*at, NameOf(step), &next, &info) ||
        platform::KnownToDiffer(info.id, levels_[step].id)) {
      return false;
    }
    current = std::move(next);
    at = &current;
  }
  levels_[level].dir = std::move(current);
  return true;
}

}  // namespace engine
