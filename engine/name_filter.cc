#include "engine/name_filter.h"

#include <utility>

#include "platform/file_system.h"

namespace engine {
namespace {

// The folders in which version-control systems keep their databases.
constexpr std::string_view kVersionControlFolders[] = {".git", ".hg", ".svn", ".bzr"};

bool IsVersionControlFolder(std::string_view name) {
  // Cheap first: every one of them is a dot and two or three letters.
  if (name.size() < 3 || name.size() > 4 || name[0] != '.') return false;
  for (std::string_view database : kVersionControlFolders) {
    // Through the system's matcher, so that ".GIT" counts where names
    // ignore case (Windows) and nowhere else.
    if (platform::NameMatchesPattern(database, name)) return true;
  }
  return false;
}

}  // namespace

void NameFilter::AddExclusion(std::string pattern) { exclusions_.push_back(std::move(pattern)); }

bool NameFilter::SkipsFolder(std::string_view name) const {
  return IsVersionControlFolder(name) || (!exclusions_.empty() && MatchesAnExclusion(name));
}

bool NameFilter::MatchesAnExclusion(std::string_view name) const {
  for (const std::string& pattern : exclusions_) {
    if (platform::NameMatchesPattern(pattern, name)) return true;
  }
  return false;
}

}  // namespace engine
