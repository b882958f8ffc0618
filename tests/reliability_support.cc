#include "tests/reliability_support.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#ifndef BUILDSWEEP_BINARY
#error "BUILDSWEEP_BINARY must name the built buildsweep executable"
#endif

namespace reliability {

TempDir::TempDir(Storage storage) {
  const char* base = std::getenv("TMPDIR");
  if (base == nullptr || *base == '\0') base = "/tmp";
  if (storage == Storage::kMemoryIfAvailable && ::access("/dev/shm", W_OK | X_OK) == 0) {
    base = "/dev/shm";
  }
  std::string pattern = std::string(base) + "/buildsweep-rel.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  // Canonical, so the paths a run prints can be compared with ours.
  path_ = fs::canonical(pattern);
}

TempDir::~TempDir() {
  // Tests lock folders; open them again so everything can be removed.
  std::error_code ignored;
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path_, ignored);
}

void MakeFile(const fs::path& file) {
  fs::create_directories(file.parent_path());
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) throw std::runtime_error("cannot create " + file.string());
  ::close(fd);
}

void MakeFiles(const fs::path& folder, std::string_view prefix, std::string_view suffix,
               std::size_t count) {
  fs::create_directories(folder);
  for (std::size_t i = 0; i < count; ++i) {
    MakeFile(folder / (std::string(prefix) + std::to_string(i) + std::string(suffix)));
  }
}

std::set<std::string> FilesBelow(const fs::path& root) {
  std::set<std::string> files;
  std::error_code ignored;
  for (auto it = fs::recursive_directory_iterator(root, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_symlink(ignored) || !it->is_directory(ignored)) files.insert(it->path().string());
  }
  return files;
}

std::set<std::string> DeletedPaths(std::string_view report) {
  static constexpr std::string_view kLabel = "Delete : ";
  std::set<std::string> paths;
  std::size_t at = 0;
  while (at < report.size()) {
    std::size_t end = report.find('\n', at);
    if (end == std::string_view::npos) end = report.size();
    std::string_view line = report.substr(at, end - at);
    // A line cut short by the end of the output has no trailing blank.
    if (line.substr(0, kLabel.size()) == kLabel && line.size() > kLabel.size() && line.back() == ' ') {
      paths.emplace(line.substr(kLabel.size(), line.size() - kLabel.size() - 1));
    }
    at = end + 1;
  }
  return paths;
}

std::size_t CountOf(std::string_view text, std::string_view needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const fs::path& folder)
    : previous_(fs::current_path()) {
  fs::current_path(folder);
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() { fs::current_path(previous_); }

bool RecordingConsole::Write(platform::OutputStream stream, std::string_view bytes,
                             std::string* error) {
  if (stream == platform::OutputStream::kStandardError) {
    if (fail_errors) {
      *error = "Input/output error";
      return false;
    }
    err.append(bytes);
    return true;
  }
  if (output_writes_++ >= fail_output_from) {
    *error = "No space left on device";
    return false;
  }
  out.append(bytes);
  return true;
}

int RecordingConsole::ReadChar() {
  if (next_input_ >= input_.size()) return -1;
  return static_cast<unsigned char>(input_[next_input_++]);
}

namespace {

// Runs in the forked child: nothing here may allocate or throw.
[[noreturn]] void ExecBinary(const char* folder, const ChildStreams& streams,
                             const ChildOptions& options) {
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
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::signal(signal_number, SIG_DFL);
  if (options.ignored_signal != 0) ::signal(options.ignored_signal, SIG_IGN);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (options.as_nobody && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                    ::setresuid(65534, 65534, 65534) != 0)) {
    ::_exit(126);
  }
  if (::chdir(folder) != 0) ::_exit(126);
  const char* program = options.program != nullptr ? options.program : BUILDSWEEP_BINARY;
  char* const argv[] = {const_cast<char*>(program), nullptr};
  ::execv(program, argv);
  ::_exit(127);
}

}  // namespace

Child::Child(const fs::path& folder, const ChildStreams& streams, const ChildOptions& options) {
  const std::string folder_text = folder.string();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) ExecBinary(folder_text.c_str(), streams, options);
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

std::string ReadAll(const fs::path& file) {
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

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace reliability
