// One run of buildsweep, from the extension line to the exit status.
#ifndef BUILDSWEEP_DRIVER_RUN_H_
#define BUILDSWEEP_DRIVER_RUN_H_

#include <functional>

#include "platform/console.h"
#include "platform/file_system.h"

namespace driver {

/// How a run goes about its work, and points where tests may act in the
/// middle of it. The program itself never sets the hooks.
struct RunHooks {
  /// Threads that clean; 1 cleans in one thread, after collecting the
  /// whole tree. The report is the same for any number.
  unsigned jobs = 1;
  /// Called after the whole tree has been collected, before anything is
  /// deleted, so a test can change the tree between the two phases.
  std::function<void()> after_collection;
};

/// Exit status after a clean run.
constexpr int kExitOk = 0;
/// Exit status when standard input ended at the final prompt.
constexpr int kExitInputEnded = 1;
/// Exit status when the run could not do all it should: the root not
/// resolved, a folder not read, a file not deleted, or the report not written.
constexpr int kExitIncomplete = 2;

/// Runs buildsweep in the current directory and returns the exit status.
int Run(platform::FileSystem& fs, platform::Console& console, const RunHooks& hooks = RunHooks());

}  // namespace driver

#endif  // BUILDSWEEP_DRIVER_RUN_H_
