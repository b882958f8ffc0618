// The Windows command line, split the way the C runtime splits it for main.
#ifndef BUILDSWEEP_PLATFORM_WIN32_PROCESS_WIN32_H_
#define BUILDSWEEP_PLATFORM_WIN32_PROCESS_WIN32_H_

#include <string>
#include <string_view>
#include <vector>

namespace platform {
namespace win32 {

/// Splits the whole command line `line` (as GetCommandLineW gives it) into
/// its arguments, the program's name first, by the C runtime's rules:
/// blanks and tabs separate, "..." groups, 2n backslashes before a quote
/// give n and the quote groups, 2n+1 give n and a literal quote, "" inside
/// a group is a literal quote, and other backslashes are literal. The
/// program's name ends at its closing quote or first blank, unescaped.
std::vector<std::wstring> SplitCommandLine(std::wstring_view line);

}  // namespace win32
}  // namespace platform

#endif  // BUILDSWEEP_PLATFORM_WIN32_PROCESS_WIN32_H_
