// Running the built program as a child process: either to its end with
// piped standard streams (RunProcess), or in the background with streams
// the test chose, to be signalled and watched while it runs (Child).
#ifndef BUILDSWEEP_TESTS_SUPPORT_CHILD_PROCESS_H_
#define BUILDSWEEP_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <chrono>
#include <string>
#include <string_view>
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

/// How a Child's standard stream is set up: a descriptor to hand over, or
/// closed when negative.
struct ChildStreams {
  int in = -1;
  int out = -1;
  int err = -1;
};

/// How a Child is started besides its streams.
struct ChildOptions {
  /// Run as user and group 65534 (only root can).
  bool as_nobody = false;
  /// A signal the child starts with ignored, as under nohup; 0 for none.
  int ignored_signal = 0;
  /// The most bytes the child may write to a file, as under `ulimit -f`;
  /// 0 for no limit.
  unsigned long file_size_limit = 0;
  /// The program to run; null for the built binary. Runs as nobody use a
  /// copy in the test's folder, since the build may lie below a private one.
  const char* program = nullptr;
  /// Its arguments after the program's name.
  std::vector<std::string> arguments;
};

/// The real buildsweep binary running in `folder`, with default signal
/// actions whatever the test process inherited.
class Child {
 public:
  /// Starts it.
  Child(const std::string& folder, const ChildStreams& streams, const ChildOptions& options = {});
  /// Kills the child if the test left it running.
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  /// Sends `signal_number`, unless the child has already ended.
  void Signal(int signal_number);
  /// Whether the child has ended; its wait status is then in `status()`.
  bool Ended();
  /// Waits up to `limit` for the end; false (and kills it) on timeout.
  bool WaitForEnd(std::chrono::milliseconds limit = std::chrono::seconds(20));
  /// The raw wait status once ended.
  int status() const { return status_; }

 private:
  int pid_ = -1;
  int status_ = 0;
};

/// "exited with N" or "killed by signal N", for failure messages.
std::string DescribeStatus(int status);
/// Whether the wait status says killed by `signal_number`.
bool EndedBySignal(int status, int signal_number);
/// Whether the wait status says exited with `code`.
bool ExitedWith(int status, int code);

/// The whole content of `file`; empty when it can't be opened.
std::string ReadAll(const std::string& file);
/// Reads everything from `fd` until its end.
std::string DrainDescriptor(int fd);

/// A descriptor closed when it goes out of scope.
class Fd {
 public:
  /// Takes over `fd`; -1 for none.
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  /// The descriptor, -1 once closed.
  int get() const { return fd_; }
  /// Closes it now.
  void Close();
  /// Closes it and takes over `fd` instead.
  void Reset(int fd) {
    Close();
    fd_ = fd;
  }

 private:
  int fd_;
};

/// A pipe whose ends close themselves. A child that dies early then fails
/// the test with EPIPE instead of killing it with SIGPIPE.
struct Pipe {
  Pipe();
  Fd read_end, write_end;
};

/// Opens `file` for writing, emptied or created.
int OpenForWriting(const std::string& file);
/// A file "answers" in `folder` holding `text`, opened for reading, to stand
/// in for a keyboard.
int Answers(const std::string& folder, std::string_view text);
/// Writes all of `text` to `fd`; throws when it can't.
void Send(const Fd& fd, std::string_view text);

/// Suspends the calling thread for `ms` milliseconds.
void SleepMs(int ms);

/// Polls `done` every millisecond for up to `limit`; its last answer.
template <typename Predicate>
bool PollUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    SleepMs(1);
  }
  return true;
}

}  // namespace testsupport

#endif  // BUILDSWEEP_TESTS_SUPPORT_CHILD_PROCESS_H_
