// The command line: what the user asked for, as a plain value that the run
// reads, and the parser that fills it.
#ifndef BUILDSWEEP_DRIVER_OPTIONS_H_
#define BUILDSWEEP_DRIVER_OPTIONS_H_

#include <string>
#include <vector>

namespace driver {

/// Everything the command line can ask for. The default value is the run
/// without arguments.
struct Options {
  /// Show the usage and end.
  bool show_help = false;
  /// Show the version and end.
  bool show_version = false;
  /// List what a run would delete, with the space it frees; delete nothing.
  bool dry_run = false;
  /// Ask nothing: no prompts, nothing read from standard input.
  bool no_prompts = false;
  /// The folders to clean, in the order given; empty means the current one.
  std::vector<std::string> folders;
  /// Wildcards for names of folders not to enter and files to leave alone.
  std::vector<std::string> exclusions;
  /// Delete listed files that git tracks too; by default a file that its
  /// work tree's index tracks is kept.
  bool include_tracked = false;
  /// Keep listed files modified less than this many seconds ago (and any
  /// dated in the future); -1 when every listed file may go.
  long long older_than_seconds = -1;
  /// Move the by-products into the desktop's trash, from where any file
  /// manager restores them, instead of deleting them.
  bool trash = false;
  /// Report in JSON Lines instead of text, and ask nothing unless `ask`.
  bool json = false;
  /// Show both prompts even where the run would not (-n, --json).
  bool ask = false;
  /// Threads that clean; 0 for the system's default (see
  /// platform::DefaultJobCount). The report is the same for any number.
  unsigned jobs = 0;
};

/// What parsing made of the arguments.
struct ParsedCommandLine {
  /// The options, valid when `error` is empty.
  Options options;
  /// The problem with the arguments, one line without its line feed; empty
  /// when they were fine.
  std::string error;
};

/// Parses `arguments` (without the program's name). Short options combine
/// (-ny), a value may follow its option in the same argument or the next
/// (-xGLOB, -x GLOB, --exclude=GLOB, --exclude GLOB), a long option may be
/// shortened to any unambiguous prefix, options may follow folders, and
/// "--" ends the options.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

/// The text --help shows.
std::string HelpText();

/// The text --version shows, line feed included.
std::string VersionText();

}  // namespace driver

#endif  // BUILDSWEEP_DRIVER_OPTIONS_H_
