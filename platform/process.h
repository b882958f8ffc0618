// What the process was started with, and where it works: its arguments and
// its current directory.
#ifndef BUILDSWEEP_PLATFORM_PROCESS_H_
#define BUILDSWEEP_PLATFORM_PROCESS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dir.h"
#include "platform/file_system.h"

namespace platform {

/// The program's arguments, its own name left out, held the way paths are
/// held: bytes as given on POSIX (whatever the locale), WTF-8 of the wide
/// command line on Windows (so any folder name comes through). `argc` and
/// `argv` are main's.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

/// Whether `argument` is this system's own way to ask a program for help
/// ("/?" on Windows; nothing on POSIX).
bool IsSystemHelpSwitch(std::string_view argument);

/// Makes the folder `path` (relative to the current directory, links on the
/// way resolved like `cd -P`) the current directory. False, with the
/// system's reason in `error`, when it is missing or not a folder.
bool ChangeDirectory(std::string_view path, std::string* error);

/// Holds on to the current directory in `dir`, so that ReturnToFolder can
/// make it current again even if it is not readable or has been renamed.
bool RememberCurrentDirectory(Dir* dir, std::string* error);

/// Makes the folder held by RememberCurrentDirectory the current directory.
bool ReturnToFolder(const Dir& dir, std::string* error);

/// The identity of the current directory, read without the right to list
/// it; unknown where the system can't tell.
FolderId CurrentDirectoryId();

/// Whether `path` (relative to the current directory, links followed) is a
/// folder, even one this process may not enter. Then its physical path, as
/// a run started in it shows it, goes to `physical` (empty where it can't be
/// told) and its identity to `id` (unknown where it can't be told).
bool LookUpFolder(std::string_view path, std::string* physical, FolderId* id);

/// The value of the environment variable `name` in `value` (WTF-8 on
/// Windows, bytes as set on POSIX); false when it is not set.
bool EnvironmentVariable(std::string_view name, std::string* value);

/// The character between the folders of a list in one environment
/// variable (`:` on POSIX, `;` on Windows), as PATH has them.
extern const char kPathListSeparator;

/// The user the process acts as (its effective user id on POSIX); 0 where
/// the system has no such number.
std::uint64_t CurrentUserId();

}  // namespace platform

#endif  // BUILDSWEEP_PLATFORM_PROCESS_H_
