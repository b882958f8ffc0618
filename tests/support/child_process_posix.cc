#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "tests/support/child_process.h"

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
  for (const auto& [name, value] : options.env) env.push_back(name + "=" + value);
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

}  // namespace testsupport
