// The narrow seam between the cleaning engine and the operating system's file
// system. Everything the walk needs from the OS goes through FileSystem, so the
// engine stays free of OS headers and tests can wrap the real implementation to
// inject failures.
#ifndef BUILDSWEEP_PLATFORM_FILE_SYSTEM_H_
#define BUILDSWEEP_PLATFORM_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dir.h"

namespace platform {

/// What an entry is, as its own folder reports it. Links are never followed:
/// a symbolic link (or a junction) is a kLink whatever it points to.
enum class EntryKind : unsigned char { kFile, kFolder, kLink };

/// Identity of a folder or file: two opens that yield the same pair opened
/// the same one. Some file systems have no usable identity and report 0 (or
/// all ones) for every folder; such an id is unknown and tells nothing.
struct FolderId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;

  /// Whether the file system gave this folder an identity of its own.
  bool IsKnown() const { return inode != 0 && inode != ~std::uint64_t{0}; }
};

/// Whether `a` and `b` name the same folder.
inline bool operator==(const FolderId& a, const FolderId& b) {
  return a.device == b.device && a.inode == b.inode;
}
/// Whether `a` and `b` name different folders.
inline bool operator!=(const FolderId& a, const FolderId& b) { return !(a == b); }
/// Whether `a` and `b` are known to be different folders; never when either
/// id is unknown, as nothing then tells them apart.
inline bool KnownToDiffer(const FolderId& a, const FolderId& b) {
  return a.IsKnown() && b.IsKnown() && a != b;
}

/// What opening a folder tells about it.
struct FolderInfo {
  FolderId id;
};

/// One entry of a folder listing; the name lives in EntryList::names.
struct Entry {
  std::uint32_t name_offset;
  std::uint32_t name_size;
  EntryKind kind;
};

/// A folder listing. Kept and reused by the caller so that listing a folder
/// does not allocate once the buffers have grown. A list thinned out by
/// dropping entries may keep their names in `names`.
struct EntryList {
  std::string names;
  std::vector<Entry> entries;
  /// The file number of each entry, parallel to `entries`, where the listing
  /// gives it for free (POSIX); empty otherwise.
  std::vector<std::uint64_t> inodes;
  /// When each entry was last modified (see FileSystem::ReadModifiedTime),
  /// parallel to `entries`, where the listing gives it for free (Windows);
  /// empty otherwise.
  std::vector<std::int64_t> modified;

  /// The name of `e`.
  std::string_view NameOf(const Entry& e) const {
    return std::string_view(names.data() + e.name_offset, e.name_size);
  }
  /// Appends an entry named `name`.
  void Add(std::string_view name, EntryKind kind) {
    entries.push_back({static_cast<std::uint32_t>(names.size()),
                       static_cast<std::uint32_t>(name.size()), kind});
    names.append(name.data(), name.size());
  }
  /// Appends an entry named `name` whose file number is `inode`.
  void Add(std::string_view name, EntryKind kind, std::uint64_t inode) {
    Add(name, kind);
    inodes.push_back(inode);
  }
  /// Empties the list, keeping its capacity.
  void Clear() {
    names.clear();
    entries.clear();
    inodes.clear();
    modified.clear();
  }
};

/// Outcome of removing one file.
enum class RemoveResult {
  kRemoved,   ///< the entry is gone because we removed it
  kMissing,   ///< nothing by that name was there any more
  kIsFolder,  ///< the name now belongs to a folder, which is never removed
  kFailed,    ///< the entry is still there; the reason says why
};

/// Outcome of opening a folder.
enum class OpenResult {
  kOpened,     ///< open; the folder's description has been filled in
  kGone,       ///< no real folder by that name any more (removed, or now a file or link)
  kFailed,     ///< the folder is there but can't be opened; the reason says why
  kNoHandles,  ///< the process or system is out of handles; closing some may help
};

/// What a link leads to, followed through any number of links.
enum class LinkTarget {
  kFolder,     ///< a folder: the link is never deleted
  kNotFolder,  ///< a file, or nothing at all (a dangling link)
  kUnknown,    ///< can't be told (no access, too many links, ...); the reason says why
};

/// What examining a file tells about the space it takes.
struct FileExamination {
  /// Its apparent size (a link's own), as `ls -l` shows it.
  std::uint64_t size = 0;
  /// The space the file system has allocated to it, given back once its
  /// last link goes.
  std::uint64_t allocated = 0;
  /// How many links (names) it has, anywhere on its volume.
  std::uint64_t links = 1;
  /// Its identity, which tells its links apart from other files; filled in
  /// only when it has more than one link.
  FolderId id;
};

/// Outcome of looking up one entry, or of reading one file.
enum class LookupResult {
  kFound,    ///< there, and read or described
  kMissing,  ///< nothing by that name (or a folder on the way is missing)
  kFailed,   ///< there, or maybe there, but it can't be read; the reason says why
};

/// The file-system operations the engine uses. Every folder is reached
/// relative to an open parent, so a folder swapped for a link between two
/// operations can never redirect the walk outside the tree.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  /// Reads the process's current directory as a displayable path. False, with
  /// the system's reason in `error`, when it can't be read or no longer exists.
  virtual bool CurrentDirectory(std::string* path, std::string* error) = 0;

  /// Opens the process's current directory.
  virtual bool OpenCurrentDirectory(Dir* dir, FolderInfo* info, std::string* error) = 0;

  /// Opens the folder `name` inside `parent` without following a link: kGone
  /// when `name` is not (or no longer) a real folder. On kFailed and
  /// kNoHandles, `error` holds the system's reason.
  virtual OpenResult OpenChild(const Dir& parent, std::string_view name, Dir* dir,
                               FolderInfo* info, std::string* error) = 0;

  /// Opens the folder at the absolute `path` as OpenChild opens one (its
  /// last name never followed as a link): for a path the system gave
  /// itself, such as FoldersShownTwice's.
  virtual OpenResult OpenFolderPath(std::string_view path, Dir* dir, FolderInfo* info,
                                    std::string* error) = 0;

  /// Opens the folder that contains `child`.
  virtual bool OpenParent(const Dir& child, Dir* dir, FolderInfo* info) = 0;

  /// Lists every entry of `dir` except "." and ".." into `out` (cleared
  /// first), in the order the file system yields them. False, with the
  /// system's reason in `error`, when the listing could not be read. A Dir is
  /// listed at most once.
  virtual bool ListEntries(const Dir& dir, EntryList* out, std::string* error) = 0;

  /// What the link `name` in `dir` leads to. A dangling link leads nowhere
  /// (kNotFolder); when the target can't be examined, kUnknown with the
  /// system's reason in `error`.
  virtual LinkTarget LinkLeadsToFolder(const Dir& dir, std::string_view name,
                                       std::string* error) = 0;

  /// Removes the non-folder entry `name` from `dir`; a link is removed itself,
  /// never its target. On kFailed, `error` holds the system's reason.
  virtual RemoveResult RemoveFile(const Dir& dir, std::string_view name, std::string* error) = 0;

  /// Answers as RemoveFile would for `name` in `dir`, without removing it:
  /// kRemoved, with what the entry itself (a link, never its target) takes
  /// in `file`, when it would be removed; kMissing, kIsFolder or kFailed
  /// otherwise. kFailed foresees the refusals that can be seen without
  /// trying (missing rights, a read-only file system); others show only in
  /// a real run.
  virtual RemoveResult ExamineFile(const Dir& dir, std::string_view name, FileExamination* file,
                                   std::string* error) = 0;

  /// RemoveFile, and on kRemoved what the entry took in `removed` where that
  /// is known without asking the system again (a dry run's answer, which
  /// examined it); `removed` is left as it was otherwise.
  virtual RemoveResult RemoveFileMeasured(const Dir& dir, std::string_view name,
                                          FileExamination* /*removed*/, std::string* error) {
    return RemoveFile(dir, name, error);
  }

  /// When the entry `name` in `dir` (a link itself, never its target) was
  /// last modified, in nanoseconds since 1970-01-01 00:00 UTC: in `time` on
  /// kFound; on kFailed, the system's reason in `error`.
  virtual LookupResult ReadModifiedTime(const Dir& dir, std::string_view name,
                                        std::int64_t* time, std::string* error) = 0;

  /// What the entry `name` in `dir` is, the link itself when it is one: its
  /// kind in `kind` on kFound; on kFailed, the system's reason in `error`.
  virtual LookupResult LookUpEntry(const Dir& dir, std::string_view name, EntryKind* kind,
                                   std::string* error) = 0;

  /// Reads the regular file at `path` whole into `content`, for metadata
  /// that other programs keep (a repository's index and configuration).
  /// `path` is absolute, or relative to `dir` with any number of components
  /// and `..`, `/` between them (and `\` on Windows); links on the way are
  /// followed, as only reading is done. A file larger than `most_bytes`, or
  /// one that is no regular file (a fifo would never end), is kFailed with
  /// the reason in `error`.
  virtual LookupResult ReadWholeFile(const Dir& dir, std::string_view path,
                                     std::size_t most_bytes, std::string* content,
                                     std::string* error) = 0;

  /// What the entry at `path` is, resolved as ReadWholeFile resolves a
  /// path (absolute, or relative to `dir` with `..`; links followed), and
  /// its identity. Needs no right but to search the folders on the way and
  /// holds no handle, so a climb to the top of the file system costs no
  /// descriptor and passes folders that may be searched but not read. A
  /// path that leads nowhere is kMissing; on kFailed, the system's reason
  /// is in `error`.
  virtual LookupResult LookUpPath(const Dir& dir, std::string_view path, EntryKind* kind,
                                  FolderId* id, std::string* error) = 0;

  /// The text of the link at `path` (resolved as LookUpPath resolves the
  /// folders on the way; the link itself not followed) in `text`: git may
  /// keep HEAD as a link to a branch that only packed-refs holds. kMissing
  /// where there is no link there; on kFailed, the system's reason is in
  /// `error`.
  virtual LookupResult ReadLinkText(const Dir& dir, std::string_view path, std::string* text,
                                    std::string* error) = 0;

  /// Lists the folder at `path` (resolved as LookUpPath resolves it, links
  /// followed, as git follows them in its own data) into `out`, as
  /// ListEntries lists an open one; its handle is closed again at once.
  /// kMissing where there is no folder there; on kFailed, the system's
  /// reason is in `error`.
  virtual LookupResult ListFolderAt(const Dir& dir, std::string_view path, EntryList* out,
                                    std::string* error) = 0;

  /// The physical path of the folder at the absolute `path` in `physical`:
  /// links and `..` resolved as the system resolves them on the way, the
  /// form a run started there shows as its root. kMissing where the path
  /// leads to no folder; on kFailed, the system's reason is in `error`.
  virtual LookupResult PhysicalFolderPath(std::string_view path, std::string* physical,
                                          std::string* error) = 0;

  /// The bytes of a file held for as long as the object lives.
  class FileBytes {
   public:
    virtual ~FileBytes() = default;
    virtual std::string_view bytes() const = 0;
  };

  /// As ReadWholeFile, for a large file read once and soon let go (a
  /// repository's index): the bytes are mapped from the file where the
  /// system can, so they cost neither a copy nor fresh memory, and read
  /// into memory elsewhere, which is what this default does. The file
  /// must not be cut short in place while `content` lives (git replaces
  /// its index, never truncates it); git itself reads its index so.
  virtual LookupResult MapWholeFile(const Dir& dir, std::string_view path,
                                    std::size_t most_bytes, std::unique_ptr<FileBytes>* content,
                                    std::string* error) {
    class ReadBytes final : public FileBytes {
     public:
      std::string_view bytes() const override { return text; }
      std::string text;
    };
    auto read = std::make_unique<ReadBytes>();
    const LookupResult result = ReadWholeFile(dir, path, most_bytes, &read->text, error);
    if (result == LookupResult::kFound) *content = std::move(read);
    return result;
  }
};

/// Whether `path` is absolute on this system ("/x" on POSIX; "C:\x",
/// "C:/x", "\\server\share" or "\\?\..." on Windows, and a path from
/// the drive's root, "\x"), as ReadWholeFile takes it.
bool IsAbsolutePath(std::string_view path);

/// The operating system's own file system.
FileSystem& NativeFileSystem();

/// How many more folders the process can hold open at once, after what it
/// holds now; a large number where handles are not scarce.
std::size_t SpareFolderHandles();

/// Folders the system shows at more than one path, as its table of mounts
/// tells: a bind mount shows a folder, and all below it, at its mount point
/// as well as where it lies; a file system mounted twice shows its whole
/// tree twice. Each group holds the absolute paths of one folder, the mount
/// point first. A mount made over one of the paths since hides it, so each
/// is worth checking. Empty where the system keeps no such table, or shows
/// no folder twice.
std::vector<std::vector<std::string>> FoldersShownTwice();

/// The identities of the files that standard output and standard error
/// write to, so the run never deletes its own report.
std::vector<FolderId> StandardStreamFiles();

/// Whether the walk puts sibling folders and deletions in byte order of
/// their names. POSIX listings come in no useful order (a hash, or creation
/// order), so they are sorted; Windows keeps the order the file system lists
/// them in, as its users know it from dir and Explorer (NTFS keeps every
/// folder sorted by its own case-blind rule).
#if defined(_WIN32)
inline constexpr bool kSortsListings = false;
#else
inline constexpr bool kSortsListings = true;
#endif

/// The character written between a folder and a name in displayed paths.
extern const char kPathSeparator;

/// Appends `name` to the displayed folder path `path` with one separator.
void AppendPathComponent(std::string* path, std::string_view name);

/// Whether the bare name `name` matches the shell wildcard `pattern` (`*`,
/// `?`, `[...]`), by the system's own rules: exact on POSIX, ignoring case
/// on Windows as its shell does.
bool NameMatchesPattern(std::string_view pattern, std::string_view name);

}  // namespace platform

#endif  // BUILDSWEEP_PLATFORM_FILE_SYSTEM_H_
