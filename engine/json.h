// The pieces of the report that --json writes instead of text: one JSON
// object a line. Names from the system are bytes that need not be UTF-8,
// so every path is written twice where it is not: readable, and exactly.
#ifndef BUILDSWEEP_ENGINE_JSON_H_
#define BUILDSWEEP_ENGINE_JSON_H_

#include <string>
#include <string_view>

namespace engine {

/// The version of the JSON Lines record, in its first object: raised when a
/// field changes meaning, not when one is added.
inline constexpr int kJsonVersion = 1;

/// Appends `text` to `out` as a JSON string, quotes included. Valid UTF-8 is
/// kept as it is, except that `"`, `\`, the controls (C0, DEL, and the C1
/// controls U+0080..U+009F) are escaped, so a line can't be broken nor a
/// terminal driven; each byte that is not part of valid UTF-8 becomes
/// U+FFFD. Returns whether every byte was valid UTF-8.
bool AppendJsonString(std::string* out, std::string_view text);

/// AppendJsonString without the quotes, so that parts can be joined.
bool AppendJsonText(std::string* out, std::string_view text);

/// Appends `bytes` in lowercase hex.
void AppendHex(std::string* out, std::string_view bytes);

/// Appends the field `"key":"..."` for the path `path` and, where the path
/// is not valid UTF-8, the field `"key_hex":"..."`, its bytes in lowercase
/// hex, from which it is restored byte for byte.
void AppendJsonPath(std::string* out, std::string_view key, std::string_view path);

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_JSON_H_
