// The command line and the current directory on Windows. Arguments come from
// the wide command line, so that any folder name survives, whatever the
// ANSI code page. It is split here rather than by CommandLineToArgvW, whose
// shell32 would bring user32 into the process and with it lose the console's
// logoff and shutdown events.
#include "platform/win32/process_win32.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "platform/process.h"
#include "platform/win32/text_win32.h"

namespace platform {
namespace win32 {

std::vector<std::wstring> SplitCommandLine(std::wstring_view line) {
  std::vector<std::wstring> arguments;
  std::size_t at = 0;
  const auto is_blank = [&line](std::size_t i) { return line[i] == L' ' || line[i] == L'\t'; };
  // The program's name: no escapes, only quotes.
  std::wstring name;
  bool quoted = false;
  for (; at < line.size() && (quoted || !is_blank(at)); ++at) {
    if (line[at] == L'"') {
      quoted = !quoted;
    } else {
      name.push_back(line[at]);
    }
  }
  arguments.push_back(std::move(name));
  for (;;) {
    while (at < line.size() && is_blank(at)) ++at;
    if (at == line.size()) return arguments;
    std::wstring argument;
    quoted = false;
    while (at < line.size() && (quoted || !is_blank(at))) {
      std::size_t backslashes = 0;
      while (at < line.size() && line[at] == L'\\') {
        ++backslashes;
        ++at;
      }
      if (at < line.size() && line[at] == L'"') {
        argument.append(backslashes / 2, L'\\');
        if (backslashes % 2 == 1) {
          argument.push_back(L'"');
        } else if (quoted && at + 1 < line.size() && line[at + 1] == L'"') {
          argument.push_back(L'"');  // "" inside a group
          ++at;
        } else {
          quoted = !quoted;
        }
        ++at;
      } else {
        argument.append(backslashes, L'\\');
        if (at < line.size() && (quoted || !is_blank(at))) argument.push_back(line[at++]);
      }
    }
    arguments.push_back(std::move(argument));
  }
}

}  // namespace win32

namespace {

bool SetCurrentDirectoryTo(const std::wstring& path, std::string* error) {
  if (::SetCurrentDirectoryW(path.c_str())) return true;
  *error = win32::SystemMessage(::GetLastError());
  return false;
}

// The path of the open folder `handle` with every link and junction on its
// way resolved, as users write it: "C:\x", "\\server\share\x".
bool UserPathOf(HANDLE handle, std::wstring* path) {
  if (!win32::FinalPathOf(handle, path)) return false;
  if (path->compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    path->erase(2, 6);  // "\\?\UNC\server" -> "\\server"
  } else if (path->compare(0, 4, L"\\\\?\\") == 0) {
    path->erase(0, 4);
  }
  return true;
}

// Opens the current directory, for its final path or to come back to it.
HANDLE OpenCurrentFolder() {
  return ::CreateFileW(L".", FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

std::vector<std::string> CommandLineArguments(int /*argc*/, char** /*argv*/) {
  // argv holds the arguments in the ANSI code page, which loses every
  // character outside it: read the wide command line instead.
  std::vector<std::wstring> wide = win32::SplitCommandLine(::GetCommandLineW());
  std::vector<std::string> arguments;
  for (std::size_t i = 1; i < wide.size(); ++i) arguments.push_back(win32::Wtf8FromWide(wide[i]));
  return arguments;
}

bool IsSystemHelpSwitch(std::string_view argument) { return argument == "/?"; }

bool ChangeDirectory(std::string_view path, std::string* error) {
  if (!SetCurrentDirectoryTo(win32::WideFromWtf8(path), error)) return false;
  // Like cd -P: the root is shown, and checked, as the folder it really is.
  const HANDLE folder = OpenCurrentFolder();
  if (folder == INVALID_HANDLE_VALUE) return true;  // then as given
  std::wstring final_path;
  std::string ignored;
  if (UserPathOf(folder, &final_path)) SetCurrentDirectoryTo(final_path, &ignored);
  ::CloseHandle(folder);
  return true;
}

bool RememberCurrentDirectory(Dir* dir, std::string* error) {
  const HANDLE folder = OpenCurrentFolder();
  if (folder == INVALID_HANDLE_VALUE) {
    *error = win32::SystemMessage(::GetLastError());
    return false;
  }
  Dir::Native native;
  native.handle = folder;
  dir->Reset(std::move(native));
  return true;
}

bool ReturnToFolder(const Dir& dir, std::string* error) {
  std::wstring path;
  if (!UserPathOf(dir.native().handle, &path)) {
    *error = win32::SystemMessage(::GetLastError());
    return false;
  }
  return SetCurrentDirectoryTo(path, error);
}

FolderId CurrentDirectoryId() {
  const HANDLE folder = OpenCurrentFolder();
  if (folder == INVALID_HANDLE_VALUE) return FolderId();
  BY_HANDLE_FILE_INFORMATION info;
  FolderId id;
  if (::GetFileInformationByHandle(folder, &info)) {
    id.device = info.dwVolumeSerialNumber;
    id.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  }
  ::CloseHandle(folder);
  return id;
}

bool LookUpFolder(std::string_view path, std::string* physical, FolderId* id) {
  const std::wstring wide = win32::WideFromWtf8(path);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return false;
  }
  // A folder that can't be entered can't be opened to resolve its links
  // either: its full path is the best that can be told, its identity nothing.
  *id = FolderId();
  physical->clear();
  const DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return true;
  std::wstring full(size, L'\0');
  const DWORD length = ::GetFullPathNameW(wide.c_str(), size, &full[0], nullptr);
  if (length != 0 && length < size) {
    full.resize(length);
    *physical = win32::Wtf8FromWide(full);
  }
  return true;
}

bool EnvironmentVariable(std::string_view name, std::string* value) {
  const std::wstring wide_name = win32::WideFromWtf8(name);
  const DWORD size = ::GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (size == 0) return false;
  std::wstring wide(size, L'\0');
  const DWORD length = ::GetEnvironmentVariableW(wide_name.c_str(), &wide[0], size);
  if (length == 0 || length >= size) return false;
  wide.resize(length);
  *value = win32::Wtf8FromWide(wide);
  return true;
}

// Windows tells users apart by security identifiers, not numbers.
std::uint64_t CurrentUserId() { return 0; }

const char kPathListSeparator = ';';

}  // namespace platform
