// Win32 file system. Only the starting folder is opened by its path (its
// "\\?\" form, which has no length limit); every entry below it is opened
// by its bare name relative to its open parent's handle (NtCreateFile with
// a RootDirectory), as the POSIX walk uses openat. So no path is ever
// resolved again from the top: a junction re-pointed higher up can't
// redirect an open, and depth has no limit. Folder handles are opened
// without FILE_SHARE_DELETE, so an open folder can be neither renamed nor
// replaced.
//
// Links are never followed. Every entry is opened with
// FILE_OPEN_REPARSE_POINT, a folder is refused if it is a junction or
// symbolic link, and whether a link leads to a folder is read from the link
// itself. Wine does not honour that flag (it follows Unix symlinks whatever
// it is told, and deletes a symlink's target through them), so there, and
// only there, every handle of an entry is also asked for its own name,
// which must be exactly folder + "\" + name before the handle is used.
//
// System calls (real Windows; wine adds one name query per entry and one
// per folder):
// - deleting a file: open relative, refusing folders (NtCreateFile), set the
//   disposition, close: 3 (4 on volumes without POSIX-semantics deletion,
//   where the first attempt is refused once per folder); a cloud
//   placeholder or other non-link reparse file costs 5 more (tag query,
//   reopen without FILE_OPEN_REPARSE_POINT, two id queries, close);
// - entering a folder: open relative, attributes and tag, identity: 3, plus
//   one NtQueryDirectoryFile per 64 KiB of listing and the close.
#include <windows.h>
#include <shlwapi.h>
#include <winternl.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/file_system.h"
#include "platform/per_thread.h"
#include "platform/win32/text_win32.h"

namespace platform {

const char kPathSeparator = '\\';

void AppendPathComponent(std::string* path, std::string_view name) {
  // Always exactly one backslash, even after a drive root: "C:\" + "Debug"
  // shows as "C:\\Debug", the way the paths have always been printed.
  path->push_back('\\');
  path->append(name.data(), name.size());
}

bool IsAbsolutePath(std::string_view path) {
  if (!path.empty() && (path[0] == '\\' || path[0] == '/')) return true;
  return path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/') &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

namespace {

using PathMatchSpecExFunction = HRESULT(WINAPI*)(LPCWSTR name, LPCWSTR pattern, DWORD flags);

// The shell's matcher, loaded on first use only: shlwapi brings user32 in,
// and a console program with user32 loaded is no longer told of logoff and
// shutdown, which the run must hear to end with its record complete.
PathMatchSpecExFunction ShellMatcher() {
  static const PathMatchSpecExFunction matcher = [] {
    const HMODULE shlwapi = ::LoadLibraryW(L"shlwapi.dll");  // a known DLL: from System32 only
    const FARPROC found = shlwapi != nullptr ? ::GetProcAddress(shlwapi, "PathMatchSpecExW") : nullptr;
    return reinterpret_cast<PathMatchSpecExFunction>(reinterpret_cast<void*>(found));
  }();
  return matcher;
}

}  // namespace

bool NameMatchesPattern(std::string_view pattern, std::string_view name) {
  // The shell's own matcher, so "*.LOG" matches "a.log" as Explorer's search
  // would. PMSF_NORMAL takes the pattern as one pattern, ';' included.
  // Scratch strings, reused: with -x this runs for every folder met, once
  // per pattern.
  struct PatternScratch {
    std::wstring wide_pattern;
    std::wstring wide_name;
  };
  PatternScratch& scratch = PerThread<PatternScratch>();
  std::wstring& wide_pattern = scratch.wide_pattern;
  std::wstring& wide_name = scratch.wide_name;
  wide_pattern.clear();
  win32::AppendWide(&wide_pattern, pattern);
  wide_name.clear();
  win32::AppendWide(&wide_name, name);
  // A pattern without wildcards (".git") is the name itself, case ignored,
  // which needs no shell; nor does a system without one.
  const bool plain = pattern.find_first_of("*?[") == std::string_view::npos;
  const PathMatchSpecExFunction matcher = plain ? nullptr : ShellMatcher();
  if (matcher == nullptr) {
    return ::CompareStringOrdinal(wide_name.data(), static_cast<int>(wide_name.size()),
                                  wide_pattern.data(), static_cast<int>(wide_pattern.size()),
                                  TRUE) == CSTR_EQUAL;
  }
  return matcher(wide_name.c_str(), wide_pattern.c_str(), PMSF_NORMAL) == S_OK;
}

namespace {

// A folder handle shares everything but deletion, so the folder stays put.
constexpr DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Room for several hundred entries per listing call.
constexpr std::size_t kListingBytes = 64 * 1024;
// A handle's name usually fits this; a longer one grows the buffer.
constexpr std::size_t kFirstNameBytes = 1024;

// What the SDK headers of older systems lack, by the documented values.
constexpr FILE_INFO_BY_HANDLE_CLASS kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
constexpr FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
struct DispositionInfoEx {
  DWORD flags;
};
struct FileIdInfo {
  ULONGLONG volume_serial;
  BYTE id[16];
};
constexpr FILE_INFORMATION_CLASS kFileFullDirectoryInformation =
    static_cast<FILE_INFORMATION_CLASS>(2);
constexpr NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006L);
constexpr NTSTATUS kStatusNoSuchFile = static_cast<NTSTATUS>(0xC000000FL);
constexpr NTSTATUS kStatusObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034L);
constexpr NTSTATUS kStatusObjectPathNotFound = static_cast<NTSTATUS>(0xC000003AL);
constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056L);
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BAL);
constexpr NTSTATUS kStatusNameTooLong = static_cast<NTSTATUS>(0xC0000106L);

}  // namespace
}  // namespace platform

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc,
                                               PVOID apc_context, PIO_STATUS_BLOCK io,
                                               PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS information_class,
                                               BOOLEAN single_entry, PUNICODE_STRING file_name,
                                               BOOLEAN restart_scan);

namespace platform {
namespace {

/// Closes a handle when it goes out of scope, unless released.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~ScopedHandle() { Reset(INVALID_HANDLE_VALUE); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  void Reset(HANDLE handle) {
    if (valid()) ::CloseHandle(handle_);
    handle_ = handle;
  }
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

// Appends `name` to the volume-relative name `path`, with one backslash.
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
// Resolves "." and ".." in the "\\?\" path `path` by its text, the way
// Win32 resolves them in ordinary paths (the "\\?\" form is taken
// literally), never climbing above the volume root.
std::wstring Normalized(const std::wstring& path) {
  const std::size_t root = RootLength(path);
  std::wstring result = path.substr(0, root);
  if (result.empty() || result.back() != L'\\') result.push_back(L'\\');
  std::vector<std::size_t> component_starts;
  for (std::size_t at = root; at <= path.size();) {
    std::size_t end = path.find(L'\\', at);
    if (end == std::wstring::npos) end = path.size();
    const std::wstring_view component(path.data() + at, end - at);
    if (component == L"..") {
      if (!component_starts.empty()) {
        result.resize(component_starts.back());
        component_starts.pop_back();
      }
    } else if (!component.empty() && component != L".") {
      component_starts.push_back(result.size());
      if (result.back() != L'\\') result.push_back(L'\\');
      result.append(component.data(), component.size());
    }
    at = end + 1;
  }
  return result;
}

bool IsLink(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (tag == 0 || IsReparseTagNameSurrogate(tag));
}

// A reparse point that is no link: its file-system filter must see it opened.
bool IsOtherReparsePoint(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !IsLink(attributes, tag);
}

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// Sorts a failed folder open by what the walk should make of it.
OpenResult ClassifyOpenFailure(DWORD failure, std::string* error) {
  if (IsMissing(failure) || failure == ERROR_DIRECTORY) return OpenResult::kGone;
  *error = win32::SystemMessage(failure);
  if (failure == ERROR_TOO_MANY_OPEN_FILES) return OpenResult::kNoHandles;
  return OpenResult::kFailed;
}

// Missing, or already being deleted by someone else: either way it is gone.
bool IsGone(NTSTATUS status) {
  return status == kStatusObjectNameNotFound || status == kStatusObjectPathNotFound ||
         status == kStatusDeletePending;
}

// Whether `status` reports success (NT_SUCCESS, which not every SDK's
// user-mode headers define).
bool Succeeded(NTSTATUS status) { return status >= 0; }

// The system's words for the failed `status`.
std::string StatusMessage(NTSTATUS status) {
  return win32::SystemMessage(::RtlNtStatusToDosError(status));
}

bool IsDots(std::wstring_view name) { return name == L"." || name == L".."; }

// Whether this process runs under wine, which follows links it is told not
// to; only there must every entry's handle prove its own name.
bool RunsUnderWine() {
  static const bool wine =
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

// Opens `name` directly inside the open folder `parent`, never looking
// anywhere else: the name is taken exactly, as the listing gave it.
NTSTATUS OpenRelative(HANDLE parent, std::wstring_view name, ACCESS_MASK access, ULONG share,
                      ULONG options, HANDLE* handle) {
  const std::size_t bytes = name.size() * sizeof(wchar_t);
  if (bytes > 0xfffe) return kStatusNameTooLong;
  UNICODE_STRING object_name;
  object_name.Buffer = const_cast<PWSTR>(name.data());
  object_name.Length = static_cast<USHORT>(bytes);
  object_name.MaximumLength = static_cast<USHORT>(bytes);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &object_name, 0, parent, nullptr);
  IO_STATUS_BLOCK io;
  return ::NtCreateFile(handle, access | SYNCHRONIZE, &attributes, &io, nullptr, 0, share, FILE_OPEN,
                        options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT,
                        nullptr, 0);
}

// Attributes and reparse tag of an open entry, in one query.
bool AttributesOf(HANDLE handle, FILE_ATTRIBUTE_TAG_INFO* info) {
  return ::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, info, sizeof *info) != 0;
}

// A 128-bit file id in 64 bits. NTFS ids have a zero upper half and are
// kept exactly; ReFS uses all 128 bits, which are mixed so that two folders
// share a value only by a 1 in 2^64 chance. All zeros or all ones (no id)
// stay so, to be recognised as unknown.
std::uint64_t FoldFileId(const BYTE (&id)[16]) {
  std::uint64_t low;
  std::uint64_t high;
  std::memcpy(&low, id, sizeof low);
  std::memcpy(&high, id + 8, sizeof high);
  if (high == 0) return low;
  if (high == ~std::uint64_t{0} && low == high) return low;
  std::uint64_t mixed = high * 0x9e3779b97f4a7c15ull;
  mixed ^= mixed >> 29;
  const std::uint64_t folded = low ^ mixed;
  return folded == 0 || folded == ~std::uint64_t{0} ? 1 : folded;
}

// The identity of an open folder: the 64-bit volume serial and 128-bit id
// where the system has them (Windows 8 and later), else the 32-bit serial
// and 64-bit index. Unknown when neither can be read.
FolderId IdentityOf(HANDLE handle) {
  FolderId id;
  FileIdInfo wide;
  if (::GetFileInformationByHandleEx(handle, kFileIdInfo, &wide, sizeof wide)) {
    id.device = wide.volume_serial;
    id.inode = FoldFileId(wide.id);
    return id;
  }
  BY_HANDLE_FILE_INFORMATION data;
  if (::GetFileInformationByHandle(handle, &data)) {
    id.device = data.dwVolumeSerialNumber;
    id.inode = (static_cast<std::uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
  }
  return id;
}

// Fills `info` for the open handle `folder` and checks that it is a real
// folder (a link is one only when `follow_link`). A check that can't be
// made fails, with ERROR_DIRECTORY when it is no real folder.
bool AcceptFolder(HANDLE folder, bool follow_link, FolderInfo* info) {
  FILE_ATTRIBUTE_TAG_INFO attributes;
  if (!AttributesOf(folder, &attributes)) return false;
  if ((attributes.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (!follow_link && IsLink(attributes.FileAttributes, attributes.ReparseTag))) {
    ::SetLastError(ERROR_DIRECTORY);
    return false;
  }
  info->id = IdentityOf(folder);
  return true;
}

// Whether the disposition call was refused because the volume doesn't know
// the class or its POSIX flag (FAT, exFAT, SMB, older systems, wine), as
// opposed to refusing this file.
bool IsUnsupportedClass(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

// Marks the open file for deletion. With POSIX semantics the name goes at
// once, when our handle closes, even while a virus scanner or indexer holds
// the file, and no other handle can cancel it; where the volume lacks them,
// the name stays until the last handle closes.
bool MarkForDeletion(HANDLE file, bool* posix_unsupported) {
  if (!*posix_unsupported) {
    DispositionInfoEx posix = {kDispositionDelete | kDispositionPosixSemantics};
    if (::SetFileInformationByHandle(file, kFileDispositionInfoEx, &posix, sizeof posix)) return true;
    if (!IsUnsupportedClass(::GetLastError())) return false;
    *posix_unsupported = true;
  }
  FILE_DISPOSITION_INFO classic = {TRUE};
  return ::SetFileInformationByHandle(file, FileDispositionInfo, &classic, sizeof classic) != 0;
}

// Whether the open entry `file` is marked read-only.
bool IsReadOnly(HANDLE file) {
  FILE_ATTRIBUTE_TAG_INFO attributes;
  return AttributesOf(file, &attributes) &&
         (attributes.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// The reason a deletion failed with `error`; a `read_only` file says so, as
// that is the one refusal the user can lift with a click.
std::string DeletionFailure(DWORD error, bool read_only) {
  std::string reason = win32::SystemMessage(error);
  if (read_only) reason += " (the file is read-only)";
  return reason;
}


// A file time (100-nanosecond ticks since 1601) as nanoseconds since 1970,
// held at the ends of the range rather than wrapped.
std::int64_t NanosecondsSinceEpoch(std::int64_t ticks) {
  constexpr std::int64_t kTicksBefore1970 = 116444736000000000;
  constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
  const std::int64_t since_1970 = ticks - kTicksBefore1970;  // ticks are never negative
  if (since_1970 >= kMost / 100) return kMost;
  if (since_1970 <= -(kMost / 100)) return -kMost;
  return since_1970 * 100;
}

/// What asking an entry's handle for its own name showed.
enum class NameCheck { kSame, kDifferent, kUnknown };

class Win32FileSystem : public FileSystem {
 public:
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
      ScopedHandle folder(OpenFolder(LongPath(cwd), /*follow_link=*/true, info));
      if (folder.valid()) {
        dir->Reset(Wrap(folder.release()));
        return true;
      }
    }
    *error = win32::SystemMessage(::GetLastError());
    return false;
  }

  OpenResult OpenFolderPath(std::string_view path, Dir* dir, FolderInfo* info,
                            std::string* error) override {
    std::wstring wide;
    win32::AppendWide(&wide, path);
    ScopedHandle folder(OpenFolder(LongPath(wide), /*follow_link=*/false, info));
    if (!folder.valid()) return ClassifyOpenFailure(::GetLastError(), error);
    dir->Reset(Wrap(folder.release()));
    return OpenResult::kOpened;
  }

  OpenResult OpenChild(const Dir& parent, std::string_view name, Dir* dir, FolderInfo* info,
                       std::string* error) override {
    SetWideName(name);
    HANDLE handle;
    const NTSTATUS status =
        OpenRelative(parent.native().handle, Buffers().wide_name, kFolderAccess, kFolderShare,
                     FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, &handle);
    if (!Succeeded(status)) return ClassifyOpenFailure(::RtlNtStatusToDosError(status), error);
    ScopedHandle folder(handle);
    // No real folder is gone for us; a check that could not be made is a
    // folder we failed to read, and says why.
    if (!AcceptFolder(folder.get(), /*follow_link=*/false, info)) {
      return ClassifyOpenFailure(::GetLastError(), error);
    }
    if (RunsUnderWine() && CheckIsEntry(parent, folder.get()) != NameCheck::kSame) {
      return OpenResult::kGone;
    }
    dir->Reset(Wrap(folder.release()));
    return OpenResult::kOpened;
  }

  bool OpenParent(const Dir& child, Dir* dir, FolderInfo* info) override {
    // Only needed past the folder stack's window of open levels, so the
    // path is read here rather than kept for every folder. The caller
    // checks that the folder found is the one it left.
    std::wstring path;
    std::wstring parent;
    if (!win32::FinalPathOf(child.native().handle, &path) || !ParentPath(path, &parent)) {
      return false;
    }
    ScopedHandle folder(OpenFolder(parent, /*follow_link=*/false, info));
    if (!folder.valid()) return false;
    dir->Reset(Wrap(folder.release()));
    return true;
  }

  bool ListEntries(const Dir& dir, EntryList* out, std::string* error) override {
    out->Clear();
    dir.native().has_reparse_files = false;
    if (Buffers().listing.empty()) Buffers().listing.resize(kListingBytes);
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
      IO_STATUS_BLOCK io;
      const NTSTATUS status = ::NtQueryDirectoryFile(
          dir.native().handle, nullptr, nullptr, nullptr, &io, Buffers().listing.data(),
          static_cast<ULONG>(Buffers().listing.size()), kFileFullDirectoryInformation, FALSE,
          nullptr, restart);
      if (status == kStatusNoMoreFiles) return true;
      // Not even "." and "..": a folder (such as an empty drive root) with
      // no entries at all.
      if (status == kStatusNoSuchFile && restart) return true;
      if (!Succeeded(status)) {
        *error = StatusMessage(status);
        return false;
      }
      if (io.Information == 0) return true;  // nothing more was there to give
      AddEntries(dir, out);
    }
  }

  LinkTarget LinkLeadsToFolder(const Dir& dir, std::string_view name, std::string*) override {
    // Decided from the link itself, never by following it (which could make
    // the system connect to whatever host the link names): a directory
    // symlink or junction carries FILE_ATTRIBUTE_DIRECTORY, a file symlink
    // does not. Wine shows a Unix symlink to a folder the same way.
    SetWideName(name);
    HANDLE handle;
    if (!Succeeded(OpenRelative(dir.native().handle, Buffers().wide_name, FILE_READ_ATTRIBUTES,
                                kShareAll, FILE_OPEN_REPARSE_POINT, &handle))) {
      return LinkTarget::kNotFolder;  // gone or unreadable: removing it will tell
    }
    ScopedHandle link(handle);
    FILE_ATTRIBUTE_TAG_INFO attributes;
    const bool folder = AttributesOf(link.get(), &attributes) &&
                        (attributes.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return folder ? LinkTarget::kFolder : LinkTarget::kNotFolder;
  }

  RemoveResult RemoveFile(const Dir& dir, std::string_view name, std::string* error) override {
    ScopedHandle entry;
    const RemoveResult opened = OpenToDelete(dir, name, &entry, error);
    if (opened != RemoveResult::kRemoved) return opened;
    if (dir.native().has_reparse_files && !OpenThroughFilter(dir, &entry, error)) {
      return RemoveResult::kFailed;
    }
    // Read-only files refuse this, and are reported rather than forced.
    if (!MarkForDeletion(entry.get(), &dir.native().posix_deletion_unsupported)) {
      const DWORD failure = ::GetLastError();
      if (IsMissing(failure)) return RemoveResult::kMissing;
      *error = DeletionFailure(failure, failure == ERROR_ACCESS_DENIED && IsReadOnly(entry.get()));
      return RemoveResult::kFailed;
    }
    return RemoveResult::kRemoved;  // gone once the handle closes, just below
  }

  RemoveResult ExamineFile(const Dir& dir, std::string_view name, FileExamination* file,
                           std::string* error) override {
    // Opened for deletion as RemoveFile opens it, so rights and sharing
    // answer as they would there; only the deletion itself is left out.
    ScopedHandle entry;
    const RemoveResult opened = OpenToDelete(dir, name, &entry, error);
    if (opened != RemoveResult::kRemoved) return opened;
    if (IsReadOnly(entry.get())) {  // RemoveFile does not force it
      *error = DeletionFailure(ERROR_ACCESS_DENIED, /*read_only=*/true);
      return RemoveResult::kFailed;
    }
    FILE_STANDARD_INFO standard;
    if (::GetFileInformationByHandleEx(entry.get(), FileStandardInfo, &standard, sizeof standard)) {
      file->size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
      // What the volume reserved: less than the size for a sparse or
      // compressed file, more for one that fills part of its last cluster.
      file->allocated = static_cast<std::uint64_t>(standard.AllocationSize.QuadPart);
      file->links = standard.NumberOfLinks;
      if (file->links > 1) file->id = IdentityOf(entry.get());
    }
    return RemoveResult::kRemoved;
  }

  // Opens the entry `name` in `dir` itself, a link never followed, only to
  // read its attributes.
  LookupResult OpenToLookAt(const Dir& dir, std::string_view name, ScopedHandle* entry,
                            std::string* error) {
    SetWideName(name);
    HANDLE handle;
    const NTSTATUS status =
        OpenRelative(dir.native().handle, Buffers().wide_name, FILE_READ_ATTRIBUTES, kShareAll,
                     FILE_OPEN_REPARSE_POINT, &handle);
    if (IsGone(status)) return LookupResult::kMissing;
    if (!Succeeded(status)) {
      *error = StatusMessage(status);
      return LookupResult::kFailed;
    }
    entry->Reset(handle);
    return LookupResult::kFound;
  }

  LookupResult ReadModifiedTime(const Dir& dir, std::string_view name, std::int64_t* time,
                                std::string* error) override {
    ScopedHandle entry;
    const LookupResult opened = OpenToLookAt(dir, name, &entry, error);
    if (opened != LookupResult::kFound) return opened;
    FILE_BASIC_INFO basic;
    if (!::GetFileInformationByHandleEx(entry.get(), FileBasicInfo, &basic, sizeof basic)) {
      *error = win32::SystemMessage(::GetLastError());
      return LookupResult::kFailed;
    }
    *time = NanosecondsSinceEpoch(basic.LastWriteTime.QuadPart);
    return LookupResult::kFound;
  }

  LookupResult LookUpEntry(const Dir& dir, std::string_view name, EntryKind* kind,
                           std::string* error) override {
    ScopedHandle entry;
    const LookupResult opened = OpenToLookAt(dir, name, &entry, error);
    if (opened != LookupResult::kFound) return opened;
    FILE_ATTRIBUTE_TAG_INFO attributes;
    if (!AttributesOf(entry.get(), &attributes)) {
      *error = win32::SystemMessage(::GetLastError());
      return LookupResult::kFailed;
    }
    *kind = KindOf(attributes.FileAttributes, attributes.ReparseTag);
    return LookupResult::kFound;
  }

  LookupResult LookUpPath(const Dir& dir, std::string_view path, EntryKind* kind, FolderId* id,
                          std::string* error) override {
    std::wstring full;
    if (!FullPathOf(dir, path, &full)) {
      *error = win32::SystemMessage(::GetLastError());
      return LookupResult::kFailed;
    }
    // Reading attributes needs no right to read the entry itself; a folder
    // opens only with backup semantics.
    ScopedHandle entry(::CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!entry.valid()) {
      const DWORD failure = ::GetLastError();
      if (IsMissing(failure)) return LookupResult::kMissing;
      *error = win32::SystemMessage(failure);
      return LookupResult::kFailed;
    }
    FILE_ATTRIBUTE_TAG_INFO attributes;
    if (!AttributesOf(entry.get(), &attributes)) {
      *error = win32::SystemMessage(::GetLastError());
      return LookupResult::kFailed;
    }
    *kind = KindOf(attributes.FileAttributes, attributes.ReparseTag);
    *id = IdentityOf(entry.get());
    return LookupResult::kFound;
  }

  LookupResult ListFolderAt(const Dir& dir, std::string_view path, EntryList* out,
                            std::string* error) override {
    std::wstring full;
    if (!FullPathOf(dir, path, &full)) {
      *error = win32::SystemMessage(::GetLastError());
      return LookupResult::kFailed;
    }
    FolderInfo info;
    ScopedHandle handle(OpenFolder(full, /*follow_link=*/true, &info));
    if (!handle.valid()) {
      const DWORD failure = ::GetLastError();
      if (IsMissing(failure) || failure == ERROR_DIRECTORY) return LookupResult::kMissing;
      *error = win32::SystemMessage(failure);
      return LookupResult::kFailed;
    }
    Dir folder;
    folder.Reset(Wrap(handle.release()));
    return ListEntries(folder, out, error) ? LookupResult::kFound : LookupResult::kFailed;
  }

  LookupResult ReadLinkText(const Dir&, std::string_view, std::string*, std::string*) override {
    // Git for Windows never keeps HEAD as a link: a link there is read
    // through, as any file.
    return LookupResult::kMissing;
  }

  LookupResult PhysicalFolderPath(std::string_view path, std::string* physical,
                                  std::string* error) override {
    // As the current directory shows it: the full path, "." and ".." taken
    // out, in the form CurrentDirectory gives (no "\\?\").
    std::wstring wide;
    win32::AppendWide(&wide, path);
    for (wchar_t& c : wide) {
      if (c == L'/') c = L'\\';
    }
    std::wstring full;
    DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    while (size != 0) {
      full.resize(size);
      const DWORD length = ::GetFullPathNameW(wide.c_str(), size, &full[0], nullptr);
      if (length < size) {
        full.resize(length);
        break;
      }
      size = length;
    }
    if (size == 0 || full.empty()) {
      *error = win32::SystemMessage(::GetLastError());
      return LookupResult::kFailed;
    }
    const DWORD attributes = ::GetFileAttributesW(LongPath(full).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD failure = ::GetLastError();
      if (IsMissing(failure)) return LookupResult::kMissing;
      *error = win32::SystemMessage(failure);
      return LookupResult::kFailed;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return LookupResult::kMissing;
    *physical = win32::Wtf8FromWide(full);
    return LookupResult::kFound;
  }

  LookupResult ReadWholeFile(const Dir& dir, std::string_view path, std::size_t most_bytes,
                             std::string* content, std::string* error) override {
    std::wstring full;
    if (!FullPathOf(dir, path, &full)) {
      *error = win32::SystemMessage(::GetLastError());
      return LookupResult::kFailed;
    }
    ScopedHandle file(::CreateFileW(full.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
      const DWORD failure = ::GetLastError();
      if (IsMissing(failure)) return LookupResult::kMissing;
      *error = win32::SystemMessage(failure);
      return LookupResult::kFailed;
    }
    BY_HANDLE_FILE_INFORMATION data;
    if (::GetFileType(file.get()) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(file.get(), &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      *error = "it is not a regular file";
      return LookupResult::kFailed;
    }
    const std::uint64_t size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    if (size > most_bytes) {
      *error = "it is larger than " + std::to_string(most_bytes) + " bytes";
      return LookupResult::kFailed;
    }
    content->clear();
    content->reserve(static_cast<std::size_t>(size));
    char chunk[64 * 1024];
    for (;;) {
      DWORD read = 0;
      if (!::ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr)) {
        *error = win32::SystemMessage(::GetLastError());
        return LookupResult::kFailed;
      }
      if (read == 0) return LookupResult::kFound;
      if (content->size() + read > most_bytes) {
        *error = "it grew past " + std::to_string(most_bytes) + " bytes while being read";
        return LookupResult::kFailed;
      }
      content->append(chunk, read);
    }
  }

 private:
  // The "\\?\" path of `path`, absolute or relative to `dir`, its "." and
  // ".." resolved as Win32 would. False, with the reason in GetLastError,
  // when the folder's own path can't be read.
  static bool FullPathOf(const Dir& dir, std::string_view path, std::wstring* full) {
    std::wstring wide;
    win32::AppendWide(&wide, path);
    for (wchar_t& c : wide) {
      if (c == L'/') c = L'\\';
    }
    if (IsAbsolutePath(path)) {
      if (StartsWith(wide, L"\\\\?\\")) {
        *full = Normalized(wide);
        return true;
      }
      // The system's own resolution of a full path, drive-rooted ones too.
      DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
      while (size != 0) {
        full->resize(size);
        const DWORD length = ::GetFullPathNameW(wide.c_str(), size, &(*full)[0], nullptr);
        if (length < size) {
          full->resize(length);
          if (length == 0) return false;
          *full = LongPath(*full);
          return true;
        }
        size = length;
      }
      return false;
    }
    if (!win32::FinalPathOf(dir.native().handle, full)) return false;
    full->push_back(L'\\');
    full->append(wide);
    *full = Normalized(*full);
    return true;
  }

  // Opens the entry `name` in `dir` with the right to delete it: the entry
  // itself, never what a link leads to, and never a folder. kRemoved, with
  // the handle in `entry`, when the deletion may go ahead.
  RemoveResult OpenToDelete(const Dir& dir, std::string_view name, ScopedHandle* entry,
                            std::string* error) {
    SetWideName(name);
    HANDLE handle;
    const NTSTATUS status =
        OpenRelative(dir.native().handle, Buffers().wide_name, DELETE | FILE_READ_ATTRIBUTES,
                     kShareAll, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, &handle);
    if (status == kStatusFileIsADirectory)
      return RemoveResult::kIsFolder;  // folders, and links to them, stay
    if (IsGone(status)) return RemoveResult::kMissing;
    if (!Succeeded(status)) {
      *error = StatusMessage(status);
      return RemoveResult::kFailed;
    }
    ScopedHandle opened(handle);
    if (RunsUnderWine()) {
      const NameCheck check = CheckIsEntry(dir, opened.get());
      if (check != NameCheck::kSame) {
        *error = check == NameCheck::kDifferent
                     ? "it is a link, and this system would delete what it points to instead"
                     : "its name could not be checked: " + win32::SystemMessage(::GetLastError());
        return RemoveResult::kFailed;
      }
    }
    entry->Reset(opened.release());
    return RemoveResult::kRemoved;
  }

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

  // Opens the folder at the "\\?\" path `path`; INVALID_HANDLE_VALUE, with
  // the reason in GetLastError, when it is not (or no longer) a real folder.
  static HANDLE OpenFolder(const std::wstring& path, bool follow_link, FolderInfo* info) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    ScopedHandle folder(::CreateFileW(path.c_str(), kFolderAccess, kFolderShare, nullptr,
                                      OPEN_EXISTING, flags, nullptr));
    if (!folder.valid() || !AcceptFolder(folder.get(), follow_link, info)) return INVALID_HANDLE_VALUE;
    return folder.release();
  }

  // A non-link reparse file (a cloud placeholder, a deduplicated file) is
  // deleted as DeleteFileW does it: reopened without FILE_OPEN_REPARSE_POINT,
  // so that its file-system filter sees the deletion. Only if the entry
  // still is such a file, and the new handle is the same file, so a link
  // swapped in meanwhile is never followed.
  bool OpenThroughFilter(const Dir& dir, ScopedHandle* entry, std::string* error) {
    FILE_ATTRIBUTE_TAG_INFO attributes;
    if (!AttributesOf(entry->get(), &attributes)) {
      *error = win32::SystemMessage(::GetLastError());
      return false;
    }
    if (!IsOtherReparsePoint(attributes.FileAttributes, attributes.ReparseTag)) return true;
    HANDLE handle;
    const NTSTATUS status =
        OpenRelative(dir.native().handle, Buffers().wide_name, DELETE | FILE_READ_ATTRIBUTES,
                     kShareAll, FILE_NON_DIRECTORY_FILE, &handle);
    if (!Succeeded(status)) {
      *error = StatusMessage(status);
      return false;
    }
    ScopedHandle through(handle);
    const FolderId before = IdentityOf(entry->get());
    if (!before.IsKnown() || before != IdentityOf(through.get())) {
      *error = "it was replaced while being deleted";
      return false;
    }
    entry->Reset(through.release());
    return true;
  }

  // A Dir's contents for the open folder `handle`. Under wine, where opens
  // are checked by name, its name is read now, before other threads may
  // share the folder, rather than on first use.
  Dir::Native Wrap(HANDLE handle) {
    Dir::Native native;
    native.handle = handle;
    if (RunsUnderWine()) NameOf(handle, &native.name);  // left empty when it can't be read
    return native;
  }

  // The name of an open entry, from its volume's root ("\work\proj\x.obj").
  // The buffer starts small and grows to what a longer name needs.
  bool NameOf(HANDLE handle, std::wstring* name) {
    for (;;) {
      if (::GetFileInformationByHandleEx(handle, FileNameInfo, Buffers().name_info.data(),
                                         static_cast<DWORD>(Buffers().name_info.size()))) {
        const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(Buffers().name_info.data());
        name->assign(info->FileName, info->FileNameLength / sizeof(wchar_t));
        return true;
      }
      if (::GetLastError() != ERROR_MORE_DATA) return false;
      const auto* partial = reinterpret_cast<const FILE_NAME_INFO*>(Buffers().name_info.data());
      const std::size_t needed = sizeof(FILE_NAME_INFO) + partial->FileNameLength;
      Buffers().name_info.resize(
          needed > Buffers().name_info.size() ? needed : 2 * Buffers().name_info.size());
    }
  }

  // Whether `entry` is the wide name set last directly in `dir`, and not
  // what a link of that name leads to. kUnknown when a name can't be read.
  NameCheck CheckIsEntry(const Dir& dir, HANDLE entry) {
    const std::wstring& folder_name = dir.native().name;
    if (folder_name.empty()) return NameCheck::kUnknown;
    if (!NameOf(entry, &Buffers().entry_name)) return NameCheck::kUnknown;
    Buffers().expected_name = folder_name;
    JoinWide(&Buffers().expected_name, Buffers().wide_name);
    const int order = ::CompareStringOrdinal(
        Buffers().expected_name.data(), static_cast<int>(Buffers().expected_name.size()),
        Buffers().entry_name.data(), static_cast<int>(Buffers().entry_name.size()),
        /*bIgnoreCase=*/TRUE);
    return order == CSTR_EQUAL ? NameCheck::kSame : NameCheck::kDifferent;
  }

  void SetWideName(std::string_view name) {
    Buffers().wide_name.clear();
    win32::AppendWide(&Buffers().wide_name, name);
  }

  // Appends the entries of one listing call, and notes whether the folder
  // holds non-link reparse files, which RemoveFile then looks for.
  void AddEntries(const Dir& dir, EntryList* out) {
    for (std::size_t at = 0;;) {
      const auto* data = reinterpret_cast<const FILE_FULL_DIR_INFO*>(Buffers().listing.data() + at);
      const std::wstring_view name(data->FileName, data->FileNameLength / sizeof(wchar_t));
      // With the reparse attribute set, EaSize holds the reparse tag.
      const DWORD attributes = data->FileAttributes;
      const DWORD tag = data->EaSize;
      if (!IsDots(name)) {
        const std::size_t offset = out->names.size();
        win32::AppendWtf8(&out->names, name);
        out->entries.push_back({static_cast<std::uint32_t>(offset),
                                static_cast<std::uint32_t>(out->names.size() - offset),
                                KindOf(attributes, tag)});
        out->modified.push_back(NanosecondsSinceEpoch(data->LastWriteTime.QuadPart));
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && IsOtherReparsePoint(attributes, tag)) {
          dir.native().has_reparse_files = true;
        }
      }
      if (data->NextEntryOffset == 0) return;
      at += data->NextEntryOffset;
    }
  }

  static EntryKind KindOf(DWORD attributes, DWORD tag) {
    if (IsLink(attributes, tag)) return EntryKind::kLink;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryKind::kFolder;
    return EntryKind::kFile;
  }

  // Scratch buffers, reused for every call. One set per thread: cleaning
  // threads call the one file system at the same time.
  struct Scratch {
    std::wstring wide_name;
    std::wstring entry_name;
    std::wstring expected_name;
    std::vector<char> name_info = std::vector<char>(kFirstNameBytes);
    std::vector<char> listing;
  };
  static Scratch& Buffers() { return PerThread<Scratch>(); }
};

}  // namespace

FileSystem& NativeFileSystem() {
  static Win32FileSystem* const fs = new Win32FileSystem();
  return *fs;
}

// Handles are not a scarce resource on Windows.
std::size_t SpareFolderHandles() { return static_cast<std::size_t>(-1); }

// Not looked up here: the Windows listing carries no file numbers to match.
std::vector<FolderId> StandardStreamFiles() { return {}; }

// Windows shows a folder at a second path through junctions and links,
// which the walk never follows, and through mounted volumes' own paths,
// which hold no one's git data twice: none to tell.
std::vector<std::vector<std::string>> FoldersShownTwice() { return {}; }

}  // namespace platform
