#include "engine/json.h"

#include <cstdint>
#include <cstring>

namespace engine {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendUnicodeEscape(std::string* out, unsigned code) {
  out->append("\\u00");
  out->push_back(kHexDigits[(code >> 4) & 0xf]);
  out->push_back(kHexDigits[code & 0xf]);
}

// How many bytes from the start of `text` need no thought: whole words of
// printable ASCII other than `"` and `\`. Most names are just that.
std::size_t PlainAsciiPrefix(std::string_view text) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = kOnes * 0x80;
  const auto zero_bytes = [](std::uint64_t w) { return (w - kOnes) & ~w & kHigh; };
  std::size_t plain = 0;
  while (plain + sizeof(std::uint64_t) <= text.size()) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + plain, sizeof word);
    std::uint64_t suspect = word & kHigh;                  // not ASCII
    suspect |= (word - kOnes * 0x20) & ~word & kHigh;      // below 0x20
    suspect |= zero_bytes(word ^ (kOnes * 0x7f));          // DEL
    suspect |= zero_bytes(word ^ (kOnes * '"'));
    suspect |= zero_bytes(word ^ (kOnes * '\\'));
    if (suspect != 0) break;
    plain += sizeof(std::uint64_t);
  }
  return plain;
}

// The length of the valid UTF-8 sequence at `text[i]` (a byte of 0x80 or
// more), or 0 where it is not one: overlong forms, surrogates and code
// points past U+10FFFF are not.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t i) {
  const auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned lead = byte(i);
  std::size_t size;
  unsigned low = 0x80;
  unsigned high = 0xbf;  // the bounds of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    size = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    size = 3;
    if (lead == 0xe0) low = 0xa0;   // overlong
    if (lead == 0xed) high = 0x9f;  // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    size = 4;
    if (lead == 0xf0) low = 0x90;   // overlong
    if (lead == 0xf4) high = 0x8f;  // past U+10FFFF
  } else {
    return 0;
  }
  if (i + size > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < size; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) return 0;
  }
  return size;
}

}  // namespace

bool AppendJsonString(std::string* out, std::string_view text) {
  out->push_back('"');
  const bool valid = AppendJsonText(out, text);
  out->push_back('"');
  return valid;
}

bool AppendJsonText(std::string* out, std::string_view text) {
  bool valid = true;
  std::size_t clean_from = 0;  // start of the bytes copied unchanged
  std::size_t i = PlainAsciiPrefix(text);
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      ++i;
      continue;
    }
    std::size_t sequence = 1;
    if (c >= 0x80) {
      sequence = Utf8SequenceAt(text, i);
      // U+0080..U+009F, the C1 controls, are C2 80..C2 9F.
      const bool c1 = sequence == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) <= 0x9f;
      if (sequence != 0 && !c1) {
        i += sequence;
        continue;
      }
      out->append(text.data() + clean_from, i - clean_from);
      if (c1) {
        AppendUnicodeEscape(out, static_cast<unsigned char>(text[i + 1]));
      } else {
        valid = false;
        out->append("\xef\xbf\xbd");  // U+FFFD for the byte that fits nothing
        sequence = 1;
      }
    } else {
      out->append(text.data() + clean_from, i - clean_from);
      switch (c) {
        case '"': out->append("\\\""); break;
        case '\\': out->append("\\\\"); break;
        case '\n': out->append("\\n"); break;
        case '\r': out->append("\\r"); break;
        case '\t': out->append("\\t"); break;
        default: AppendUnicodeEscape(out, c); break;
      }
    }
    i += sequence;
    clean_from = i;
  }
  out->append(text.data() + clean_from, text.size() - clean_from);
  return valid;
}

void AppendHex(std::string* out, std::string_view bytes) {
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out->push_back(kHexDigits[byte >> 4]);
    out->push_back(kHexDigits[byte & 0xf]);
  }
}

void AppendJsonPath(std::string* out, std::string_view key, std::string_view path) {
  out->push_back('"');
  out->append(key);
  out->append("\":");
  if (AppendJsonString(out, path)) return;
  out->append(",\"");
  out->append(key);
  out->append("_hex\":\"");
  AppendHex(out, path);
  out->push_back('"');
}

}  // namespace engine
