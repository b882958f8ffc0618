// What the user reads: the buffered report on standard output and the error
// lines on standard error, kept in program order.
#ifndef BUILDSWEEP_ENGINE_REPORT_H_
#define BUILDSWEEP_ENGINE_REPORT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/console.h"

namespace engine {

/// A fixed text in both character sets that output can be written in.
struct LocalizedText {
  std::string_view utf8;
  std::string_view cp949;
};

/// Appends `path` to `out` with every control character escaped, so that a
/// file name can neither break a report line nor drive the terminal. C0
/// controls and DEL become \n, \t, \r or \xHH; in UTF-8 output the C1
/// controls U+0080..U+009F become \u0080..\u009f; where `\` is no path
/// separator it is doubled, so that an escape can't be forged. Every other
/// byte is kept.
void AppendEscaped(std::string* out, std::string_view path, platform::TextEncoding encoding);

/// The report. Lines are collected in a buffer and written in blocks of at
/// most kBlockLimit bytes of whole lines, so that when output fails no more
/// than that is lost; at a terminal every line is handed to the console as
/// soon as it ends, and the console shows it within moments (see console.h).
class Report {
 public:
  /// The most bytes of ended lines that are ever held back unwritten.
  static constexpr std::size_t kBlockLimit = std::size_t{64} * 1024;

  /// Reports to `console`, in blocks of at most `block_limit` bytes (at most
  /// kBlockLimit): where several reports feed one output, each takes a share
  /// of the bound.
  explicit Report(platform::Console& console, std::size_t block_limit = kBlockLimit);
  ~Report();
  Report(const Report&) = delete;
  Report& operator=(const Report&) = delete;

  /// Appends plain ASCII text.
  Report& Text(std::string_view ascii);
  /// Appends a fixed text in the output's character set.
  Report& Text(const LocalizedText& text);
  /// Appends a path, escaped and converted for display.
  Report& Path(std::string_view path);
  /// Appends a path that AppendForDisplay has already made displayable.
  Report& DisplayedPath(std::string_view displayed);
  /// Appends the path of the file whose name AppendForDisplay has made
  /// displayable, inside the folder `displayed_folder` (displayable too). Lets
  /// a folder's path be converted and escaped once for all its files.
  Report& DisplayedPathInFolder(std::string_view displayed_folder, std::string_view displayed_name);
  /// Makes room for `bytes` more, so that appending them cannot fail for
  /// want of memory: a line about something already done is never lost.
  void MakeRoom(std::size_t bytes);
  /// Calls `counted(bytes)` from MakeRoom, before the line is made: where
  /// several reports share one bound, the line counts against it (and may
  /// wait for room) before the deed it records is done.
  void CountLinesAhead(std::function<void(std::size_t)> counted) {
    count_ahead_ = std::move(counted);
  }
  /// Appends `text` from the system (a path or a reason) to `out` the way
  /// Path shows it: converted to the output's character set and escaped.
  void AppendForDisplay(std::string* out, std::string_view text);
  /// Appends a decimal number.
  Report& Number(long long value);
  /// Appends a decimal size.
  Report& Size(std::uint64_t value);
  /// Appends a JSON string holding `text` (see AppendJsonString).
  Report& JsonString(std::string_view text);
  /// Appends the JSON field `key` for the path `path` (see AppendJsonPath).
  Report& JsonPath(std::string_view key, std::string_view path);
  /// Ends the line; at a terminal, the line is handed to the console now.
  Report& EndLine();
  /// Writes out everything collected so far, at a terminal also what the
  /// console has gathered.
  void Flush();
  /// Drops the line being built, if one is: what memory running out cut
  /// short, so that what is written after it starts a line of its own.
  void DropUnfinishedLine() { buffer_.resize(line_start_); }
  /// Makes the report JSON Lines (--json): each line one object, the
  /// lines that are only there for people (banners, prompts) left out, and
  /// every error line also written as an object in its place in the report.
  void UseJson() { json_ = true; }
  /// Whether the report is JSON Lines.
  bool json() const { return json_; }
  /// How many bytes are collected here and not yet handed to the console.
  /// A terminal's console may hold more (Console::GatheredBytes): a failed
  /// write may lose both.
  std::size_t held() const { return buffer_.size(); }

  /// Writes "Error: cannot <action> '<path>': <reason>" to standard error,
  /// path and reason shown as Path shows them; in JSON also the object
  /// {"type":"error","action":...,"path":...,"reason":...}.
  void CannotError(std::string_view action, std::string_view path, std::string_view reason);
  /// Writes `line` and a line feed to standard error, after everything
  /// reported so far, so both streams keep program order; in JSON also the
  /// object {"type":"error","message":...}, with "message_hex" where the
  /// line is not UTF-8 (see AppendJsonPath).
  void Error(std::string_view line);
  /// Passes on `bytes` that another Report wrote to `stream`: whole lines,
  /// already in the output's character set. Standard output is buffered and
  /// flushed as EndLine would; standard error goes out at once, in order.
  void PassOn(platform::OutputStream stream, std::string_view bytes);

  /// Whether standard output failed; the reason has been reported once.
  /// Safe to ask from any thread.
  bool output_failed() const { return output_failed_.load(std::memory_order_relaxed); }
  /// The console behind the report.
  platform::Console& console() { return console_; }

 private:
  template <typename Integer>
  Report& Decimal(Integer value);
  void FlushIfFull(std::size_t line_start);
  void LinesEnded();
  void WriteOut(std::size_t size);
  void OutputFailed(std::string_view reason);
  void WriteError(std::string_view line);

  platform::Console& console_;
  platform::TextEncoding encoding_;
  bool interactive_;
  bool paths_need_conversion_;
  bool json_ = false;
  std::atomic<bool> output_failed_{false};
  std::string buffer_;
  std::size_t line_start_ = 0;  // where the line being built begins in buffer_
  std::size_t block_limit_ = kBlockLimit;
  std::string converted_;  // reused for paths that need conversion
  std::function<void(std::size_t)> count_ahead_;
};

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_REPORT_H_
