// Climbing from a folder to the top of its file system: the one way the
// checks of a starting folder learn what lies above it (other given
// folders, git databases, the work trees it lies in). One climb, one loop
// check.
#ifndef BUILDSWEEP_ENGINE_CLIMB_H_
#define BUILDSWEEP_ENGINE_CLIMB_H_

#include <functional>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace engine {

/// One folder met on a climb.
struct ClimbStep {
  /// How many levels above the start: 0 for the start itself.
  int levels = 0;
  /// The folder as a path from the start, as FileSystem::ReadWholeFile
  /// takes it: "" for the start itself, then "..", "../..", ...
  std::string path;
  /// Its identity.
  platform::FolderId id;
};

/// Calls `visit` for the folder open in `start` and each folder above it,
/// nearest first, until `visit` returns false, a folder comes again (the
/// top is its own parent; a loop of mounts), or `most_levels` have been
/// climbed. Each folder is reached by a `..` path from the start
/// (FileSystem::LookUpPath): no handle is held and only the right to
/// search is needed, so neither few descriptors nor a folder that may be
/// searched but not read stop it. False, with the system's reason in
/// `failure`, when a folder above could not be reached.
bool ClimbFromFolder(platform::FileSystem& fs, const platform::Dir& start, int most_levels,
                     const std::function<bool(const ClimbStep&)>& visit, std::string* failure);

/// How many levels a climb from a start shown as `path` needs at most: as
/// many as the path has names (where folders have no identity, the top is
/// its own parent without telling), or a bound when the path is unknown.
int MostLevelsAbove(std::string_view path);

/// The shown path `path` less its last `levels` names (the root's
/// separator kept: "/", "C:\"); empty when it has fewer names.
std::string PathAbove(std::string_view path, int levels);

/// Whether the shown path `path` is `folder` or lies below it; then, where
/// asked for, the rest of it, `/` between names, goes to `rest` ("" for the
/// folder itself). Separators at the end of either don't count.
bool IsWithin(std::string_view path, std::string_view folder, std::string* rest = nullptr);

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_CLIMB_H_
