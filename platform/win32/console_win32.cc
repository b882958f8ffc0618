// Win32 console. At a console, text goes out as UTF-16 through WriteConsoleW,
// so Korean prompts and every file name show right whatever the console's
// code page. Redirected, it goes out as bytes with CR LF line ends, as
// Windows programs write text: in CP949 on a Korean system (ANSI code page
// 949), whose own tools expect those bytes, and in UTF-8 everywhere else.
// Each stream is judged on its own: with the report at a console and errors
// sent to a file, the file still gets the system's encoding.
//
// Console output is gathered and written in batches (gathered_output.h, as
// at a POSIX terminal): one WriteConsoleW per line is slow, and while the
// user selects text (QuickEdit) every write waits. The batch goes out before
// each read of input, before each line on standard error, and at least every
// 100 ms, by a small thread when the run is busy elsewhere; a batch that
// comes due while a write waits on a selection is left to the next one, so
// the run waits only once what it gathered reaches the bound.
//
// Ctrl+C, Ctrl+Break, closing the console window, logoff and shutdown stand
// for the POSIX stop signals. The handler is in place from the first use of
// the console, so a Ctrl+C at the start prompt ends the run right there,
// with nothing deleted, and is never raced by the system's default handler.
// Until the run restores the default, the handler only raises a flag; the
// run then stops between two files and ends with STATUS_CONTROL_C_EXIT, the
// status Windows' own handler gives a process it ends for Ctrl+C. For the
// last three the system ends the process as soon as the handler returns, so
// the handler waits (within the system's grace period) for the run to put
// its record out and end first.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/console.h"
#include "platform/gathered_output.h"
#include "platform/per_thread.h"
#include "platform/win32/text_win32.h"

namespace platform {
namespace {

constexpr UINT kKoreanCodePage = 949;
// WriteConsoleW shares a small buffer with the console host: write in pieces.
constexpr std::size_t kConsoleChunk = 8192;
// How long the handler holds off the end of the process after a close,
// logoff or shutdown: below the 5 seconds the system grants.
constexpr DWORD kSessionEndGraceMilliseconds = 4000;
// How long a read that ended at a console waits for the Ctrl+C that may
// have ended it, whose handler runs on a thread of its own.
constexpr DWORD kInterruptedReadMilliseconds = 200;

/// What the stop events do at this point of the run.
enum StopPhase : LONG {
  kHeld = 0,      ///< before and during the run: raise the flag only
  kDefault = 1,   ///< after the run: the system's default (end at once)
};

volatile LONG g_stop_requested = 0;
volatile LONG g_stop_request_event = -1;  // the first stop event, set before the flag
volatile LONG g_stop_phase = kHeld;
HANDLE g_stop_event = nullptr;  // set together with the flag

bool EndsTheSession(DWORD event) {
  return event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
}

BOOL WINAPI NoteStopRequest(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && !EndsTheSession(event)) return FALSE;
  if (g_stop_phase == kDefault) return FALSE;
  ::InterlockedCompareExchange(&g_stop_request_event, static_cast<LONG>(event), -1);
  ::InterlockedExchange(&g_stop_requested, 1);
  if (g_stop_event != nullptr) ::SetEvent(g_stop_event);
  // The run ends the process itself once its record is out.
  if (EndsTheSession(event)) ::Sleep(kSessionEndGraceMilliseconds);
  return TRUE;
}

bool IsConsole(HANDLE handle) {
  DWORD mode;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

// A write that succeeds without writing anything would loop forever.
bool NoProgress() {
  ::SetLastError(ERROR_WRITE_FAULT);
  return false;
}

bool IsLowSurrogate(wchar_t unit) { return unit >= 0xdc00 && unit <= 0xdfff; }

UINT CodePageOf(TextEncoding encoding) {
  return encoding == TextEncoding::kCp949 ? kKoreanCodePage : CP_UTF8;
}

// Appends `bytes`, in the code page `code_page`, to `out` as UTF-16.
void AppendFromCodePage(std::wstring* out, UINT code_page, std::string_view bytes) {
  if (bytes.empty()) return;
  if (code_page == CP_UTF8) {
    win32::AppendWide(out, bytes);
    return;
  }
  const int input = static_cast<int>(bytes.size());
  const int length = ::MultiByteToWideChar(code_page, 0, bytes.data(), input, nullptr, 0);
  const std::size_t start = out->size();
  out->resize(start + static_cast<std::size_t>(length));
  ::MultiByteToWideChar(code_page, 0, bytes.data(), input, &(*out)[start], length);
}

// Appends the UTF-16 `wide` to `out` in the code page `code_page`. A
// character the code page lacks becomes '?', never a "best fit" look-alike
// ("A" for an accented A), which would show one name as another.
void AppendInCodePage(std::string* out, UINT code_page, std::wstring_view wide) {
  if (wide.empty()) return;
  if (code_page == CP_UTF8) {
    win32::AppendWtf8(out, wide);
    return;
  }
  const int input = static_cast<int>(wide.size());
  const int length = ::WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.data(), input,
                                           nullptr, 0, nullptr, nullptr);
  const std::size_t start = out->size();
  out->resize(start + static_cast<std::size_t>(length));
  ::WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.data(), input, &(*out)[start], length,
                        nullptr, nullptr);
}

class Win32Console : public Console {
 public:
  Win32Console()
      : output_(::GetStdHandle(STD_OUTPUT_HANDLE)),
        error_(::GetStdHandle(STD_ERROR_HANDLE)),
        output_is_console_(IsConsole(output_)),
        error_is_console_(IsConsole(error_)),
        input_is_console_(IsConsole(::GetStdHandle(STD_INPUT_HANDLE))),
        file_encoding_(::GetACP() == kKoreanCodePage ? TextEncoding::kCp949 : TextEncoding::kUtf8),
        encoding_(output_is_console_ ? TextEncoding::kUtf8 : file_encoding_) {
    if (output_is_console_) {
      gathered_.reset(new GatheredOutput(
          [this](OutputStream stream, std::string_view bytes, std::string* error) {
            return WriteAtOnce(stream, bytes, error);
          }));
    }
  }

  bool Write(OutputStream stream, std::string_view bytes, std::string* error) override {
    if (gathered_ != nullptr) return gathered_->Write(stream, bytes, error);
    return WriteAtOnce(stream, bytes, error);
  }

  int ReadChar() override {
    FlushBatch();  // the prompt must show before we wait
    const int c = std::getchar();
    // Ctrl+C ends a read at a console, and its handler may not have run yet.
    if (c == EOF && input_is_console_ && g_stop_event != nullptr) {
      ::WaitForSingleObject(g_stop_event, kInterruptedReadMilliseconds);
    }
    // A stop at a prompt ends the run there: the caller ends it
    // (EndByStopSignal), once its record says so.
    return c;
  }

  void Pause(int milliseconds) override {
    FlushBatch();
    ::Sleep(static_cast<DWORD>(milliseconds));
  }

  bool OutputIsInteractive() override { return output_is_console_; }

  TextEncoding Encoding() override { return encoding_; }

  bool FlushGathered(std::string* error) override {
    return gathered_ == nullptr || gathered_->Flush(error);
  }

  std::size_t GatheredBytes() override { return gathered_ == nullptr ? 0 : gathered_->gathered(); }

  /// Writes out the gathered console output; a failure is reported by the
  /// next write.
  void FlushBatch() {
    std::string ignored;
    FlushGathered(&ignored);
  }

 private:
  // Writes `bytes` to `stream` now. With the console's output gathered, only
  // one thread at a time gets here (GatheredOutput holds its write lock);
  // otherwise the report is the only writer.
  bool WriteAtOnce(OutputStream stream, std::string_view bytes, std::string* error) {
    const bool to_output = stream == OutputStream::kStandardOutput;
    const HANDLE handle = to_output ? output_ : error_;
    const bool ok = (to_output ? output_is_console_ : error_is_console_)
                        ? WriteToConsole(handle, bytes)
                        : WriteToFile(handle, bytes);
    if (!ok) *error = win32::SystemMessage(::GetLastError());
    return ok;
  }

  // `bytes` are in the report's encoding, which follows standard output: a
  // console shows them converted to UTF-16.
  bool WriteToConsole(HANDLE handle, std::string_view bytes) {
    wide_.clear();
    AppendFromCodePage(&wide_, CodePageOf(encoding_), bytes);
    return WriteWide(handle, wide_);
  }

  static bool WriteWide(HANDLE handle, const std::wstring& wide) {
    std::size_t done = 0;
    while (done < wide.size()) {
      std::size_t piece = std::min(kConsoleChunk, wide.size() - done);
      // Never split a surrogate pair between two writes.
      if (done + piece < wide.size() && IsLowSurrogate(wide[done + piece])) --piece;
      DWORD written = 0;
      if (!::WriteConsoleW(handle, wide.data() + done, static_cast<DWORD>(piece), &written, nullptr)) {
        return false;
      }
      if (written == 0) return NoProgress();
      done += written;
    }
    return true;
  }

  // Text-mode line ends: every LF goes out as CR LF, in the encoding files
  // get on this system even when the report is in another (at a console).
  bool WriteToFile(HANDLE handle, std::string_view bytes) {
    if (encoding_ != file_encoding_) {
      wide_.clear();
      AppendFromCodePage(&wide_, CodePageOf(encoding_), bytes);
      converted_.clear();
      AppendInCodePage(&converted_, CodePageOf(file_encoding_), wide_);
      bytes = converted_;
    }
    crlf_.clear();
    for (char c : bytes) {
      if (c == '\n') crlf_.push_back('\r');
      crlf_.push_back(c);
    }
    std::size_t done = 0;
    while (done < crlf_.size()) {
      const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(crlf_.size() - done, 1u << 30));
      DWORD written = 0;
      if (!::WriteFile(handle, crlf_.data() + done, piece, &written, nullptr)) return false;
      if (written == 0) return NoProgress();
      done += written;
    }
    return true;
  }

  HANDLE output_;
  HANDLE error_;
  bool output_is_console_;
  bool error_is_console_;
  bool input_is_console_;
  TextEncoding file_encoding_;  // what a redirected stream gets here
  TextEncoding encoding_;       // what the report writes in
  std::wstring wide_;  // scratch, reused for every write
  std::string converted_;
  std::string crlf_;
  // At a console: the output gathered for it. Never destroyed (the console
  // lives as long as the process), so its thread never has to be stopped.
  std::unique_ptr<GatheredOutput> gathered_;
};

Win32Console* g_console = nullptr;

void FlushConsoleAtExit() { g_console->FlushBatch(); }

}  // namespace

Console& NativeConsole() {
  static Win32Console* const console = [] {
    g_console = new Win32Console();
    g_stop_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(NoteStopRequest, TRUE);
    std::atexit(FlushConsoleAtExit);
    return g_console;
  }();
  return *console;
}

bool PathsNeedConversion(TextEncoding encoding) { return encoding == TextEncoding::kCp949; }

void AppendConvertedPath(std::string* out, std::string_view path, TextEncoding encoding) {
  if (encoding != TextEncoding::kCp949) {
    out->append(path.data(), path.size());
    return;
  }
  // Names outside CP949 (simplified Chinese, say) show as '?': the bytes
  // can't say more, and the file is deleted by its real name all the same.
  // A scratch string, reused: this runs for every name shown.
  std::wstring& wide_path = PerThread<std::wstring>();
  wide_path.clear();
  win32::AppendWide(&wide_path, path);
  AppendInCodePage(out, kKoreanCodePage, wide_path);
}

// The handler itself is installed with the console (see NativeConsole).
void DeferStopSignals() { ::InterlockedExchange(&g_stop_phase, kHeld); }

void RestoreStopSignals() {
  if (g_console != nullptr) g_console->FlushBatch();
  ::InterlockedExchange(&g_stop_phase, kDefault);
}

bool StopRequested() { return g_stop_requested != 0; }

std::string_view StopSignalName() {
  if (g_stop_requested == 0) return std::string_view();
  switch (g_stop_request_event) {
    case CTRL_C_EVENT: return "CTRL_C_EVENT";
    case CTRL_BREAK_EVENT: return "CTRL_BREAK_EVENT";
    case CTRL_CLOSE_EVENT: return "CTRL_CLOSE_EVENT";
    case CTRL_LOGOFF_EVENT: return "CTRL_LOGOFF_EVENT";
    case CTRL_SHUTDOWN_EVENT: return "CTRL_SHUTDOWN_EVENT";
    default: return std::string_view();
  }
}

void EndByStopSignal() {
  if (g_stop_requested == 0) return;
  if (g_console != nullptr) g_console->FlushBatch();
  ::ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Windows has no SIGPIPE: a write to a closed pipe already fails with an
// error (ERROR_NO_DATA), which the report shows and the run survives.
void IgnoreOutputSignals() {}

void RaiseOpenFileLimit() {}

unsigned UsableProcessorCount() {
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

// Cleaning in parallel has been measured only on Linux so far; until it has
// been on a real Windows machine, one thread is the safe default.
unsigned DefaultJobCount() { return 1; }

unsigned DefaultMostJobCount() { return DefaultJobCount(); }

}  // namespace platform
