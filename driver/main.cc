// buildsweep: deletes compiler, linker and IDE by-products below the current
// directory, or below the folders named on its command line. See README.md.
#include "driver/run.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  // A reader that goes away (buildsweep | head), or a report file that hits
  // the size limit, must not kill the run halfway through a deletion; the
  // failed write is reported and the run ends cleanly.
  platform::IgnoreOutputSignals();
  platform::RaiseOpenFileLimit();
  return driver::RunCommandLine(platform::NativeFileSystem(), platform::NativeConsole(),
                                platform::CommandLineArguments(argc, argv));
}
