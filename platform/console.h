// Console input and output, the pause, and interruption: the process-level
// services the run needs besides the file system.
#ifndef BUILDSWEEP_PLATFORM_CONSOLE_H_
#define BUILDSWEEP_PLATFORM_CONSOLE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

/// The character set in which output is written.
enum class TextEncoding { kUtf8, kCp949 };

/// One of the two output streams.
enum class OutputStream { kStandardOutput, kStandardError };

/// Standard input and output of the process. A class so that tests can
/// capture output or make writing fail without touching real descriptors.
class Console {
 public:
  virtual ~Console() = default;

  /// Writes all of `bytes` to `stream`. False, with the system's reason in
  /// `error`, when they could not all be written.
  virtual bool Write(OutputStream stream, std::string_view bytes, std::string* error) = 0;

  /// Reads one character from standard input; -1 at its end. Everything
  /// written so far is shown first. A stop signal while waiting ends the
  /// process there where it has its default effect (POSIX, before
  /// DeferStopSignals); where it only sets the flag, it ends the wait: -1,
  /// and StopRequested says so, for the caller to end the run.
  virtual int ReadChar() = 0;

  /// Suspends the process for `milliseconds`.
  virtual void Pause(int milliseconds) = 0;

  /// Whether standard output is shown to a person as it is written (a
  /// terminal or console), so that every line should be handed over at once.
  /// Such a console may gather the lines and show them in batches, at the
  /// latest 100 ms after they came, before each read and before anything
  /// goes to standard error.
  virtual bool OutputIsInteractive() = 0;

  /// Writes out now whatever standard output the console has gathered.
  /// False, with the system's reason in `error`, when this or an earlier
  /// batch could not be written.
  virtual bool FlushGathered(std::string* /*error*/) { return true; }

  /// How many bytes of standard output the console has gathered and not
  /// yet written. Safe to ask from any thread.
  virtual std::size_t GatheredBytes() { return 0; }

  /// The character set that standard output should be written in.
  virtual TextEncoding Encoding() = 0;
};

/// The process's own standard streams.
Console& NativeConsole();

/// Whether displayed paths (see file_system.h) must be converted before they
/// can be written in `encoding`. False where paths already are output bytes.
bool PathsNeedConversion(TextEncoding encoding);

/// Appends `path` converted to `encoding`; used only when PathsNeedConversion.
void AppendConvertedPath(std::string* out, std::string_view path, TextEncoding encoding);

/// From now on SIGINT, SIGTERM, SIGHUP and SIGQUIT (on Windows Ctrl+C, Ctrl+Break,
/// closing the console, logoff and shutdown, which are held so from the
/// first use of the console on) only set a flag that StopRequested reports,
/// so the run can stop between two files and keep its record complete. One
/// the process was started with ignored (nohup) stays ignored.
void DeferStopSignals();

/// Gives the stop signals their default effect again (end the process).
void RestoreStopSignals();

/// Whether a deferred stop signal has arrived.
bool StopRequested();

/// The name of the deferred stop signal that arrived ("SIGINT"; on Windows
/// the console's event, "CTRL_C_EVENT"), for the record; empty while none has.
std::string_view StopSignalName();

/// Ends the process the way the deferred stop signal would have, so that a
/// shell sees the conventional status. Returns only if that is impossible.
void EndByStopSignal();

/// How many processors this process may run on, at least 1.
unsigned UsableProcessorCount();

/// How many threads a run cleans with unless told otherwise: the processors
/// this process may use, at most 8, on POSIX systems; 1 on Windows, where
/// running in parallel has not been measured on a real machine yet.
unsigned DefaultJobCount();

/// How many threads a run without -j may grow to while folders keep it
/// waiting on the file system (a share, a cold cache): 32 on POSIX systems
/// (or DefaultJobCount, if more), where threads waiting cost no processor;
/// on Windows DefaultJobCount itself.
unsigned DefaultMostJobCount();

/// Makes a write to a closed pipe, or one beyond the file-size limit, fail
/// with an error instead of killing the process, so the run can report it
/// and end cleanly.
void IgnoreOutputSignals();

/// Raises the process's own limit on open files as far as the system lets
/// it, so that deep trees cost fewer reopened folders.
void RaiseOpenFileLimit();

}  // namespace platform

#endif  // BUILDSWEEP_PLATFORM_CONSOLE_H_
