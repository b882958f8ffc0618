// Text conversions and path queries shared by the Win32 platform files.
// Windows names are UTF-16; the rest of the program holds them as 8-bit
// strings.
//
// Internal names and paths are WTF-8: UTF-8 that also carries the unpaired
// surrogates Windows allows in file names, so that every name the system
// lists converts back to the very same UTF-16 name and can be deleted.
#ifndef BUILDSWEEP_PLATFORM_WIN32_TEXT_WIN32_H_
#define BUILDSWEEP_PLATFORM_WIN32_TEXT_WIN32_H_

#include <string>
#include <string_view>

namespace platform {
namespace win32 {

/// Appends the UTF-16 `wide` to `out` as WTF-8 (lone surrogates kept).
void AppendWtf8(std::string* out, std::wstring_view wide);

/// The WTF-8 form of the UTF-16 `wide`.
std::string Wtf8FromWide(std::wstring_view wide);

/// Appends the WTF-8 `text` to `out` as UTF-16. Bytes that are not WTF-8
/// each become U+FFFD, so the conversion never fails.
void AppendWide(std::wstring* out, std::string_view text);

/// The UTF-16 form of the WTF-8 `text`.
std::wstring WideFromWtf8(std::string_view text);

/// The system's own text for the error `code` (as GetLastError gives it),
/// in WTF-8 and on one line: line breaks become blanks and trailing blanks
/// are dropped. Never empty.
std::string SystemMessage(unsigned long code);

/// The "\\?\" path of the open entry `handle` ("\\?\C:\x",
/// "\\?\UNC\server\share\x"), every link on its way resolved, whatever
/// its length. False, with the reason in GetLastError, when it can't be read.
bool FinalPathOf(void* handle, std::wstring* path);

}  // namespace win32
}  // namespace platform

#endif  // BUILDSWEEP_PLATFORM_WIN32_TEXT_WIN32_H_
