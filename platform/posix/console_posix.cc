#include <langinfo.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
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
#include <memory>

#include "platform/console.h"
#include "platform/gathered_output.h"

namespace platform {
namespace {

// Read by every cleaning thread; a lock-free atomic may be set from a handler.
std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set in a signal handler");

void NoteStopSignal(int signal_number) {
  g_stop_signal.store(signal_number, std::memory_order_relaxed);
}

// SIGQUIT (Ctrl+\) asks for a core dump, but a run cut short by it must
// keep its record as much as one stopped by Ctrl+C.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];

// A stop signal that was ignored when the cleaning began (under nohup, or in
// a background job of a script) is left ignored: whoever started us asked
// for it not to end the run.
bool g_left_ignored[kStopSignalCount] = {};

// Korean legacy character sets get CP949 (a superset of EUC-KR); everything
// else gets UTF-8, which is what a modern terminal expects.
TextEncoding EncodingOfCharset(const char* name) {
  std::string charset;
  for (const char* c = name; *c != '\0' && *c != '@'; ++c) {
    if (*c == '-' || *c == '_') continue;
    charset.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*c))));
  }
  if (charset == "cp949" || charset == "uhc" || charset == "euckr") return TextEncoding::kCp949;
  return TextEncoding::kUtf8;
}

// The character set of the user's locale. A locale name need not carry its
// charset ("ko_KR" and "korean" are EUC-KR), so the C library that defines
// the locale is asked first; only a locale that isn't installed is judged by
// the charset written in the variable, read in the order the library would.
TextEncoding EncodingFromEnvironment() {
  const char* previous = ::setlocale(LC_CTYPE, nullptr);
  const std::string restore = previous != nullptr ? previous : "C";
  if (::setlocale(LC_CTYPE, "") != nullptr) {
    const TextEncoding encoding = EncodingOfCharset(::nl_langinfo(CODESET));
    ::setlocale(LC_CTYPE, restore.c_str());  // the rest of the run stays byte-exact
    return encoding;
  }
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') continue;
    const char* dot = std::strchr(value, '.');
    return dot == nullptr ? TextEncoding::kUtf8 : EncodingOfCharset(dot + 1);
  }
  return TextEncoding::kUtf8;
}

// Waits until `fd` is ready for `events` (or has ended or failed).
void WaitUntilReady(int fd, short events) {
  struct pollfd wait = {fd, events, 0};
  while (::poll(&wait, 1, -1) < 0 && errno == EINTR) {
  }
}

// Waits until standard input has something to read, or has ended or
// failed; false when a stop signal that only sets the flag (see
// DeferStopSignals) came first. The stop signals are let through only
// during the wait itself, so none can slip in between the look at the flag
// and the wait; where they have their default effect, one ends the process
// in the wait, as it always did at a prompt.
bool WaitForInput() {
  sigset_t stops;
  sigset_t before;
  sigemptyset(&stops);
  for (const int signal_number : kStopSignals) sigaddset(&stops, signal_number);
  ::pthread_sigmask(SIG_BLOCK, &stops, &before);
  bool stopped = false;
  for (;;) {
    stopped = g_stop_signal.load(std::memory_order_relaxed) != 0;
    if (stopped) break;
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    if (::ppoll(&input, 1, nullptr, &before) >= 0 || errno != EINTR) break;
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return !stopped;
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
      WaitUntilReady(fd, POLLOUT);
      continue;
    }
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

int FileOf(OutputStream stream) {
  return stream == OutputStream::kStandardOutput ? STDOUT_FILENO : STDERR_FILENO;
}

bool WriteStream(OutputStream stream, std::string_view bytes, std::string* error) {
  return WriteAll(FileOf(stream), bytes, error);
}

// At a terminal, standard output is gathered (see gathered_output.h): a
// write per line to a terminal costs the run several times what the line
// does. Redirected, the report's own blocks go out as they come.
class PosixConsole : public Console {
 public:
  PosixConsole() : encoding_(EncodingFromEnvironment()), interactive_(::isatty(STDOUT_FILENO) == 1) {
    if (interactive_) gathered_.reset(new GatheredOutput(WriteStream));
    // Read a byte at a time: what a prompt did not take stays in the
    // input, not in a buffer the wait for input can't see.
    std::setvbuf(stdin, nullptr, _IONBF, 0);
  }

  bool Write(OutputStream stream, std::string_view bytes, std::string* error) override {
    if (gathered_ != nullptr) return gathered_->Write(stream, bytes, error);
    return WriteStream(stream, bytes, error);
  }

  int ReadChar() override {
    std::string ignored;  // the next write reports it
    FlushGathered(&ignored);  // the prompt must show before we wait
    for (;;) {
      if (!WaitForInput()) return EOF;  // the caller ends the run as stopped
      errno = 0;
      const int c = std::getchar();
      // A non-blocking input (set by whoever shares it) says "nothing yet",
      // which is no answer: wait for a key or for the input's true end.
      if (c != EOF || !std::ferror(stdin) || (errno != EAGAIN && errno != EWOULDBLOCK)) return c;
      std::clearerr(stdin);
      WaitUntilReady(STDIN_FILENO, POLLIN);
    }
  }

  void Pause(int milliseconds) override {
    std::string ignored;
    FlushGathered(&ignored);
    struct timespec left = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

  bool OutputIsInteractive() override { return interactive_; }
  TextEncoding Encoding() override { return encoding_; }

  bool FlushGathered(std::string* error) override {
    return gathered_ == nullptr || gathered_->Flush(error);
  }

  std::size_t GatheredBytes() override { return gathered_ == nullptr ? 0 : gathered_->gathered(); }

 private:
  TextEncoding encoding_;
  bool interactive_;
  // Never destroyed (the console lives as long as the process), so its
  // thread never has to be stopped at exit.
  std::unique_ptr<GatheredOutput> gathered_;
};

PosixConsole* g_console = nullptr;

// On a normal exit, whatever path led to it, nothing gathered stays unshown.
void FlushGatheredAtExit() {
  std::string ignored;
  g_console->FlushGathered(&ignored);
}

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
  static PosixConsole* const console = [] {
    g_console = new PosixConsole();
    std::atexit(FlushGatheredAtExit);
    return g_console;
  }();
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

std::string_view StopSignalName() {
  switch (g_stop_signal.load(std::memory_order_relaxed)) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    default: return std::string_view();
  }
}

void EndByStopSignal() {
  const int signal_number = g_stop_signal.load();
  if (signal_number == 0) return;
  // The signal ends every thread at once: what was gathered goes out first.
  if (g_console != nullptr) {
    std::string ignored;
    g_console->FlushGathered(&ignored);
  }
  ::signal(signal_number, SIG_DFL);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal_number);
  ::sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
  ::raise(signal_number);
  std::_Exit(128 + signal_number);  // only if the signal was somehow ignored
}

void IgnoreOutputSignals() {
  ::signal(SIGPIPE, SIG_IGN);
  // Over the file-size limit, write then fails with EFBIG like a full disk.
  ::signal(SIGXFSZ, SIG_IGN);
}

void RaiseOpenFileLimit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) return;
  // Some systems refuse an unlimited or very large soft limit; a bounded
  // raise still helps.
  limit.rlim_cur = 65536 < limit.rlim_max ? 65536 : limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

// What it may run on (taskset, cgroup cpusets), not what the machine has.
unsigned UsableProcessorCount() {
  long usable = 0;
#if defined(__linux__)
  cpu_set_t allowed;
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) usable = CPU_COUNT(&allowed);
#endif
  if (usable <= 0) usable = ::sysconf(_SC_NPROCESSORS_ONLN);
  return usable > 0 ? static_cast<unsigned>(usable) : 1;
}

unsigned DefaultJobCount() {
  // Beyond eight threads the file system's own locks, not the cores, set
  // the pace.
  constexpr unsigned kMostJobs = 8;
  return std::min(kMostJobs, UsableProcessorCount());
}

unsigned DefaultMostJobCount() {
  // Where every request waits on a share or a cold disk, many in flight at
  // once are what pays: on a share answering after 200 us, the floor was
  // fastest at 16 to 32 threads, and the sweep kept pace up to 64.
  constexpr unsigned kMostWaitingJobs = 32;
  return std::max(kMostWaitingJobs, DefaultJobCount());
}

}  // namespace platform
