// Properties of the name rule and of the escaping of printed paths that must
// hold for any bytes at all; shared by the randomized test and the fuzzer.
#ifndef BUILDSWEEP_TESTS_SUPPORT_NAME_PROPERTIES_H_
#define BUILDSWEEP_TESTS_SUPPORT_NAME_PROPERTIES_H_

#include <string>
#include <string_view>

#include "engine/extensions.h"
#include "engine/report.h"
#include "platform/file_system.h"

namespace testsupport {

/// Empty when ExtensionOf(name) is the text after the last dot of `name`
/// (all of it when there is none); otherwise what went wrong.
inline std::string CheckExtensionOf(std::string_view name) {
  std::size_t after_dot = 0;
  for (std::size_t i = name.size(); i > 0; --i) {
    if (name[i - 1] == '.') {
      after_dot = i;
      break;
    }
  }
  const std::string_view got = engine::ExtensionOf(name);
  if (got.data() + got.size() != name.data() + name.size()) return "not a suffix of the name";
  if (got != name.substr(after_dot)) return "not the text after the last dot";
  return std::string();
}

/// The byte an escape at `at` in `out` stands for, moving `at` past it; -1
/// when there is no well-formed escape there.
inline int DecodeEscape(std::string_view out, std::size_t* at) {
  auto hex = [&](std::size_t from, std::size_t digits) {
    if (from + digits > out.size()) return -1;
    int value = 0;
    for (std::size_t i = from; i < from + digits; ++i) {
      const char c = out[i];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return -1;
      value = value * 16 + digit;
    }
    *at = from + digits;
    return value;
  };
  if (*at + 1 >= out.size() || out[*at] != '\\') return -1;
  const char kind = out[*at + 1];
  const std::size_t body = *at + 2;
  switch (kind) {
    case 'n': *at = body; return '\n';
    case 'r': *at = body; return '\r';
    case 't': *at = body; return '\t';
    case '\\': *at = body; return '\\';
    case 'x': return hex(body, 2);
    case 'u': return out.compare(body, 2, "00") == 0 ? hex(body + 2, 2) : -1;
    default: return -1;
  }
}

/// Empty when escaping `path` for `encoding` keeps every byte that is not a
/// control character in place and order and writes each control character
/// (C0, DEL, and in UTF-8 the C1 pairs C2 80..C2 9F), and a backslash where
/// it is no separator, as an escape that stands for exactly it, so the
/// output holds no control byte and every backslash in it starts an escape.
inline std::string CheckEscaping(std::string_view path, platform::TextEncoding encoding) {
  std::string out;
  engine::AppendEscaped(&out, path, encoding);
  const bool utf8 = encoding == platform::TextEncoding::kUtf8;
  auto is_c1_at = [utf8](std::string_view s, std::size_t i) {
    return utf8 && static_cast<unsigned char>(s[i]) == 0xc2 && i + 1 < s.size() &&
           (static_cast<unsigned char>(s[i + 1]) & 0xe0) == 0x80;
  };
  std::size_t at = 0;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto byte = static_cast<unsigned char>(path[i]);
    const bool c1 = is_c1_at(path, i);
    // A backslash that is no separator could be mistaken for an escape.
    const bool backslash = byte == '\\' && platform::kPathSeparator != '\\';
    if (byte >= 0x20 && byte != 0x7f && !c1 && !backslash) {
      if (at >= out.size() || out[at] != path[i]) return "byte " + std::to_string(i) + " not kept";
      ++at;
      continue;
    }
    const int meant = c1 ? static_cast<unsigned char>(path[++i]) : byte;
    if (DecodeEscape(out, &at) != meant) return "control byte " + std::to_string(i) + " badly escaped";
  }
  if (at != out.size()) return "output has extra bytes";
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto byte = static_cast<unsigned char>(out[i]);
    if (byte < 0x20 || byte == 0x7f || is_c1_at(out, i)) return "control byte left in output";
  }
  return std::string();
}

}  // namespace testsupport

#endif  // BUILDSWEEP_TESTS_SUPPORT_NAME_PROPERTIES_H_
