#include "driver/vcs_databases.h"

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/climb.h"
#include "engine/git_work_tree.h"
#include "engine/name_filter.h"
#include "platform/process.h"

namespace driver {
namespace {

// The start of each name in `path`, in order.
std::vector<std::size_t> NameStarts(const std::string& path) {
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at <= path.size();) {
    std::size_t end = path.find(platform::kPathSeparator, at);
    if (end == std::string::npos) end = path.size();
    if (end > at) starts.push_back(at);
    at = end + 1;
  }
  return starts;
}

std::string Phrase(std::string_view what, const std::string& path) {
  return "the " + std::string(what) + " '" + path + "'";
}

// A database folder named on `path`, the outermost one.
std::string DatabaseOnPath(const std::string& path) {
  for (const std::size_t start : NameStarts(path)) {
    std::size_t end = path.find(platform::kPathSeparator, start);
    if (end == std::string::npos) end = path.size();
    // By the walk's own rule, so ".GIT" counts where names ignore case.
    const std::string_view system =
        engine::VersionControlSystem(std::string_view(path.data() + start, end - start));
    if (!system.empty()) return Phrase(std::string(system) + " database", path.substr(0, end));
  }
  return std::string();
}

}  // namespace

std::string DatabaseAround(platform::FileSystem& fs, const platform::Dir& folder,
                           const std::string& path) {
  std::string database = DatabaseOnPath(path);
  if (!database.empty() || !folder.is_open()) return database;
  // A git repository by its content, whatever its name: a bare clone, a
  // separate git dir, or any folder above that is one.
  engine::GitDiscoverySettings databases_only;
  databases_only.work_trees = false;
  const engine::GitSurroundings around = engine::DiscoverGitAround(fs, folder, path, databases_only);
  if (around.database_levels < 0) return std::string();
  const std::string above = engine::PathAbove(path, around.database_levels);
  if (!around.database_doubt.empty()) {
    // Nothing is deleted where it can't be told, said as such.
    return (above.empty() ? std::string("what may be a git repository above it")
                          : "what may be " + Phrase("git repository", above)) +
           " (" + around.database_doubt + ")";
  }
  return above.empty() ? "a git repository above it" : Phrase("git repository", above);
}

namespace {

// GIT_DISCOVERY_ACROSS_FILESYSTEM and GIT_CEILING_DIRECTORIES into
// `settings` (each ceiling resolved to its physical path, as git resolves
// it, unless an empty entry came before it).
void ReadDiscoverySettings(engine::GitEnvironment* settings) {
  std::string value;
  if (platform::EnvironmentVariable("GIT_DISCOVERY_ACROSS_FILESYSTEM", &value)) {
    engine::GitConfig parsed;
    std::string ignored;
    // A boolean as git reads one; a value that is none turns it on, the
    // side on which more work trees are found.
    settings->across_file_systems =
        !engine::ParseGitConfig("[core]\nignorecase = \"" + value + "\"\n", &parsed, &ignored) ||
        parsed.ignore_case;
  }
  if (platform::EnvironmentVariable("GIT_CEILING_DIRECTORIES", &value)) {
    bool resolve = true;
    std::size_t from = 0;
    for (;;) {
      const std::size_t end = value.find(platform::kPathListSeparator, from);
      const std::string entry = value.substr(from, end - from);
      if (entry.empty()) {
        resolve = false;  // git's way to say: take the rest as written
      } else if (platform::IsAbsolutePath(entry)) {
        std::string physical;
        platform::FolderId id;
        if (!resolve || !platform::LookUpFolder(entry, &physical, &id) || physical.empty()) {
          physical = entry;
        }
        settings->ceilings.push_back(physical);
      }
      if (end == std::string::npos) break;
      from = end + 1;
    }
  }
}

// The folder the environment variable `name` names, as an absolute path:
// a relative one taken from `start`, resolved to its physical path where it
// can be. Empty when unset.
std::string FolderFromEnvironment(const char* name, const std::string& start) {
  std::string value;
  if (!platform::EnvironmentVariable(name, &value) || value.empty()) return std::string();
  std::string physical;
  platform::FolderId id;
  if (platform::LookUpFolder(value, &physical, &id) && !physical.empty()) return physical;
  if (platform::IsAbsolutePath(value)) return value;
  std::string absolute = start;
  platform::AppendPathComponent(&absolute, value);
  return absolute;
}

}  // namespace

std::vector<engine::NamedWorkTree> WorkTreesNamedByEnvironment(platform::FileSystem& fs) {
  engine::GitEnvironment environment;
  std::string ignored;
  if (!fs.CurrentDirectory(&environment.start, &ignored)) return {};
  environment.git_dir = FolderFromEnvironment("GIT_DIR", environment.start);
  environment.work_tree = FolderFromEnvironment("GIT_WORK_TREE", environment.start);
  // As given: a relative one is read from where git reads it, which
  // depends on the work tree.
  platform::EnvironmentVariable("GIT_INDEX_FILE", &environment.index_file);
  environment.common_dir = FolderFromEnvironment("GIT_COMMON_DIR", environment.start);
  // Without GIT_DIR the others change only the index or the work tree of
  // the repository git finds itself.
  if (environment.git_dir.empty() && environment.index_file.empty() &&
      environment.work_tree.empty()) {
    return {};
  }
  ReadDiscoverySettings(&environment);
  platform::Dir here;
  platform::FolderInfo info;
  if (!fs.OpenCurrentDirectory(&here, &info, &ignored)) here.Close();
  engine::NamedWorkTree named = engine::LoadNamedWorkTree(fs, here, environment);
  if (named.tracked == nullptr) return {};
  return {std::move(named)};
}

std::string DatabaseAroundCurrentFolder(platform::FileSystem& fs) {
  std::string path;
  std::string ignored;
  if (!fs.CurrentDirectory(&path, &ignored)) path.clear();  // the run will say so itself
  platform::Dir folder;
  platform::FolderInfo info;
  if (!fs.OpenCurrentDirectory(&folder, &info, &ignored)) folder.Close();
  return DatabaseAround(fs, folder, path);
}

}  // namespace driver
