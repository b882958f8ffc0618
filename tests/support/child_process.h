// Running the built program as a child process with piped standard streams.
#ifndef BUILDSWEEP_TESTS_SUPPORT_CHILD_PROCESS_H_
#define BUILDSWEEP_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

/// What to run and how.
struct ProcessOptions {
  /// The command; argv[0] is searched in PATH.
  std::vector<std::string> argv;
  /// Written to standard input, which is then closed.
  std::string input;
  /// The child's working directory.
  std::string cwd;
  /// Variables set on top of the inherited environment, after the locale
  /// variables (LC_ALL, LC_CTYPE, LANG) have been removed from it.
  std::vector<std::pair<std::string, std::string>> env;
  /// A child still running after this long is killed, so a program that
  /// wrongly waits for input fails the test instead of hanging it.
  int timeout_seconds = 60;
};

/// How the child ended and what it wrote.
struct ProcessResult {
  /// The exit status, or -1 when the child did not exit normally.
  int exit_status = -1;
  /// Whether the child had to be killed at the timeout.
  bool timed_out = false;
  /// Everything written to standard output.
  std::string out;
  /// Everything written to standard error.
  std::string err;
};

/// Runs the child to its end, feeding and draining its streams concurrently.
ProcessResult RunProcess(const ProcessOptions& options);

/// `argv` wrapped so that it runs without root's rights: as is when the tests
/// are not root, through setpriv as nobody (uid/gid 65534) when they are.
/// Empty, with the reason in `why_not`, when that is impossible here or when
/// that user could not run argv[0] in the folder `workdir`.
std::vector<std::string> AsUnprivilegedUser(const std::vector<std::string>& argv,
                                            const std::string& workdir, std::string* why_not);

}  // namespace testsupport

#endif  // BUILDSWEEP_TESTS_SUPPORT_CHILD_PROCESS_H_
