// One run of buildsweep, from the extension line to the exit status.
#ifndef BUILDSWEEP_DRIVER_RUN_H_
#define BUILDSWEEP_DRIVER_RUN_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "driver/options.h"
#include "platform/console.h"
#include "platform/file_system.h"

namespace driver {

/// Points where tests may act in the middle of a run. The program itself
/// never sets them.
struct RunHooks {
  /// Called once the root has been listed, before any folder below it is
  /// entered, so a test can change the tree while the run goes on.
  std::function<void()> after_root_listed;
  /// The time, in nanoseconds since 1970, that --older-than counts back
  /// from; the system's clock when not set.
  std::function<std::int64_t()> now;
};

/// Exit status after a clean run.
constexpr int kExitOk = 0;
/// Exit status when standard input ended at the final prompt.
constexpr int kExitInputEnded = 1;
/// Exit status when the run could not do all it should: the root not
/// resolved, a folder not read, a file not deleted, memory exhausted, or the
/// report not written.
constexpr int kExitIncomplete = 2;
/// Exit status when the command line was wrong; nothing was read or deleted.
constexpr int kExitUsage = 2;

/// Runs buildsweep in the current directory and returns the exit status.
int Run(platform::FileSystem& fs, platform::Console& console, const RunHooks& hooks = RunHooks());

/// Runs buildsweep as `options` ask (help and version aside) and returns the
/// exit status. Every folder given is checked before anything is shown.
int Run(platform::FileSystem& fs, platform::Console& console, const Options& options,
        const RunHooks& hooks = RunHooks());

/// Runs buildsweep as the command line `arguments` (without the program's
/// name) asks and returns the exit status.
int RunCommandLine(platform::FileSystem& fs, platform::Console& console,
                   const std::vector<std::string>& arguments);

}  // namespace driver

#endif  // BUILDSWEEP_DRIVER_RUN_H_
