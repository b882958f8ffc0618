#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"

namespace platform {
namespace {

// Read by every cleaning thread; a lock-free atomic may be set from a handler.
std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set in a signal handler");

void NoteStopSignal(int signal_number) {
  g_stop_signal.store(signal_number, std::memory_order_relaxed);
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];

// A stop signal that was ignored when the cleaning began (under nohup, or in
// a background job of a script) is left ignored: whoever started us asked
// for it not to end the run.
bool g_left_ignored[kStopSignalCount] = {};

// The character set named by the locale variables, in the order the C
// library consults them. Korean legacy locales get CP949; everything else
// gets UTF-8, which is what a modern terminal expects.
TextEncoding EncodingFromEnvironment() {
  const char* locale = nullptr;
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') {
      locale = value;
      break;
    }
  }
  if (locale == nullptr) return TextEncoding::kUtf8;
  const char* dot = std::strchr(locale, '.');
  if (dot == nullptr) return TextEncoding::kUtf8;
  std::string charset;
  for (const char* c = dot + 1; *c != '\0' && *c != '@'; ++c) {
    if (*c == '-' || *c == '_') continue;
    charset.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*c))));
  }
  if (charset == "cp949" || charset == "uhc" || charset == "euckr") return TextEncoding::kCp949;
  return TextEncoding::kUtf8;
}

bool WriteAll(int fd, std::string_view bytes, std::string* error) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n >= 0) {
      data += n;
      left -= static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {  // a non-blocking descriptor inherited from the shell
      struct pollfd wait_for_room = {fd, POLLOUT, 0};
      ::poll(&wait_for_room, 1, -1);
      continue;
    }
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

class PosixConsole : public Console {
 public:
  PosixConsole() : encoding_(EncodingFromEnvironment()), interactive_(::isatty(STDOUT_FILENO) == 1) {}

  bool Write(OutputStream stream, std::string_view bytes, std::string* error) override {
    return WriteAll(stream == OutputStream::kStandardOutput ? STDOUT_FILENO : STDERR_FILENO, bytes,
                    error);
  }

  int ReadChar() override { return std::getchar(); }

  void Pause(int milliseconds) override {
    struct timespec left = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

  bool OutputIsInteractive() override { return interactive_; }
  TextEncoding Encoding() override { return encoding_; }

 private:
  TextEncoding encoding_;
  bool interactive_;
};

void SetStopSignalAction(void (*action)(int)) {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = action;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;  // a signal must not make a write or unlink fail
  for (int i = 0; i < kStopSignalCount; ++i) {
    if (!g_left_ignored[i]) ::sigaction(kStopSignals[i], &sa, nullptr);
  }
}

}  // namespace

Console& NativeConsole() {
  static PosixConsole* const console = new PosixConsole();
  return *console;
}

// File names are written as the file system holds them.
bool PathsNeedConversion(TextEncoding) { return false; }

void AppendConvertedPath(std::string* out, std::string_view path, TextEncoding) {
  out->append(path.data(), path.size());
}

void DeferStopSignals() {
  for (int i = 0; i < kStopSignalCount; ++i) {
    struct sigaction current;
    g_left_ignored[i] =
        ::sigaction(kStopSignals[i], nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
  }
  SetStopSignalAction(NoteStopSignal);
}

void RestoreStopSignals() { SetStopSignalAction(SIG_DFL); }

bool StopRequested() { return g_stop_signal.load(std::memory_order_relaxed) != 0; }

void EndByStopSignal() {
  const int signal_number = g_stop_signal.load();
  if (signal_number == 0) return;
  ::signal(signal_number, SIG_DFL);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal_number);
  ::sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
  ::raise(signal_number);
  std::_Exit(128 + signal_number);  // only if the signal was somehow ignored
}

void IgnoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

unsigned DefaultJobCount() {
  // Beyond eight threads the file system's own locks, not the cores, set
  // the pace; below that, use what the process may run on (taskset, cgroup
  // cpusets), not what the machine has.
  constexpr unsigned kMostJobs = 8;
  long usable = 0;
#if defined(__linux__)
  cpu_set_t allowed;
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) usable = CPU_COUNT(&allowed);
#endif
  if (usable <= 0) usable = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (usable <= 0) return 1;
  return std::min(kMostJobs, static_cast<unsigned>(usable));
}

}  // namespace platform
