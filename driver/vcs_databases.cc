#include "driver/vcs_databases.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/climb.h"
#include "engine/git_work_tree.h"
#include "engine/name_filter.h"
#include "engine/trash.h"
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

// The home trash's physical path, and where it leads where it is a link.
std::vector<std::string>& HomeTrashes() {
  static std::vector<std::string> trashes;
  return trashes;
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
  // What was trashed stays until the trash is emptied: the home trash, or
  // any file system's own.
  for (const std::string& trash : HomeTrashes()) {
    if (engine::IsWithin(path, trash)) return Phrase("trash", trash);
  }
  const std::string_view trash = engine::TrashFolderAround(path);
  if (!trash.empty()) return Phrase("trash", std::string(trash));
  return std::string();
}

// The database `folder`, at `path`, lies in by that path alone.
std::string DatabaseAtPath(platform::FileSystem& fs, const platform::Dir& folder,
                           const std::string& path) {
  std::string database = DatabaseOnPath(path);
  if (!database.empty() || !folder.is_open()) return database;
  // Another home trash, by its shape.
  const std::string_view trash = engine::HomeTrashAround(fs, folder, path);
  if (!trash.empty()) return Phrase("trash", std::string(trash));
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
  const char* what = around.database_by_shape ? "git database" : "git repository";
  return above.empty() ? std::string("a ") + what + " above it" : Phrase(what, above);
}

}  // namespace

std::string DatabaseAround(platform::FileSystem& fs, const platform::Dir& folder,
                           const std::string& path) {
  std::string database = DatabaseAtPath(fs, folder, path);
  if (!database.empty()) return database;
  // Shown at another path too (a bind mount), it is git's data where that
  // path lies in git's data.
  std::string below;
  for (const std::vector<std::string>& group : platform::FoldersShownTwice()) {
    const auto around = std::find_if(group.begin(), group.end(), [&](const std::string& shown) {
      return engine::IsWithin(path, shown, &below);
    });
    if (around == group.end()) continue;
    for (const std::string& shown : group) {
      if (&shown == &*around) continue;
      std::string other = shown;
      if (!below.empty()) platform::AppendPathComponent(&other, below);
      platform::Dir there;
      platform::FolderInfo info;
      std::string ignored;
      if (fs.OpenFolderPath(other, &there, &info, &ignored) != platform::OpenResult::kOpened) {
        continue;  // out of this user's reach, as of git run by this user
      }
      database = DatabaseAtPath(fs, there, other);
      if (!database.empty()) return database;
    }
  }
  return std::string();
}

namespace {

// GIT_DISCOVERY_ACROSS_FILESYSTEM and GIT_CEILING_DIRECTORIES into
// `settings` (each ceiling resolved to its physical path, as git resolves
// it, unless an empty entry came before it).
void ReadDiscoverySettings(engine::GitEnvironment* settings) {
  std::string value;
  if (platform::EnvironmentVariable("GIT_DISCOVERY_ACROSS_FILESYSTEM", &value)) {
    // A boolean as git reads one; a value that is none turns it on, the
    // side on which more work trees are found.
    bool across = true;
    settings->across_file_systems = !engine::ParseGitBool(value, &across) || across;
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

// The words of GIT_CONFIG_PARAMETERS, as `git -c` writes them for the
// programs it runs: each in single quotes ('\'' for a quote inside), a key
// and its value either one word "'k=v'" or two joined by '=', "'k'='v'"
// ("'k'=" for a key with no value).
// False where the text is none of that.
bool ParseConfigParameters(std::string_view text, std::vector<engine::GitUserConfig::Setting>* out) {
  const auto word = [&](std::string* into) {
    if (text.empty() || text.front() != '\'') return false;
    into->clear();
    for (;;) {
      const std::size_t quote = text.find('\'', 1);
      if (quote == std::string_view::npos) return false;
      into->append(text.substr(1, quote - 1));
      text.remove_prefix(quote + 1);
      // A quote, or a '!', is written '\'' or '\!' between two quoted parts.
      if (text.size() < 3 || text[0] != '\\' || (text[1] != '\'' && text[1] != '!') ||
          text[2] != '\'') {
        return true;
      }
      into->push_back(text[1]);
      text.remove_prefix(2);  // on at the quote that opens the rest
    }
  };
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  for (;;) {
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    if (text.empty()) return true;
    engine::GitUserConfig::Setting setting;
    if (!word(&setting.key)) return false;
    if (!text.empty() && text.front() == '=') {
      text.remove_prefix(1);
      // "'k'=" alone: `git -c k`, a key with no value (true, to a boolean).
      if (text.empty() || blank(text.front())) {
        setting.has_value = false;
      } else if (!word(&setting.value)) {
        return false;
      }
    } else if (const std::size_t equals = setting.key.find('='); equals != std::string::npos) {
      setting.value = setting.key.substr(equals + 1);
      setting.key.resize(equals);
    } else {
      setting.has_value = false;
    }
    out->push_back(std::move(setting));
  }
}

// The settings git reads around every repository's own, from the
// environment: the system's file unless GIT_CONFIG_NOSYSTEM, the user's
// (GIT_CONFIG_GLOBAL, else the XDG one and ~/.gitconfig), then the pairs
// GIT_CONFIG_COUNT gives and those of `git -c`, in git's order.
engine::GitUserConfig UserConfigFromEnvironment() {
  engine::GitUserConfig user;
  std::string value;
  if (platform::EnvironmentVariable("HOME", &value)) user.home = value;
  // Git reads a relative one from the work tree's top, which differs from
  // repository to repository: compared case-blind, what is tracked stays.
  const auto add_file = [&](const std::string& file) {
    if (file == "/dev/null") return;  // git's way to name none
    if (!platform::IsAbsolutePath(file)) user.unsure = true;
    user.files.push_back(file);
  };
  bool no_system = false;
  if (!platform::EnvironmentVariable("GIT_CONFIG_NOSYSTEM", &value) ||
      !engine::ParseGitBool(value, &no_system) || !no_system) {
    const bool named = platform::EnvironmentVariable("GIT_CONFIG_SYSTEM", &value);
    add_file(named ? value : "/etc/gitconfig");
  }
  if (platform::EnvironmentVariable("GIT_CONFIG_GLOBAL", &value)) {
    add_file(value);
  } else {
    if (platform::EnvironmentVariable("XDG_CONFIG_HOME", &value) && !value.empty()) {
      add_file(value + "/git/config");
    } else if (!user.home.empty()) {
      add_file(user.home + "/.config/git/config");
    }
    if (!user.home.empty()) add_file(user.home + "/.gitconfig");
  }
  std::string count_text;
  if (platform::EnvironmentVariable("GIT_CONFIG_COUNT", &count_text)) {
    // Git refuses to run where the count is no number or a pair is missing.
    char* end = nullptr;
    const long count = std::strtol(count_text.c_str(), &end, 10);
    if (count_text.empty() || *end != '\0' || count < 0 || count > 100000) user.unsure = true;
    for (long i = 0; !user.unsure && i < count; ++i) {
      engine::GitUserConfig::Setting setting;
      if (!platform::EnvironmentVariable("GIT_CONFIG_KEY_" + std::to_string(i), &setting.key) ||
          setting.key.empty() ||
          !platform::EnvironmentVariable("GIT_CONFIG_VALUE_" + std::to_string(i), &setting.value)) {
        user.unsure = true;
        break;
      }
      user.settings.push_back(std::move(setting));
    }
  }
  if (platform::EnvironmentVariable("GIT_CONFIG_PARAMETERS", &value) &&
      !ParseConfigParameters(value, &user.settings)) {
    // Git fails on it: what it would set can't be told, so a case-blind
    // match keeps what either way would be tracked.
    user.unsure = true;
  }
  return user;
}

}  // namespace

void ReadGitUserConfig(platform::FileSystem& fs) {
  platform::Dir here;
  platform::FolderInfo info;
  std::string ignored;
  if (!fs.OpenCurrentDirectory(&here, &info, &ignored)) here.Close();
  engine::SetGitUserConfig(fs, here, UserConfigFromEnvironment());
}

void ReadGitDirEnvironment(platform::FileSystem& fs) {
  engine::GitDirEnvironment environment;
  std::string value;
  // An empty one too: git then finds no repository at all, and every
  // folder that may be one is left alone.
  environment.objects_elsewhere = platform::EnvironmentVariable("GIT_OBJECT_DIRECTORY", &value);
  std::string start;
  std::string ignored;
  if (!fs.CurrentDirectory(&start, &ignored)) start.clear();
  environment.common_dir = FolderFromEnvironment("GIT_COMMON_DIR", start);
  engine::SetGitDirEnvironment(std::move(environment));
}

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

std::vector<platform::FolderId> IndexFilesNamedByEnvironment(platform::FileSystem& fs) {
  std::string index;
  std::string start;
  std::string reason;
  if (!platform::EnvironmentVariable("GIT_INDEX_FILE", &index) || index.empty() ||
      !fs.CurrentDirectory(&start, &reason)) {
    return {};
  }
  std::vector<std::string> paths{index};
  if (!platform::IsAbsolutePath(index)) {
    paths.clear();
    for (std::string folder = start; !folder.empty();
         folder = engine::PathAbove(folder, 1)) {
      paths.push_back(folder);
      platform::AppendPathComponent(&paths.back(), index);
    }
  }
  platform::Dir here;
  platform::FolderInfo info;
  if (!fs.OpenCurrentDirectory(&here, &info, &reason)) return {};
  std::vector<platform::FolderId> files;
  for (const std::string& path : paths) {
    platform::EntryKind kind;
    platform::FolderId id;
    if (fs.LookUpPath(here, path, &kind, &id, &reason) == platform::LookupResult::kFound &&
        kind == platform::EntryKind::kFile) {
      files.push_back(id);
    }
  }
  return files;
}

void NoteHomeTrash(std::vector<std::string> paths) {
  paths.erase(std::remove(paths.begin(), paths.end(), std::string()), paths.end());
  HomeTrashes() = std::move(paths);
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
