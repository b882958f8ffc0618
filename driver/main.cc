// buildsweep: deletes compiler, linker and IDE by-products below the current
// directory. See README.md.
#include "driver/run.h"
#include "platform/console.h"
#include "platform/file_system.h"

int main() {
  // A reader that goes away (buildsweep | head), or a report file that hits
  // the size limit, must not kill the run halfway through a deletion; the
  // failed write is reported and the run ends cleanly.
  platform::IgnoreOutputSignals();
  platform::RaiseOpenFileLimit();
  driver::RunHooks settings;
  settings.jobs = platform::DefaultJobCount();
  return driver::Run(platform::NativeFileSystem(), platform::NativeConsole(), settings);
}
