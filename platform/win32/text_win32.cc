#include "platform/win32/text_win32.h"

#include <windows.h>

namespace platform {
namespace win32 {
namespace {

constexpr wchar_t kReplacement = 0xfffd;

bool IsHighSurrogate(unsigned unit) { return unit >= 0xd800 && unit <= 0xdbff; }
bool IsLowSurrogate(unsigned unit) { return unit >= 0xdc00 && unit <= 0xdfff; }
bool IsContinuation(unsigned char byte) { return (byte & 0xc0) == 0x80; }

void AppendCodePoint(std::string* out, unsigned long code_point) {
  if (code_point < 0x80) {
    out->push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out->push_back(static_cast<char>(0xc0 | (code_point >> 6)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3f)));
  } else if (code_point < 0x10000) {
    out->push_back(static_cast<char>(0xe0 | (code_point >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3f)));
  } else {
    out->push_back(static_cast<char>(0xf0 | (code_point >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3f)));
  }
}

void AppendUtf16(std::wstring* out, unsigned long code_point) {
  if (code_point < 0x10000) {
    out->push_back(static_cast<wchar_t>(code_point));
  } else {
    code_point -= 0x10000;
    out->push_back(static_cast<wchar_t>(0xd800 + (code_point >> 10)));
    out->push_back(static_cast<wchar_t>(0xdc00 + (code_point & 0x3ff)));
  }
}

// Decodes the sequence at text[*at] and advances past it; a byte that does
// not start a well-formed sequence is consumed alone and yields U+FFFD.
unsigned long DecodeOne(std::string_view text, std::size_t* at) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(*at);
  std::size_t length;
  unsigned long code_point;
  unsigned long smallest;
  if (lead < 0x80) {
    ++*at;
    return lead;
  } else if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2, code_point = lead & 0x1f, smallest = 0x80;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3, code_point = lead & 0x0f, smallest = 0x800;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4, code_point = lead & 0x07, smallest = 0x10000;
  } else {
    ++*at;
    return kReplacement;
  }
  if (text.size() - *at < length) {
    ++*at;
    return kReplacement;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (!IsContinuation(byte(*at + i))) {
      ++*at;
      return kReplacement;
    }
    code_point = (code_point << 6) | (byte(*at + i) & 0x3f);
  }
  if (code_point < smallest || code_point > 0x10ffff) {  // overlong or out of range
    ++*at;
    return kReplacement;
  }
  *at += length;
  return code_point;
}

}  // namespace

void AppendWtf8(std::string* out, std::wstring_view wide) {
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const unsigned unit = static_cast<unsigned>(wide[i]);
    if (IsHighSurrogate(unit) && i + 1 < wide.size() &&
        IsLowSurrogate(static_cast<unsigned>(wide[i + 1]))) {
      const unsigned low = static_cast<unsigned>(wide[++i]);
      AppendCodePoint(out, 0x10000 + ((static_cast<unsigned long>(unit) - 0xd800) << 10) + (low - 0xdc00));
    } else {
      AppendCodePoint(out, unit);  // a lone surrogate keeps its three-byte form
    }
  }
}

std::string Wtf8FromWide(std::wstring_view wide) {
  std::string out;
  out.reserve(wide.size());
  AppendWtf8(&out, wide);
  return out;
}

void AppendWide(std::wstring* out, std::string_view text) {
  for (std::size_t at = 0; at < text.size();) AppendUtf16(out, DecodeOne(text, &at));
}

std::wstring WideFromWtf8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  AppendWide(&out, text);
  return out;
}

std::string SystemMessage(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0) return "Windows error " + std::to_string(code);
  // Some messages span lines; an error report is one line, so every line
  // break (CR LF, or a lone one) becomes a single blank.
  std::wstring text;
  for (DWORD i = 0; i < length; ++i) {
    const bool line_break = buffer[i] == L'\r' || buffer[i] == L'\n';
    if (!line_break) {
      text.push_back(buffer[i]);
    } else if (!text.empty() && text.back() != L' ') {
      text.push_back(L' ');
    }
  }
  ::LocalFree(buffer);
  while (!text.empty() && text.back() == L' ') text.pop_back();
  if (text.empty()) return "Windows error " + std::to_string(code);
  return Wtf8FromWide(text);
}

bool FinalPathOf(void* handle, std::wstring* path) {
  DWORD size = MAX_PATH;
  for (;;) {
    path->resize(size);
    const DWORD length = ::GetFinalPathNameByHandleW(handle, &(*path)[0], size, VOLUME_NAME_DOS);
    if (length == 0) return false;
    if (length < size) {
      path->resize(length);
      return true;
    }
    size = length;  // too small: try again with the room it asks for
  }
}

}  // namespace win32
}  // namespace platform
