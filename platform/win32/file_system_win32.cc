// Win32 file system. Every folder is held open by a handle and reached by its
// full "\\?\" path, which has no length limit. The handle is opened without
// FILE_SHARE_DELETE, so while we hold it the folder can be neither renamed
// nor replaced, and paths built from it keep naming the same folder.
//
// Links are never followed. A folder below the root is opened with
// FILE_FLAG_OPEN_REPARSE_POINT and refused if it is a junction or symbolic
// link. Not every system honours that flag (wine follows Unix symlinks
// whatever it is told, and deletes a symlink's target through them), so
// every handle of an entry is also asked for its own name and must be
// exactly folder + "\" + name before it is used.
#include <windows.h>
#include <shlwapi.h>

#include <cstdint>
#include <vector>

#include "platform/file_system.h"
#include "platform/win32/text_win32.h"

namespace platform {

const char kPathSeparator = '\\';

void AppendPathComponent(std::string* path, std::string_view name) {
  // Always exactly one backslash, even after a drive root: "C:\" + "Debug"
  // shows as "C:\\Debug", the way the paths have always been printed.
  path->push_back('\\');
  path->append(name.data(), name.size());
}

bool NameMatchesPattern(std::string_view pattern, std::string_view name) {
  // The shell's own matcher, so "*.LOG" matches "a.log" as Explorer's search
  // would. PMSF_NORMAL takes the pattern as one pattern, ';' included.
  const std::wstring wide_pattern = win32::WideFromWtf8(pattern);
  const std::wstring wide_name = win32::WideFromWtf8(name);
  return ::PathMatchSpecExW(wide_name.c_str(), wide_pattern.c_str(), PMSF_NORMAL) == S_OK;
}

namespace {

// A folder handle shares everything but deletion, so the folder stays put.
// Sharing is only enforced against handles that carry data access, hence
// FILE_LIST_DIRECTORY even though the listing itself goes by path.
constexpr DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The longest name a handle can report: 32,767 UTF-16 units.
constexpr std::size_t kNameInfoBytes = sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t);

/// Closes a handle when it goes out of scope, unless released.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) ::CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  HANDLE release() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }

 private:
  HANDLE handle_;
};

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The "\\?\" form of a full path, which the system takes literally and at
// any length: "C:\x" becomes "\\?\C:\x" and "\\server\share" becomes
// "\\?\UNC\server\share".
std::wstring LongPath(const std::wstring& path) {
  if (StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\")) return path;
  if (StartsWith(path, L"\\\\")) return L"\\\\?\\UNC\\" + path.substr(2);
  return L"\\\\?\\" + path;
}

// Appends `name` to the internal path `path`. A "\\?\" path is not
// normalised by the system, so a root's own backslash must not be doubled.
void JoinWide(std::wstring* path, std::wstring_view name) {
  if (path->empty() || path->back() != L'\\') path->push_back(L'\\');
  path->append(name.data(), name.size());
}

// The length of the volume root at the start of a "\\?\" path, its closing
// backslash included: "\\?\C:\", "\\?\UNC\server\share\", "\\?\Volume{…}\".
std::size_t RootLength(std::wstring_view path) {
  std::size_t at = 4;  // past "\\?\"
  int components = 1;
  if (path.substr(at, 4) == L"UNC\\") {
    at += 4;
    components = 2;  // server and share
  }
  for (; components > 0; --components) {
    const std::size_t end = path.find(L'\\', at);
    if (end == std::wstring_view::npos) return path.size();
    at = end + 1;
  }
  return at;
}

// The folder that holds `path`, by dropping its last component. False for
// a volume root.
bool ParentPath(const std::wstring& path, std::wstring* parent) {
  const std::size_t root = RootLength(path);
  if (path.size() <= root) return false;
  const std::size_t cut = path.rfind(L'\\');
  // "\\?\C:\x" climbs to "\\?\C:\", keeping the root's backslash: without
  // it the path would name the volume device instead of its root folder.
  parent->assign(path, 0, cut < root ? root : cut);
  return true;
}

// Whether an entry with `attributes` and reparse `tag` is a link that must
// not be followed: a junction, a symbolic link or any other name surrogate.
// An unknown tag (0; wine reports Unix symlinks so) counts as a link. Other
// reparse points (cloud placeholders, deduplicated files) are ordinary.
bool IsLink(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (tag == 0 || IsReparseTagNameSurrogate(tag));
}

// The reparse tag of an open entry; 0 when it can't be read.
DWORD ReparseTagOf(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO info;
  if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) return 0;
  return info.ReparseTag;
}

// Identity and change stamp of an open folder, and its attributes.
bool Describe(HANDLE handle, FolderInfo* info, DWORD* attributes) {
  BY_HANDLE_FILE_INFORMATION data;
  if (!::GetFileInformationByHandle(handle, &data)) return false;
  info->id.device = data.dwVolumeSerialNumber;
  info->id.inode = (static_cast<std::uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
  info->change_stamp = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
      data.ftLastWriteTime.dwLowDateTime);
  // NTFS may update a folder's write time late and FAT keeps it to two
  // seconds, so a listing is never reused on an unchanged stamp.
  info->stamp_is_reliable = false;
  *attributes = data.dwFileAttributes;
  return true;
}

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool IsDots(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

EntryKind KindOf(const WIN32_FIND_DATAW& data) {
  // With the reparse attribute set, dwReserved0 holds the reparse tag.
  if (IsLink(data.dwFileAttributes, data.dwReserved0)) return EntryKind::kLink;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryKind::kFolder;
  return EntryKind::kFile;
}

/// What asking an entry's handle for its own name showed.
enum class NameCheck { kSame, kDifferent, kUnknown };

class Win32FileSystem : public FileSystem {
 public:
  Win32FileSystem() : name_info_(kNameInfoBytes) {}

  bool CurrentDirectory(std::string* path, std::string* error) override {
    std::wstring cwd;
    if (!ReadCurrentDirectory(&cwd)) {
      *error = win32::SystemMessage(::GetLastError());
      return false;
    }
    // Where another process may remove our current directory (wine allows
    // it), a vanished folder is no root to clean.
    if (::GetFileAttributesW(LongPath(cwd).c_str()) == INVALID_FILE_ATTRIBUTES) {
      *error = win32::SystemMessage(::GetLastError());
      return false;
    }
    *path = win32::Wtf8FromWide(cwd);
    return true;
  }

  bool OpenCurrentDirectory(Dir* dir, FolderInfo* info, std::string* error) override {
    std::wstring cwd;
    if (ReadCurrentDirectory(&cwd)) {
      // The user chose to start here, so a link on the way to the root is
      // followed; only links below it are not.
      std::wstring path = LongPath(cwd);
      ScopedHandle folder(OpenFolder(path, /*follow_link=*/true, info));
      if (folder.valid()) {
        dir->Reset({folder.release(), std::move(path)});
        return true;
      }
    }
    *error = win32::SystemMessage(::GetLastError());
    return false;
  }

  bool OpenChild(const Dir& parent, std::string_view name, Dir* dir, FolderInfo* info) override {
    const std::wstring wide_name = win32::WideFromWtf8(name);
    std::wstring path = parent.native().path;
    JoinWide(&path, wide_name);
    ScopedHandle folder(OpenFolder(path, /*follow_link=*/false, info));
    if (!folder.valid()) return false;
    if (CheckIsEntry(parent.native().handle, folder.get(), wide_name) == NameCheck::kDifferent) {
      return false;  // the system followed a link after all
    }
    dir->Reset({folder.release(), std::move(path)});
    return true;
  }

  bool OpenParent(const Dir& child, Dir* dir, FolderInfo* info) override {
    // The caller checks that the folder found is the one it left.
    std::wstring path;
    if (!ParentPath(child.native().path, &path)) return false;
    ScopedHandle folder(OpenFolder(path, /*follow_link=*/false, info));
    if (!folder.valid()) return false;
    dir->Reset({folder.release(), std::move(path)});
    return true;
  }

  bool ListEntries(const Dir& dir, EntryList* out) override {
    out->Clear();
    path_ = dir.native().path;
    JoinWide(&path_, L"*");
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileExW(path_.c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    // Not even "." and "..": a folder (such as an empty drive root) with no
    // entries at all.
    if (find == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
      if (!IsDots(data.cFileName)) AddEntry(out, data);
    } while (::FindNextFileW(find, &data));
    const DWORD end = ::GetLastError();
    ::FindClose(find);
    return end == ERROR_NO_MORE_FILES;
  }

  bool LinkLeadsToFolder(const Dir& dir, std::string_view name) override {
    SetEntryPath(dir, name);
    // A link's own attributes carry FILE_ATTRIBUTE_DIRECTORY for directory
    // links and junctions; wine shows a Unix symlink to a folder the same way.
    const DWORD attributes = ::GetFileAttributesW(path_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
    // A file link may still point at a folder: look through it. A dangling
    // or looping link fails to open and leads nowhere.
    ScopedHandle target(::CreateFileW(path_.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION data;
    return target.valid() && ::GetFileInformationByHandle(target.get(), &data) &&
           (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  RemoveResult RemoveFile(const Dir& dir, std::string_view name, std::string* error) override {
    const std::wstring_view wide_name = SetEntryPath(dir, name);
    // Delete through a handle of the entry itself, checked to be the entry:
    // deleting by path could remove what a link points to instead.
    ScopedHandle entry(::CreateFileW(path_.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                     OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!entry.valid()) {
      const DWORD failure = ::GetLastError();
      if (IsMissing(failure)) return RemoveResult::kMissing;
      *error = win32::SystemMessage(failure);
      return RemoveResult::kFailed;
    }
    BY_HANDLE_FILE_INFORMATION data;
    if (::GetFileInformationByHandle(entry.get(), &data) &&
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return RemoveResult::kIsFolder;  // folders, and links to them, stay
    }
    if (CheckIsEntry(dir.native().handle, entry.get(), wide_name) == NameCheck::kDifferent) {
      *error = "it is a link, and this system would delete what it points to instead";
      return RemoveResult::kFailed;
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    // Read-only files refuse this, and are reported rather than forced.
    if (!::SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition,
                                      sizeof disposition)) {
      const DWORD failure = ::GetLastError();
      if (IsMissing(failure)) return RemoveResult::kMissing;
      *error = win32::SystemMessage(failure);
      return RemoveResult::kFailed;
    }
    return RemoveResult::kRemoved;  // gone once the handle closes, just below
  }

  RemoveResult ExamineFile(const Dir& dir, std::string_view name, std::uint64_t* size,
                           std::string* error) override {
    SetEntryPath(dir, name);
    // The entry's own attributes: a link is not looked through.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path_.c_str(), GetFileExInfoStandard, &data)) {
      const DWORD failure = ::GetLastError();
      if (IsMissing(failure)) return RemoveResult::kMissing;
      *error = win32::SystemMessage(failure);
      return RemoveResult::kFailed;
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return RemoveResult::kIsFolder;
    // RemoveFile does not force read-only files, so neither may this.
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
      *error = win32::SystemMessage(ERROR_ACCESS_DENIED);
      return RemoveResult::kFailed;
    }
    *size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return RemoveResult::kRemoved;
  }

 private:
  // The current directory, whatever its length.
  static bool ReadCurrentDirectory(std::wstring* cwd) {
    DWORD size = ::GetCurrentDirectoryW(0, nullptr);
    while (size != 0) {
      cwd->resize(size);
      const DWORD length = ::GetCurrentDirectoryW(size, &(*cwd)[0]);
      if (length < size) {  // it fitted (or failed, with 0)
        cwd->resize(length);
        return length != 0;
      }
      size = length;  // it grew in between; try again with what it asks for
    }
    return false;
  }

  // Opens the folder at `path`; INVALID_HANDLE_VALUE, with the reason in
  // GetLastError, when it is not (or no longer) a real folder.
  static HANDLE OpenFolder(const std::wstring& path, bool follow_link, FolderInfo* info) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    ScopedHandle folder(::CreateFileW(path.c_str(), kFolderAccess, kFolderShare, nullptr,
                                      OPEN_EXISTING, flags, nullptr));
    if (!folder.valid()) return INVALID_HANDLE_VALUE;
    DWORD attributes = 0;
    if (!Describe(folder.get(), info, &attributes)) return INVALID_HANDLE_VALUE;
    const bool is_folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool is_link = IsLink(attributes, (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                                                ? ReparseTagOf(folder.get())
                                                : 0);
    if (!is_folder || (!follow_link && is_link)) {
      ::SetLastError(ERROR_DIRECTORY);
      return INVALID_HANDLE_VALUE;
    }
    return folder.release();
  }

  // The name of an open entry, from its volume's root ("\work\proj\x.obj").
  bool NameOf(HANDLE handle, std::wstring* name) {
    if (!::GetFileInformationByHandleEx(handle, FileNameInfo, name_info_.data(),
                                        static_cast<DWORD>(name_info_.size()))) {
      return false;
    }
    const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(name_info_.data());
    name->assign(info->FileName, info->FileNameLength / sizeof(wchar_t));
    return true;
  }

  // Whether `entry` is `name` directly in the folder `folder`, and not what
  // a link of that name leads to. kUnknown where the file system can't
  // tell names; the reparse-point flag is all the protection there.
  NameCheck CheckIsEntry(HANDLE folder, HANDLE entry, std::wstring_view name) {
    if (!NameOf(folder, &folder_name_) || !NameOf(entry, &entry_name_)) return NameCheck::kUnknown;
    JoinWide(&folder_name_, name);
    const int order = ::CompareStringOrdinal(
        folder_name_.data(), static_cast<int>(folder_name_.size()), entry_name_.data(),
        static_cast<int>(entry_name_.size()), /*bIgnoreCase=*/TRUE);
    return order == CSTR_EQUAL ? NameCheck::kSame : NameCheck::kDifferent;
  }

  // Sets path_ to the full path of `name` in `dir`; returns the name's part.
  std::wstring_view SetEntryPath(const Dir& dir, std::string_view name) {
    path_ = dir.native().path;
    if (path_.empty() || path_.back() != L'\\') path_.push_back(L'\\');
    const std::size_t name_start = path_.size();
    win32::AppendWide(&path_, name);
    return std::wstring_view(path_).substr(name_start);
  }

  static void AddEntry(EntryList* out, const WIN32_FIND_DATAW& data) {
    const std::size_t offset = out->names.size();
    win32::AppendWtf8(&out->names, data.cFileName);
    out->entries.push_back({static_cast<std::uint32_t>(offset),
                            static_cast<std::uint32_t>(out->names.size() - offset), KindOf(data)});
  }

  std::wstring path_;  // scratch, reused for every call
  std::wstring folder_name_;
  std::wstring entry_name_;
  std::vector<char> name_info_;
};

}  // namespace

FileSystem& NativeFileSystem() {
  static Win32FileSystem* const fs = new Win32FileSystem();
  return *fs;
}

}  // namespace platform
