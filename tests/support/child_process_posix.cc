#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "tests/support/child_process.h"

#ifndef BUILDSWEEP_BINARY
#error "BUILDSWEEP_BINARY must name the built buildsweep executable"
#endif

extern char** environ;

namespace testsupport {
namespace {

bool IsLocaleVariable(const char* entry) {
  for (const char* name : {"LC_ALL=", "LC_CTYPE=", "LANG="}) {
    if (std::strncmp(entry, name, std::strlen(name)) == 0) return true;
  }
  return false;
}

// Everything the child needs is prepared before fork, so the child only
// makes async-signal-safe calls.
std::vector<std::string> ChildEnvironment(const ProcessOptions& options) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!IsLocaleVariable(*entry)) env.emplace_back(*entry);
  }
  // A variable given replaces any of its name before it: with two, getenv
  // finds the first.
  for (const auto& [name, value] : options.env) {
    const std::string prefix = name + "=";
    env.erase(std::remove_if(env.begin(), env.end(),
                             [&](const std::string& entry) { return entry.rfind(prefix, 0) == 0; }),
              env.end());
    env.push_back(prefix + value);
  }
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(&s[0]);
  pointers.push_back(nullptr);
  return pointers;
}

void MakePipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::strerror(errno));
}

void WriteInput(int fd, const std::string& input) {
  std::size_t done = 0;
  while (done < input.size()) {
    const ssize_t n = ::write(fd, input.data() + done, input.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;  // the child closed its input early; what it read is what counts
    done += static_cast<std::size_t>(n);
  }
}

// Drains both output pipes until they close or the deadline passes.
bool Drain(int out_fd, int err_fd, ProcessResult* result, int timeout_seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&result->out, &result->err};
  char buffer[65536];
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
      }
    }
  }
  return true;
}

// Runs in the forked child: nothing here may allocate or throw.
[[noreturn]] void ExecBinary(const char* folder, const ChildStreams& streams,
                             const ChildOptions& options, char* const* argv) {
  const int wanted[3] = {streams.in, streams.out, streams.err};
  // Move the given descriptors clear of 0..2 first, so one dup2 can't clobber another.
  int moved[3];
  for (int i = 0; i < 3; ++i) moved[i] = wanted[i] < 0 ? -1 : ::fcntl(wanted[i], F_DUPFD, 10);
  for (int i = 0; i < 3; ++i) {
    if (moved[i] < 0) {
      ::close(i);
    } else {
      ::dup2(moved[i], i);
      ::close(moved[i]);
    }
  }
  // A test runner may have ignored or blocked signals; the binary must see
  // what a shell gives a foreground program.
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    ::signal(signal_number, SIG_DFL);
  }
  // A SIGQUIT ends the binary with a core dump, which would land in the tree.
  const struct rlimit no_core = {0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  if (options.ignored_signal != 0) ::signal(options.ignored_signal, SIG_IGN);
  if (options.file_size_limit != 0) {
    const struct rlimit limit = {options.file_size_limit, options.file_size_limit};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (options.as_nobody && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                    ::setresuid(65534, 65534, 65534) != 0)) {
    ::_exit(126);
  }
  if (::chdir(folder) != 0) ::_exit(126);
  ::execv(argv[0], argv);
  ::_exit(127);
}

int OpenForReading(const std::string& file) { return ::open(file.c_str(), O_RDONLY | O_CLOEXEC); }

}  // namespace

ProcessResult RunProcess(const ProcessOptions& options) {
  std::vector<std::string> argv_strings = options.argv;
  std::vector<std::string> env_strings = ChildEnvironment(options);
  std::vector<char*> argv = Pointers(argv_strings);
  std::vector<char*> envp = Pointers(env_strings);
  int in[2], out[2], err[2];
  MakePipe(in);
  MakePipe(out);
  MakePipe(err);
  // A child that exits without reading its input must not kill the test.
  ::signal(SIGPIPE, SIG_IGN);

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(std::strerror(errno));
  if (pid == 0) {
    if (::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  WriteInput(in[1], options.input);
  ::close(in[1]);

  ProcessResult result;
  if (!Drain(out[0], err[0], &result, options.timeout_seconds)) {
    result.timed_out = true;
    ::kill(pid, SIGKILL);
  }
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  return result;
}

std::vector<std::string> AsUnprivilegedUser(const std::vector<std::string>& argv,
                                            const std::string& workdir, std::string* why_not) {
  if (::geteuid() != 0) return argv;
  std::vector<std::string> wrapped = {"setpriv", "--reuid=65534", "--regid=65534",
                                      "--clear-groups"};
  // Probe: setpriv must exist and be allowed to drop to nobody here, and
  // nobody must be able to run the program where it was built and to work
  // in the tree (the temporary folder might lie below a private one).
  ProcessOptions probe;
  probe.argv = wrapped;
  probe.argv.insert(probe.argv.end(),
                    {"test", "-x", argv[0], "-a", "-w", workdir, "-a", "-x", workdir});
  probe.cwd = "/";
  probe.timeout_seconds = 10;
  const ProcessResult result = RunProcess(probe);
  if (result.exit_status != 0) {
    *why_not = "cannot run " + argv[0] + " in " + workdir + " as nobody through setpriv (status " +
               std::to_string(result.exit_status) + "): " + result.err;
    return {};
  }
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  return wrapped;
}

Child::Child(const std::string& folder, const ChildStreams& streams, const ChildOptions& options) {
  std::vector<char*> argv{
      const_cast<char*>(options.program != nullptr ? options.program : BUILDSWEEP_BINARY)};
  for (const std::string& argument : options.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) ExecBinary(folder.c_str(), streams, options, argv.data());
}

Child::~Child() {
  if (pid_ > 0 && !Ended()) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
  }
}

void Child::Signal(int signal_number) {
  if (pid_ > 0) ::kill(pid_, signal_number);  // never kill(-1): that is every process
}

bool Child::Ended() {
  if (pid_ <= 0) return true;
  const pid_t done = ::waitpid(pid_, &status_, WNOHANG);
  if (done == pid_) pid_ = -1;
  return pid_ <= 0;
}

bool Child::WaitForEnd(std::chrono::milliseconds limit) {
  if (PollUntil([this] { return Ended(); }, limit)) return true;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status_, 0);
  pid_ = -1;
  return false;
}

std::string DescribeStatus(int status) {
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "exited with " + std::to_string(WEXITSTATUS(status));
}

bool EndedBySignal(int status, int signal_number) {
  return WIFSIGNALED(status) && WTERMSIG(status) == signal_number;
}

bool ExitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

std::string ReadAll(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  std::string text = DrainDescriptor(fd);
  ::close(fd);
  return text;
}

std::string DrainDescriptor(int fd) {
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return text;
    }
  }
}

void Fd::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Pipe::Pipe() {
  ::signal(SIGPIPE, SIG_IGN);
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  read_end.Reset(ends[0]);
  write_end.Reset(ends[1]);
}

int OpenForWriting(const std::string& file) {
  return ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

int Answers(const std::string& folder, std::string_view text) {
  const std::string file = folder + "/answers";
  const int fd = OpenForWriting(file);
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    throw std::runtime_error("cannot write " + file);
  }
  ::close(fd);
  return OpenForReading(file);
}

void Send(const Fd& fd, std::string_view text) {
  if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    throw std::runtime_error(std::string("cannot send input: ") + std::strerror(errno));
  }
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace testsupport
