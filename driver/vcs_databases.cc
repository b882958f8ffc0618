#include "driver/vcs_databases.h"

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/name_filter.h"

namespace driver {
namespace {

// Whether `head` is what a git HEAD holds: "ref: refs/..." or an object id
// in hex (40 digits for SHA-1, 64 for SHA-256).
bool LooksLikeHead(std::string_view head) {
  while (!head.empty() && (head.back() == '\n' || head.back() == '\r')) head.remove_suffix(1);
  if (head.substr(0, 10) == "ref: refs/") return true;
  if (head.size() != 40 && head.size() != 64) return false;
  return head.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool HoldsFolder(platform::FileSystem& fs, const platform::Dir& folder, std::string_view name) {
  platform::EntryKind kind;
  std::string ignored;
  return fs.LookUpEntry(folder, name, &kind, &ignored) == platform::LookupResult::kFound &&
         kind == platform::EntryKind::kFolder;
}

// The test git itself makes of a folder before taking it for a repository.
bool IsGitRepository(platform::FileSystem& fs, const platform::Dir& folder) {
  if (!HoldsFolder(fs, folder, "objects") || !HoldsFolder(fs, folder, "refs")) return false;
  std::string head;
  std::string ignored;
  return fs.ReadWholeFile(folder, "HEAD", 4096, &head, &ignored) == platform::LookupResult::kFound &&
         LooksLikeHead(head);
}

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

// `path` less its last `levels` names; empty when it has too few.
std::string PathAbove(const std::string& path, std::size_t levels) {
  const std::vector<std::size_t> starts = NameStarts(path);
  if (levels == 0) return path;
  if (levels > starts.size()) return std::string();
  std::string above = path.substr(0, starts[starts.size() - levels]);
  // Keep the root's separator ("/", "C:\"), drop any other.
  if (above.size() > 1 && above.back() == platform::kPathSeparator &&
      above.find(platform::kPathSeparator) != above.size() - 1) {
    above.pop_back();
  }
  return above;
}

// A git repository at `folder` or above it, climbing at most as many
// levels as `path` has names (the top, if ids are unknown, is its own
// parent without telling).
std::string RepositoryAbove(platform::FileSystem& fs, const platform::Dir& folder,
                            const std::string& path) {
  const std::size_t most_levels = path.empty() ? 4096 : NameStarts(path).size();
  if (IsGitRepository(fs, folder)) return Phrase("git repository", path);
  platform::Dir here;
  platform::FolderInfo info;
  std::vector<platform::FolderId> climbed;
  for (std::size_t levels = 1; levels <= most_levels; ++levels) {
    platform::Dir parent;
    const platform::Dir& from = levels == 1 ? folder : here;
    if (!fs.OpenParent(from, &parent, &info)) break;
    if (info.id.IsKnown()) {
      for (const platform::FolderId& id : climbed) {
        if (id == info.id) return std::string();  // the top, its own parent
      }
      climbed.push_back(info.id);
    }
    here = std::move(parent);
    if (IsGitRepository(fs, here)) {
      const std::string above = PathAbove(path, levels);
      return above.empty() ? "a git repository above it" : Phrase("git repository", above);
    }
  }
  return std::string();
}

}  // namespace

std::string DatabaseAround(platform::FileSystem& fs, const platform::Dir& folder,
                           const std::string& path) {
  std::string database = DatabaseOnPath(path);
  if (database.empty() && folder.is_open()) database = RepositoryAbove(fs, folder, path);
  return database;
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
