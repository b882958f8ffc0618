// The folders given on the command line, checked before anything is shown.
#ifndef BUILDSWEEP_DRIVER_CHOSEN_FOLDERS_H_
#define BUILDSWEEP_DRIVER_CHOSEN_FOLDERS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "platform/dir.h"
#include "platform/file_system.h"

namespace driver {

/// What the check learnt of one chosen folder, for its turn after the start
/// prompt.
struct CheckedFolder {
  /// The folder itself, held from its check, so that its turn cleans the
  /// very folder that was checked whatever was renamed or swapped in the
  /// meantime. Not open when the check had no more handles to spare.
  platform::Dir held;
  /// Its identity when checked (platform::CurrentDirectoryId), against
  /// which a folder not held is checked again when its turn comes.
  platform::FolderId id;
  /// Why it could not be entered, for a folder that is there but that this
  /// process may not enter; empty otherwise. Such a folder is reported as
  /// unreadable in its turn, never cleaned.
  std::string unenterable_reason;
  /// Its physical path, for the report of one that can't be entered; empty
  /// where it can't be told.
  std::string unenterable_path;
};

/// Checks that every folder in `folders` (relative to the folder `start`,
/// held by platform::RememberCurrentDirectory) exists, is a folder, and is
/// neither the same as nor inside another one of them, since its files
/// would be counted twice, and is no part of a version-control database
/// (see DatabaseAround), which is never cleaned. Returns the first problem as
/// one line, or an empty string; then `checked` holds what was learnt of each
/// folder, in order, the first `most_held` of them held open. Leaves `start`
/// the current directory.
std::string CheckChosenFolders(platform::FileSystem& fs, const platform::Dir& start,
                               const std::vector<std::string>& folders, std::size_t most_held,
                               std::vector<CheckedFolder>* checked);

}  // namespace driver

#endif  // BUILDSWEEP_DRIVER_CHOSEN_FOLDERS_H_
