#include "engine/report.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>

#include "engine/json.h"
#include "platform/file_system.h"

namespace engine {
namespace {

bool IsC0OrDelete(unsigned char c) { return c < 0x20 || c == 0x7f; }

void AppendHexByte(std::string* out, unsigned char c) {
  static const char kDigits[] = "0123456789abcdef";
  out->push_back(kDigits[c >> 4]);
  out->push_back(kDigits[c & 0xf]);
}

void AppendEscapedControl(std::string* out, unsigned char c) {
  out->push_back('\\');
  switch (c) {
    case '\n': out->push_back('n'); return;
    case '\r': out->push_back('r'); return;
    case '\t': out->push_back('t'); return;
    default: out->push_back('x'); AppendHexByte(out, c); return;
  }
}

// Bytes of `word` that are zero come out with their high bit set (and no
// others, as long as no byte below them borrows: bytes above a zero may be
// flagged too, which only makes the caller look closer).
std::uint64_t ZeroBytes(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  return (word - kOnes) & ~word & (kOnes * 0x80);
}

// Whether no byte of `word` may need an escape: no control byte, no DEL, no
// backslash when it is to be escaped and (in UTF-8) no 0xc2, which begins
// the C1 controls.
bool WordIsPlain(std::uint64_t word, bool utf8, bool escape_backslash) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  // Below 0x20: the byte minus 0x20 borrows, and its high bit was clear.
  std::uint64_t suspect = (word - kOnes * 0x20) & ~word & (kOnes * 0x80);
  suspect |= ZeroBytes(word ^ (kOnes * 0x7f));
  if (utf8) suspect |= ZeroBytes(word ^ (kOnes * 0xc2));
  if (escape_backslash) suspect |= ZeroBytes(word ^ (kOnes * '\\'));
  return suspect == 0;
}

// How many bytes from the start of `text` certainly need no escape, looked
// at a word at a time: all of them, for most names. What whole words leave
// over is looked at as the last word of the text, or for a text shorter
// than a word as that text padded with plain bytes.
std::size_t PlainPrefix(std::string_view text, bool utf8, bool escape_backslash) {
  constexpr std::size_t kWord = sizeof(std::uint64_t);
  std::size_t plain = 0;
  std::uint64_t word;
  while (plain + kWord <= text.size()) {
    std::memcpy(&word, text.data() + plain, kWord);
    if (!WordIsPlain(word, utf8, escape_backslash)) return plain;
    plain += kWord;
  }
  if (plain == text.size()) return plain;
  if (text.size() >= kWord) {
    std::memcpy(&word, text.data() + text.size() - kWord, kWord);
  } else {
    word = 0x0101010101010101ull * 'a';
    std::memcpy(&word, text.data(), text.size());
  }
  return WordIsPlain(word, utf8, escape_backslash) ? text.size() : plain;
}

}  // namespace

void AppendEscaped(std::string* out, std::string_view path, platform::TextEncoding encoding) {
  const bool utf8 = encoding == platform::TextEncoding::kUtf8;
  // Where a backslash is no separator it can be part of a name, and is then
  // doubled, so that "a\\n" can't be taken for the escape of a line feed.
  const bool escape_backslash = platform::kPathSeparator != '\\';
  std::size_t clean_from = 0;  // start of the run of bytes copied unchanged
  for (std::size_t i = PlainPrefix(path, utf8, escape_backslash); i < path.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    // In UTF-8, U+0080..U+009F are the two bytes C2 80..C2 9F. In CP949 those
    // bytes form ordinary Hangul, so they are only escaped in UTF-8.
    const bool c1 = utf8 && c == 0xc2 && i + 1 < path.size() &&
                    static_cast<unsigned char>(path[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(path[i + 1]) <= 0x9f;
    const bool backslash = escape_backslash && c == '\\';
    if (!IsC0OrDelete(c) && !c1 && !backslash) continue;
    out->append(path.data() + clean_from, i - clean_from);
    if (backslash) {
      out->append("\\\\");
    } else if (c1) {
      out->append("\\u00");
      AppendHexByte(out, static_cast<unsigned char>(path[++i]));
    } else {
      AppendEscapedControl(out, c);
    }
    clean_from = i + 1;
  }
  out->append(path.data() + clean_from, path.size() - clean_from);
}

Report::Report(platform::Console& console, std::size_t block_limit)
    : console_(console),
      encoding_(console.Encoding()),
      interactive_(console.OutputIsInteractive()),
      paths_need_conversion_(platform::PathsNeedConversion(encoding_)),
      block_limit_(block_limit < kBlockLimit ? block_limit : kBlockLimit) {
  // Room for a block saves growing the buffer line by line; short of memory
  // it grows as lines come (each made room for before its file goes).
  try {
    buffer_.reserve(block_limit_ + 4096);
  } catch (const std::bad_alloc&) {
  }
}

Report::~Report() { Flush(); }

Report& Report::Text(std::string_view ascii) {
  buffer_.append(ascii);
  return *this;
}

Report& Report::Text(const LocalizedText& text) {
  buffer_.append(encoding_ == platform::TextEncoding::kCp949 ? text.cp949 : text.utf8);
  return *this;
}

Report& Report::Path(std::string_view path) {
  AppendForDisplay(&buffer_, path);
  return *this;
}

Report& Report::DisplayedPath(std::string_view displayed) {
  buffer_.append(displayed);
  return *this;
}

Report& Report::DisplayedPathInFolder(std::string_view displayed_folder,
                                      std::string_view displayed_name) {
  buffer_.append(displayed_folder);
  // Converting and escaping never touch a separator, so joining the
  // displayed parts gives the displayed whole.
  platform::AppendPathComponent(&buffer_, displayed_name);
  return *this;
}

void Report::MakeRoom(std::size_t bytes) {
  if (count_ahead_) count_ahead_(bytes);
  if (buffer_.capacity() - buffer_.size() < bytes) buffer_.reserve(buffer_.size() + bytes);
}

void Report::AppendForDisplay(std::string* out, std::string_view text) {
  if (paths_need_conversion_) {
    converted_.clear();
    platform::AppendConvertedPath(&converted_, text, encoding_);
    text = converted_;
  }
  AppendEscaped(out, text, encoding_);
}

template <typename Integer>
Report& Report::Decimal(Integer value) {
  char digits[24];
  const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value);
  buffer_.append(digits, static_cast<std::size_t>(written.ptr - digits));
  return *this;
}

Report& Report::Number(long long value) { return Decimal(value); }

Report& Report::Size(std::uint64_t value) { return Decimal(value); }

Report& Report::JsonString(std::string_view text) {
  AppendJsonString(&buffer_, text);
  return *this;
}

Report& Report::JsonPath(std::string_view key, std::string_view path) {
  AppendJsonPath(&buffer_, key, path);
  return *this;
}

Report& Report::EndLine() {
  buffer_.push_back('\n');
  LinesEnded();
  return *this;
}

// The buffer ends with a whole line: a terminal's console is handed it now
// (and shows it within moments); otherwise it waits until the block is full.
// The line is whole before it is handed on: memory running out on the way
// (a worker's console keeping it) leaves it held, not cut short.
void Report::LinesEnded() {
  const std::size_t before = line_start_;
  line_start_ = buffer_.size();
  if (interactive_) {
    WriteOut(buffer_.size());
  } else {
    FlushIfFull(before);
  }
}

void Report::FlushIfFull(std::size_t line_start) {
  if (buffer_.size() <= block_limit_) return;
  // Write the lines before this one first, so that no more than the limit
  // is ever held back; a line longer than the limit goes out on its own.
  if (line_start > 0) WriteOut(line_start);
  if (buffer_.size() >= block_limit_) WriteOut(buffer_.size());
}

void Report::Flush() {
  WriteOut(buffer_.size());
  std::string reason;
  if (interactive_ && !output_failed() && !console_.FlushGathered(&reason)) OutputFailed(reason);
}

// Writes the first `size` bytes of the buffer and drops them.
void Report::WriteOut(std::size_t size) {
  if (size == 0) return;
  if (!output_failed()) {
    std::string reason;
    if (!console_.Write(platform::OutputStream::kStandardOutput,
                        std::string_view(buffer_.data(), size), &reason)) {
      OutputFailed(reason);
    }
  }
  buffer_.erase(0, size);
  line_start_ = line_start_ > size ? line_start_ - size : 0;
}

void Report::OutputFailed(std::string_view reason) {
  // Say it once: every later write would fail the same way.
  output_failed_.store(true, std::memory_order_relaxed);
  std::string line = "Error: cannot write standard output: ";
  AppendForDisplay(&line, reason);
  line += "\n";
  std::string ignored;
  console_.Write(platform::OutputStream::kStandardError, line, &ignored);
}

void Report::CannotError(std::string_view action, std::string_view path,
                         std::string_view reason) {
  std::string line = "Error: cannot ";
  line += action;
  line += " '";
  AppendForDisplay(&line, path);
  line += "': ";
  AppendForDisplay(&line, reason);
  if (json_) {
    Text("{\"type\":\"error\",\"action\":").JsonString(action).Text(",").JsonPath("path", path);
    // A reason may name a path too (a sparse index's folder entry).
    Text(",").JsonPath("reason", reason).Text("}").EndLine();
  }
  WriteError(line);
}

void Report::Error(std::string_view line) {
  // A message may name a path that is not UTF-8: its bytes are kept in
  // hex beside it, as a path's are.
  if (json_) Text("{\"type\":\"error\",").JsonPath("message", line).Text("}").EndLine();
  WriteError(line);
}

void Report::WriteError(std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  PassOn(platform::OutputStream::kStandardError, text);
}

void Report::PassOn(platform::OutputStream stream, std::string_view bytes) {
  if (stream == platform::OutputStream::kStandardOutput) {
    buffer_.append(bytes);  // they end with a whole line
    LinesEnded();
    return;
  }
  Flush();
  std::string reason;
  console_.Write(platform::OutputStream::kStandardError, bytes, &reason);
}

}  // namespace engine
