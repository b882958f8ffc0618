#include "engine/climb.h"

#include <algorithm>
#include <vector>

namespace engine {
namespace {

// How far a climb goes at most where the path tells nothing; no real path
// is deeper.
constexpr int kMostLevelsUp = 4096;

}  // namespace

bool ClimbFromFolder(platform::FileSystem& fs, const platform::Dir& start, int most_levels,
                     const std::function<bool(const ClimbStep&)>& visit, std::string* failure) {
  std::vector<platform::FolderId> met;
  ClimbStep step;
  for (step.levels = 0; step.levels <= most_levels; ++step.levels) {
    platform::EntryKind kind;
    const platform::LookupResult found =
        fs.LookUpPath(start, step.levels == 0 ? "." : step.path, &kind, &step.id, failure);
    if (found != platform::LookupResult::kFound) {
      if (found == platform::LookupResult::kMissing) *failure = "it is gone";
      return false;
    }
    if (step.id.IsKnown()) {
      if (std::find(met.begin(), met.end(), step.id) != met.end()) return true;
      met.push_back(step.id);
    }
    if (!visit(step)) return true;
    if (!step.path.empty()) step.path.push_back('/');
    step.path.append("..");
  }
  return true;
}

int MostLevelsAbove(std::string_view path) {
  if (path.empty()) return kMostLevelsUp;
  return static_cast<int>(std::count(path.begin(), path.end(), platform::kPathSeparator));
}

std::string PathAbove(std::string_view path, int levels) {
  if (path.empty()) return std::string();
  std::size_t cut = path.size();
  for (int i = 0; i < levels; ++i) {
    if (cut == 0) return std::string();
    const std::size_t separator = path.rfind(platform::kPathSeparator, cut - 1);
    if (separator == std::string_view::npos || separator + 1 >= cut) return std::string();
    cut = separator;
  }
  std::string above(path.substr(0, cut));
  // "/" for a POSIX root, "C:\" for a drive's.
  if (above.find(platform::kPathSeparator) == std::string::npos) above.push_back(platform::kPathSeparator);
  return above;
}

bool IsWithin(std::string_view path, std::string_view folder, std::string* rest) {
  const char separator = platform::kPathSeparator;
  while (folder.size() > 1 && folder.back() == separator) folder.remove_suffix(1);
  if (folder.empty() || path.size() < folder.size() || path.compare(0, folder.size(), folder) != 0) {
    return false;
  }
  std::string_view after = path.substr(folder.size());
  if (!after.empty() && folder.back() != separator) {
    if (after.front() != separator) return false;
    after.remove_prefix(1);
  }
  while (!after.empty() && after.back() == separator) after.remove_suffix(1);
  if (rest != nullptr) {
    rest->assign(after.data(), after.size());
    std::replace(rest->begin(), rest->end(), separator, '/');
  }
  return true;
}

}  // namespace engine
