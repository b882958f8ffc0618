#include "driver/chosen_folders.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "driver/vcs_databases.h"
#include "engine/climb.h"
#include "platform/process.h"

namespace driver {
namespace {

/// What is known of one given folder once it has been entered.
struct FolderPlace {
  /// Its physical path, as a run started there shows it; empty if unknown.
  std::string path;
  /// Its identity; unknown if it could not be opened, or the file system
  /// gives folders none.
  platform::FolderId id;
  /// The identities of the folders above it, as far up as they can be read.
  std::vector<platform::FolderId> ancestors;
  /// The version-control database it is part of, named; empty if none.
  std::string database;
};

bool Contains(const std::vector<platform::FolderId>& ids, const platform::FolderId& id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Climbs from `dir` to the top of its file-system tree. Identities, not
// paths, so that a folder reached through a bind mount or under another
// spelling is still recognised; where a folder above can't be reached the
// climb stops, and the paths are left to tell.
void CollectAncestors(platform::FileSystem& fs, const platform::Dir& dir, const std::string& path,
                      std::vector<platform::FolderId>* ancestors) {
  std::string ignored;
  engine::ClimbFromFolder(
      fs, dir, engine::MostLevelsAbove(path),
      [&](const engine::ClimbStep& step) {
        if (step.levels > 0) ancestors->push_back(step.id);
        return true;
      },
      &ignored);
}

// Enters `folder` and learns where it is, holding on to it in `checked`
// when `hold` says so. Returns the system's reason when it can't be entered
// and is no folder (missing, not a folder, a loop of links).
std::string Locate(platform::FileSystem& fs, const std::string& folder, bool hold,
                   FolderPlace* place, CheckedFolder* checked) {
  std::string reason;
  if (!platform::ChangeDirectory(folder, &reason)) {
    // A folder there that may not be entered (no right to search it) gets
    // the unreadable folder's report in its turn, as a run started in it
    // would; only its own path and identity can tell it from the others.
    if (!platform::LookUpFolder(folder, &place->path, &place->id)) return reason;
    checked->unenterable_reason = reason;
    checked->unenterable_path = place->path;
    return std::string();
  }
  std::string ignored;
  if (hold) platform::RememberCurrentDirectory(&checked->held, &ignored);
  checked->id = platform::CurrentDirectoryId();
  if (!fs.CurrentDirectory(&place->path, &reason)) place->path.clear();
  platform::Dir dir;
  platform::FolderInfo info;
  // An unreadable folder is still cleaned as a run started in it would be
  // (which finds nothing to list); only its identity stays unknown.
  const bool opened = fs.OpenCurrentDirectory(&dir, &info, &reason);
  if (!opened) dir.Close();
  place->database = DatabaseAround(fs, dir, place->path);
  if (opened) {
    place->id = info.id;
    CollectAncestors(fs, dir, place->path, &place->ancestors);
  }
  return std::string();
}

bool IsInsidePath(const std::string& path, const std::string& folder) {
  std::string rest;
  return engine::IsWithin(path, folder, &rest) && !rest.empty();
}

bool IsSame(const FolderPlace& a, const FolderPlace& b) {
  if (a.id.IsKnown() && b.id.IsKnown()) return a.id == b.id;
  return !a.path.empty() && a.path == b.path;
}

bool IsInside(const FolderPlace& inner, const FolderPlace& outer) {
  return (outer.id.IsKnown() && Contains(inner.ancestors, outer.id)) ||
         IsInsidePath(inner.path, outer.path);
}

}  // namespace

std::string CheckChosenFolders(platform::FileSystem& fs, const platform::Dir& start,
                               const std::vector<std::string>& folders, std::size_t most_held,
                               std::vector<CheckedFolder>* checked) {
  std::vector<FolderPlace> places(folders.size());
  checked->clear();
  checked->resize(folders.size());
  std::string problem;
  for (std::size_t i = 0; i < folders.size() && problem.empty(); ++i) {
    const std::string reason = Locate(fs, folders[i], i < most_held, &places[i], &(*checked)[i]);
    if (!reason.empty()) problem = "cannot clean '" + folders[i] + "': " + reason;
    if (problem.empty() && !places[i].database.empty()) {
      problem = "'" + folders[i] + "' is part of " + places[i].database + ", where nothing is deleted";
    }
    std::string ignored;
    platform::ReturnToFolder(start, &ignored);
  }
  for (std::size_t i = 0; i < folders.size() && problem.empty(); ++i) {
    for (std::size_t j = 0; j < folders.size() && problem.empty(); ++j) {
      if (i == j) continue;
      if (IsSame(places[i], places[j])) {
        if (j > i) problem = "'" + folders[i] + "' and '" + folders[j] + "' are the same folder";
      } else if (IsInside(places[i], places[j])) {
        problem = "'" + folders[i] + "' is inside '" + folders[j] + "'";
      }
    }
  }
  if (!problem.empty()) checked->clear();
  return problem;
}

}  // namespace driver
