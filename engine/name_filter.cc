#include "engine/name_filter.h"

#include <utility>

#include "platform/file_system.h"

namespace engine {
namespace {

// The folders in which version-control systems keep their databases.
struct DatabaseFolder {
  std::string_view name;
  std::string_view system;
};
constexpr DatabaseFolder kDatabaseFolders[] = {
    {".git", "git"}, {".hg", "Mercurial"}, {".svn", "Subversion"}, {".bzr", "Bazaar"}};

bool IsVersionControlFolder(std::string_view name) { return !VersionControlSystem(name).empty(); }

}  // namespace

// What is in them was put there to be kept until the user empties them.
bool IsTrashFolder(std::string_view name) {
  constexpr std::string_view kShared = ".Trash";
  if (name.substr(0, kShared.size()) != kShared) return false;
  if (name.size() == kShared.size()) return true;
  if (name.size() < kShared.size() + 2 || name[kShared.size()] != '-') return false;
  for (const char c : name.substr(kShared.size() + 1)) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string_view VersionControlSystem(std::string_view name) {
  // Cheap first: every one of them is a dot and two or three letters.
  if (name.size() < 3 || name.size() > 4 || name[0] != '.') return {};
  for (const DatabaseFolder& database : kDatabaseFolders) {
    // Through the system's matcher, so that ".GIT" counts where names
    // ignore case (Windows) and nowhere else.
    if (platform::NameMatchesPattern(database.name, name)) return database.system;
  }
  return {};
}

void NameFilter::AddExclusion(std::string pattern) { exclusions_.push_back(std::move(pattern)); }

NameFilter::FolderSkip NameFilter::SkipOfFolder(std::string_view name) const {
  if (IsVersionControlFolder(name) || IsTrashFolder(name)) return FolderSkip::kAlways;
  if (!exclusions_.empty() && MatchesAnExclusion(name)) return FolderSkip::kExcluded;
  return FolderSkip::kNone;
}

bool NameFilter::IsKeptName(std::string_view name) const {
  for (const std::string& kept : kept_names_) {
    if (kept == name) return true;
  }
  return false;
}

bool NameFilter::MatchesAnExclusion(std::string_view name) const {
  for (const std::string& pattern : exclusions_) {
    if (platform::NameMatchesPattern(pattern, name)) return true;
  }
  return false;
}

}  // namespace engine
