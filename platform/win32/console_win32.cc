// Win32 console. At a console, text goes out as UTF-16 through WriteConsoleW,
// so Korean prompts and every file name show right whatever the console's
// code page. Redirected, it goes out as bytes with CR LF line ends, as
// Windows programs write text: in CP949 on a Korean system (ANSI code page
// 949), whose own tools expect those bytes, and in UTF-8 everywhere else.
//
// Ctrl+C and Ctrl+Break stand for the POSIX stop signals. While deferred,
// they only raise a flag; the run then stops between two files and ends
// with STATUS_CONTROL_C_EXIT, the status Windows' own handler gives a
// process it ends for Ctrl+C, so callers see the usual interrupted status.
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "platform/console.h"
#include "platform/win32/text_win32.h"

namespace platform {
namespace {

constexpr UINT kKoreanCodePage = 949;
// WriteConsoleW shares a small buffer with the console host: write in pieces.
constexpr std::size_t kConsoleChunk = 8192;

volatile LONG g_stop_requested = 0;

BOOL WINAPI NoteStopRequest(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  ::InterlockedExchange(&g_stop_requested, 1);
  return TRUE;  // handled: don't end the process now
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

class Win32Console : public Console {
 public:
  Win32Console()
      : output_(::GetStdHandle(STD_OUTPUT_HANDLE)),
        error_(::GetStdHandle(STD_ERROR_HANDLE)),
        output_is_console_(IsConsole(output_)),
        error_is_console_(IsConsole(error_)),
        encoding_(!output_is_console_ && ::GetACP() == kKoreanCodePage ? TextEncoding::kCp949
                                                                        : TextEncoding::kUtf8) {}

  bool Write(OutputStream stream, std::string_view bytes, std::string* error) override {
    const bool to_output = stream == OutputStream::kStandardOutput;
    const HANDLE handle = to_output ? output_ : error_;
    const bool ok = (to_output ? output_is_console_ : error_is_console_)
                        ? WriteToConsole(handle, bytes)
                        : WriteToFile(handle, bytes);
    if (!ok) *error = win32::SystemMessage(::GetLastError());
    return ok;
  }

  int ReadChar() override { return std::getchar(); }

  void Pause(int milliseconds) override { ::Sleep(static_cast<DWORD>(milliseconds)); }

  bool OutputIsInteractive() override { return output_is_console_; }

  TextEncoding Encoding() override { return encoding_; }

 private:
  // `bytes` are in the output encoding (only standard error can be a
  // console while standard output is a CP949 file).
  bool WriteToConsole(HANDLE handle, std::string_view bytes) {
    wide_.clear();
    if (encoding_ == TextEncoding::kCp949) {
      AppendFromCodePage(kKoreanCodePage, bytes);
    } else {
      win32::AppendWide(&wide_, bytes);
    }
    std::size_t done = 0;
    while (done < wide_.size()) {
      std::size_t piece = std::min(kConsoleChunk, wide_.size() - done);
      // Never split a surrogate pair between two writes.
      if (done + piece < wide_.size() && IsLowSurrogate(wide_[done + piece])) --piece;
      DWORD written = 0;
      if (!::WriteConsoleW(handle, wide_.data() + done, static_cast<DWORD>(piece), &written, nullptr)) {
        return false;
      }
      if (written == 0) return NoProgress();
      done += written;
    }
    return true;
  }

  // Text-mode line ends: every LF goes out as CR LF.
  bool WriteToFile(HANDLE handle, std::string_view bytes) {
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

  void AppendFromCodePage(UINT code_page, std::string_view bytes) {
    if (bytes.empty()) return;
    const int input = static_cast<int>(bytes.size());
    const int length = ::MultiByteToWideChar(code_page, 0, bytes.data(), input, nullptr, 0);
    const std::size_t start = wide_.size();
    wide_.resize(start + static_cast<std::size_t>(length));
    ::MultiByteToWideChar(code_page, 0, bytes.data(), input, &wide_[start], length);
  }

  HANDLE output_;
  HANDLE error_;
  bool output_is_console_;
  bool error_is_console_;
  TextEncoding encoding_;
  std::wstring wide_;  // scratch, reused for every write
  std::string crlf_;
};

}  // namespace

Console& NativeConsole() {
  static Win32Console* const console = new Win32Console();
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
  const std::wstring wide = win32::WideFromWtf8(path);
  if (wide.empty()) return;
  const int input = static_cast<int>(wide.size());
  const int length = ::WideCharToMultiByte(kKoreanCodePage, 0, wide.data(), input, nullptr, 0, nullptr, nullptr);
  const std::size_t start = out->size();
  out->resize(start + static_cast<std::size_t>(length));
  ::WideCharToMultiByte(kKoreanCodePage, 0, wide.data(), input, &(*out)[start], length, nullptr, nullptr);
}

void DeferStopSignals() { ::SetConsoleCtrlHandler(NoteStopRequest, TRUE); }

void RestoreStopSignals() { ::SetConsoleCtrlHandler(NoteStopRequest, FALSE); }

bool StopRequested() { return g_stop_requested != 0; }

void EndByStopSignal() {
  if (g_stop_requested == 0) return;
  ::ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Windows has no SIGPIPE: a write to a closed pipe already fails with an
// error (ERROR_NO_DATA), which the report shows and the run survives.
void IgnoreOutputSignals() {}

void RaiseOpenFileLimit() {}

}  // namespace platform
