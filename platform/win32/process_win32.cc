// The command line and the current directory on Windows. Arguments come from
// the wide command line, so that any folder name survives, whatever the
// ANSI code page.
#include <windows.h>
#include <shellapi.h>

#include <utility>

#include "platform/process.h"
#include "platform/win32/text_win32.h"

namespace platform {
namespace {

// "C:\x" from "\\?\C:\x" and "\\server\share" from "\\?\UNC\server\share":
// the current directory is shown as users know their paths.
std::wstring WithoutLongPrefix(std::wstring path) {
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + path.substr(7);
  if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
  return path;
}

bool SetCurrentDirectoryTo(const std::wstring& path, std::string* error) {
  if (::SetCurrentDirectoryW(path.c_str())) return true;
  *error = win32::SystemMessage(::GetLastError());
  return false;
}

// The current directory with every link and junction on its way resolved;
// false where the system can't tell (then the path stays as given).
bool FinalPathOfCurrentDirectory(std::wstring* path) {
  const HANDLE folder = ::CreateFileW(L".", FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return false;
  DWORD size = ::GetFinalPathNameByHandleW(folder, nullptr, 0, VOLUME_NAME_DOS);
  bool ok = false;
  if (size != 0) {
    path->resize(size);
    const DWORD length = ::GetFinalPathNameByHandleW(folder, &(*path)[0], size, VOLUME_NAME_DOS);
    ok = length != 0 && length < size;
    if (ok) path->resize(length);
  }
  ::CloseHandle(folder);
  return ok;
}

}  // namespace

std::vector<std::string> CommandLineArguments(int /*argc*/, char** /*argv*/) {
  // argv holds the arguments in the ANSI code page, which loses every
  // character outside it: read the wide command line instead.
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(win32::Wtf8FromWide(wide[i]));
  ::LocalFree(wide);
  return arguments;
}

bool IsSystemHelpSwitch(std::string_view argument) { return argument == "/?"; }

bool ChangeDirectory(std::string_view path, std::string* error) {
  if (!SetCurrentDirectoryTo(win32::WideFromWtf8(path), error)) return false;
  std::wstring final_path;
  std::string ignored;
  if (FinalPathOfCurrentDirectory(&final_path)) {
    SetCurrentDirectoryTo(WithoutLongPrefix(final_path), &ignored);
  }
  return true;
}

bool RememberCurrentDirectory(Dir* dir, std::string* error) {
  // The handle keeps the folder from being renamed or removed meanwhile,
  // so its path stays good to come back to.
  DWORD size = ::GetCurrentDirectoryW(0, nullptr);
  std::wstring path(size, L'\0');
  const DWORD length = size == 0 ? 0 : ::GetCurrentDirectoryW(size, &path[0]);
  HANDLE folder = INVALID_HANDLE_VALUE;
  if (length != 0 && length < size) {
    path.resize(length);
    folder = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  }
  if (folder == INVALID_HANDLE_VALUE) {
    *error = win32::SystemMessage(::GetLastError());
    return false;
  }
  dir->Reset({folder, std::move(path)});
  return true;
}

bool ReturnToFolder(const Dir& dir, std::string* error) {
  return SetCurrentDirectoryTo(WithoutLongPrefix(dir.native().path), error);
}

}  // namespace platform
