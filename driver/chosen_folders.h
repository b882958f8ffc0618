// The folders given on the command line, checked before anything is shown.
#ifndef BUILDSWEEP_DRIVER_CHOSEN_FOLDERS_H_
#define BUILDSWEEP_DRIVER_CHOSEN_FOLDERS_H_

#include <string>
#include <vector>

#include "platform/dir.h"
#include "platform/file_system.h"

namespace driver {

/// Checks that every folder in `folders` (relative to the folder `start`,
/// held by platform::RememberCurrentDirectory) exists, is a folder, and is
/// neither the same as nor inside another one of them, since its files
/// would be counted twice, and is no part of a version-control database
/// (see DatabaseAround), which is never cleaned. Returns the first problem as one line, or an
/// empty string. Leaves `start` the current directory.
std::string CheckChosenFolders(platform::FileSystem& fs, const platform::Dir& start,
                               const std::vector<std::string>& folders);

}  // namespace driver

#endif  // BUILDSWEEP_DRIVER_CHOSEN_FOLDERS_H_
