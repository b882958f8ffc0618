// POSIX file system: every folder is an O_DIRECTORY descriptor opened
// relative to its parent's descriptor with O_NOFOLLOW, and every file is
// removed with unlinkat relative to its own folder, so no path is ever
// resolved through a link that could lead out of the tree.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/per_thread.h"

namespace platform {

const char kPathSeparator = '/';

void AppendPathComponent(std::string* path, std::string_view name) {
  // Only the root "/" can end in a separator; "//x" would mean something
  // else on some systems, so never write two.
  if (path->empty() || path->back() != '/') path->push_back('/');
  path->append(name.data(), name.size());
}

bool NameMatchesPattern(std::string_view pattern, std::string_view name) {
  // fnmatch wants terminated strings. It is asked for every listed file and
  // folder under -x, so the copies reuse their buffers.
  struct Terminated {
    std::string pattern;
    std::string name;
  };
  Terminated& terminated = PerThread<Terminated>();
  terminated.pattern.assign(pattern.data(), pattern.size());
  terminated.name.assign(name.data(), name.size());
  return ::fnmatch(terminated.pattern.c_str(), terminated.name.c_str(), 0) == 0;
}

bool IsAbsolutePath(std::string_view path) { return !path.empty() && path[0] == '/'; }

namespace {

constexpr int kOpenFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Reaching a folder only to look at names in it needs no right to read it.
#if defined(O_PATH)
constexpr int kReachFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kReachFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// `seconds` and `nanoseconds` since 1970 as one count of nanoseconds, held
// at the ends of its range (dates some 292 years away) rather than wrapped.
std::int64_t NanosecondsSinceEpoch(std::int64_t seconds, long nanoseconds) {
  constexpr std::int64_t kPerSecond = 1000000000;
  constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
  if (seconds >= kMost / kPerSecond) return kMost;
  if (seconds <= -(kMost / kPerSecond)) return -kMost;
  return seconds * kPerSecond + nanoseconds;
}

// Describes the open folder `fd`.
bool Describe(int fd, FolderInfo* info) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  info->id.device = static_cast<std::uint64_t>(st.st_dev);
  info->id.inode = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

// Opens and describes the folder `name` in `at`; on failure errno says why.
bool OpenAndDescribe(int at, const char* name, Dir* dir, FolderInfo* info) {
  int fd;
  do {
    fd = ::openat(at, name, kOpenFolderFlags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  dir->Reset(fd);
  if (!Describe(fd, info)) {
    const int failure = errno;
    dir->Close();
    errno = failure;
    return false;
  }
  return true;
}

// Sorts a failed open by what the walk should make of it.
OpenResult ClassifyOpenFailure(int failure, std::string* error) {
  // O_NOFOLLOW on a link gives ELOOP; a file gives ENOTDIR: either way the
  // name no longer stands for a real folder.
  if (failure == ENOENT || failure == ENOTDIR || failure == ELOOP) return OpenResult::kGone;
  *error = std::strerror(failure);
  if (failure == EMFILE || failure == ENFILE) return OpenResult::kNoHandles;
  return OpenResult::kFailed;
}

EntryKind KindFromMode(mode_t mode) {
  if (S_ISDIR(mode)) return EntryKind::kFolder;
  if (S_ISLNK(mode)) return EntryKind::kLink;
  return EntryKind::kFile;  // regular files, and fifos, sockets and devices
}

class PosixFileSystem : public FileSystem {
 public:
  bool CurrentDirectory(std::string* path, std::string* error) override {
    // glibc grows the buffer itself and also climbs paths longer than
    // PATH_MAX; a removed directory fails with ENOENT.
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) {
      *error = std::strerror(errno);
      return false;
    }
    path->assign(cwd);
    std::free(cwd);
    return true;
  }

  bool OpenCurrentDirectory(Dir* dir, FolderInfo* info, std::string* error) override {
    if (OpenAndDescribe(AT_FDCWD, ".", dir, info)) return true;
    *error = std::strerror(errno);
    return false;
  }

  OpenResult OpenChild(const Dir& parent, std::string_view name, Dir* dir, FolderInfo* info,
                       std::string* error) override {
    if (OpenAndDescribe(parent.native(), Terminated(name), dir, info)) return OpenResult::kOpened;
    return ClassifyOpenFailure(errno, error);
  }

  OpenResult OpenFolderPath(std::string_view path, Dir* dir, FolderInfo* info,
                            std::string* error) override {
    if (OpenAndDescribe(AT_FDCWD, Terminated(path), dir, info)) return OpenResult::kOpened;
    return ClassifyOpenFailure(errno, error);
  }

  bool OpenParent(const Dir& child, Dir* dir, FolderInfo* info) override {
    return OpenAndDescribe(child.native(), "..", dir, info);
  }

  bool ListEntries(const Dir& dir, EntryList* out, std::string* error) override {
    if (ListInto(dir, out)) return true;
    *error = std::strerror(errno);
    return false;
  }

  LinkTarget LinkLeadsToFolder(const Dir& dir, std::string_view name, std::string* error) override {
    struct stat st;
    if (::fstatat(dir.native(), Terminated(name), &st, 0) == 0) {
      return S_ISDIR(st.st_mode) ? LinkTarget::kFolder : LinkTarget::kNotFolder;
    }
    // Only a target that is missing is known to be no folder; a private
    // folder on the way may hide one.
    if (errno == ENOENT || errno == ENOTDIR) return LinkTarget::kNotFolder;
    if (errno == ELOOP) return FollowLinkByHand(dir.native(), name, error);
    *error = std::strerror(errno);
    return LinkTarget::kUnknown;
  }

  RemoveResult RemoveFile(const Dir& dir, std::string_view name, std::string* error) override {
    const char* c_name = Terminated(name);
    if (::unlinkat(dir.native(), c_name, 0) == 0) return RemoveResult::kRemoved;
    const int failure = errno;
    if (failure == ENOENT) return RemoveResult::kMissing;
    // unlinkat without AT_REMOVEDIR never removes a folder; Linux says
    // EISDIR, other systems EPERM.
    struct stat st;
    if (failure == EISDIR ||
        (failure == EPERM && ::fstatat(dir.native(), c_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(st.st_mode))) {
      return RemoveResult::kIsFolder;
    }
    *error = std::strerror(failure);
    return RemoveResult::kFailed;
  }

  RemoveResult ExamineFile(const Dir& dir, std::string_view name, FileExamination* file,
                           std::string* error) override {
    struct stat st;
    if (::fstatat(dir.native(), Terminated(name), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return RemoveResult::kMissing;
      *error = std::strerror(errno);
      return RemoveResult::kFailed;
    }
    if (S_ISDIR(st.st_mode)) return RemoveResult::kIsFolder;
    const int refusal = UnlinkRefusal(dir.native(), st);
    if (refusal != 0) {
      *error = std::strerror(refusal);
      return RemoveResult::kFailed;
    }
    file->size = static_cast<std::uint64_t>(st.st_size);
    // st_blocks counts 512-byte units, whatever the file system's block size.
    file->allocated = static_cast<std::uint64_t>(st.st_blocks) * 512;
    file->links = static_cast<std::uint64_t>(st.st_nlink);
    file->id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    return RemoveResult::kRemoved;
  }

  LookupResult ReadModifiedTime(const Dir& dir, std::string_view name, std::int64_t* time,
                                std::string* error) override {
    struct stat st;
    const LookupResult found = StatEntry(dir, name, &st, error);
    if (found == LookupResult::kFound) {
      *time = NanosecondsSinceEpoch(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    }
    return found;
  }

  LookupResult LookUpEntry(const Dir& dir, std::string_view name, EntryKind* kind,
                           std::string* error) override {
    struct stat st;
    const LookupResult found = StatEntry(dir, name, &st, error);
    if (found == LookupResult::kFound) *kind = KindFromMode(st.st_mode);
    return found;
  }

  // What lstat tells of the entry `name` in `dir`.
  static LookupResult StatEntry(const Dir& dir, std::string_view name, struct stat* st,
                                std::string* error) {
    if (::fstatat(dir.native(), Terminated(name), st, AT_SYMLINK_NOFOLLOW) == 0) {
      return LookupResult::kFound;
    }
    if (errno == ENOENT || errno == ENOTDIR) return LookupResult::kMissing;
    *error = std::strerror(errno);
    return LookupResult::kFailed;
  }

  LookupResult ReadLinkText(const Dir& dir, std::string_view path, std::string* text,
                            std::string* error) override {
    const std::string terminated(path);
    text->resize(256);
    for (;;) {
      const ssize_t length = ::readlinkat(dir.native(), terminated.c_str(), text->data(),
                                          text->size());
      if (length < 0) {
        // EINVAL: there is an entry, but no link.
        if (errno == ENOENT || errno == ENOTDIR || errno == EINVAL) return LookupResult::kMissing;
        *error = std::strerror(errno);
        return LookupResult::kFailed;
      }
      if (static_cast<std::size_t>(length) < text->size()) {
        text->resize(static_cast<std::size_t>(length));
        return LookupResult::kFound;
      }
      text->resize(text->size() * 2);  // it may have been cut short
    }
  }

  LookupResult ListFolderAt(const Dir& dir, std::string_view path, EntryList* out,
                            std::string* error) override {
    int fd;
    do {
      fd = ::openat(dir.native(), Terminated(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      if (errno == ENOENT || errno == ENOTDIR) return LookupResult::kMissing;
      *error = std::strerror(errno);
      return LookupResult::kFailed;
    }
    Dir folder;
    folder.Reset(fd);
    if (ListInto(folder, out)) return LookupResult::kFound;
    *error = std::strerror(errno);
    return LookupResult::kFailed;
  }

  LookupResult LookUpPath(const Dir& dir, std::string_view path, EntryKind* kind, FolderId* id,
                          std::string* error) override {
    struct stat st;
    if (::fstatat(dir.native(), Terminated(path), &st, 0) != 0) {
      // A dangling link, or a file where a folder was named on the way.
      if (errno == ENOENT || errno == ENOTDIR) return LookupResult::kMissing;
      *error = std::strerror(errno);
      return LookupResult::kFailed;
    }
    *kind = KindFromMode(st.st_mode);
    id->device = static_cast<std::uint64_t>(st.st_dev);
    id->inode = static_cast<std::uint64_t>(st.st_ino);
    return LookupResult::kFound;
  }

  LookupResult PhysicalFolderPath(std::string_view path, std::string* physical,
                                  std::string* error) override {
    // realpath holds no descriptor: it needs only the right to search.
    char* resolved = ::realpath(Terminated(path), nullptr);
    if (resolved == nullptr) {
      if (errno == ENOENT || errno == ENOTDIR) return LookupResult::kMissing;
      *error = std::strerror(errno);
      return LookupResult::kFailed;
    }
    physical->assign(resolved);
    std::free(resolved);
    struct stat st;
    if (::stat(physical->c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return LookupResult::kMissing;
      *error = std::strerror(errno);
      return LookupResult::kFailed;
    }
    return S_ISDIR(st.st_mode) ? LookupResult::kFound : LookupResult::kMissing;
  }

  LookupResult ReadWholeFile(const Dir& dir, std::string_view path, std::size_t most_bytes,
                             std::string* content, std::string* error) override {
    int fd = -1;
    struct stat st;
    const LookupResult opened = OpenRegularFile(dir, path, most_bytes, &fd, &st, error);
    if (opened != LookupResult::kFound) return opened;
    const ClosedAtEnd closer{fd};
    content->clear();
    content->reserve(static_cast<std::size_t>(st.st_size) + 1);
    return ReadToEnd(fd, most_bytes, content, error) ? LookupResult::kFound : LookupResult::kFailed;
  }

  LookupResult MapWholeFile(const Dir& dir, std::string_view path, std::size_t most_bytes,
                            std::unique_ptr<FileBytes>* content, std::string* error) override {
    int fd = -1;
    struct stat st;
    const LookupResult opened = OpenRegularFile(dir, path, most_bytes, &fd, &st, error);
    if (opened != LookupResult::kFound) return opened;
    const ClosedAtEnd closer{fd};
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size > 0) {
      // The file's own cached pages, put in place in one call: reading
      // it into fresh memory costs a page fault and a zero-fill a page.
      int flags = MAP_PRIVATE;
#if defined(MAP_POPULATE)
      flags |= MAP_POPULATE;
#endif
      void* at = ::mmap(nullptr, size, PROT_READ, flags, fd, 0);
      struct stat now;
      if (at != MAP_FAILED) {
        auto mapped = std::make_unique<MappedBytes>(static_cast<const char*>(at), size);
        // Changed while it was being mapped: what lies past its end now
        // can't be touched, so read it as it is now.
        if (::fstat(fd, &now) == 0 && now.st_size == st.st_size && now.st_mtime == st.st_mtime) {
          *content = std::move(mapped);
          return LookupResult::kFound;
        }
      }
      // Not mappable here (some network and special file systems): read.
    }
    class ReadBytes final : public FileBytes {
     public:
      std::string_view bytes() const override { return text; }
      std::string text;
    };
    auto read = std::make_unique<ReadBytes>();
    if (::lseek(fd, 0, SEEK_SET) != 0) {
      *error = std::strerror(errno);
      return LookupResult::kFailed;
    }
    read->text.reserve(size + 1);
    if (!ReadToEnd(fd, most_bytes, &read->text, error)) return LookupResult::kFailed;
    *content = std::move(read);
    return LookupResult::kFound;
  }

 private:
  struct ClosedAtEnd {
    int fd;
    ~ClosedAtEnd() { ::close(fd); }
  };

  class MappedBytes final : public FileBytes {
   public:
    MappedBytes(const char* at, std::size_t size) : at_(at), size_(size) {}
    ~MappedBytes() override { ::munmap(const_cast<char*>(at_), size_); }
    MappedBytes(const MappedBytes&) = delete;
    MappedBytes& operator=(const MappedBytes&) = delete;
    std::string_view bytes() const override { return std::string_view(at_, size_); }

   private:
    const char* at_;
    std::size_t size_;
  };

  // Opens the regular file `path` for reading into `fd`, its status in
  // `st`; kFailed for a file larger than `most_bytes` or no regular file.
  static LookupResult OpenRegularFile(const Dir& dir, std::string_view path, std::size_t most_bytes,
                                      int* fd, struct stat* st, std::string* error) {
    // Non-blocking, so that a fifo in the file's place can't hold the open.
    do {
      *fd = ::openat(dir.native(), Terminated(path), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (*fd < 0 && errno == EINTR);
    if (*fd < 0) {
      if (errno == ENOENT || errno == ENOTDIR) return LookupResult::kMissing;
      *error = std::strerror(errno);
      return LookupResult::kFailed;
    }
    std::string problem;
    if (::fstat(*fd, st) != 0) {
      problem = std::strerror(errno);
    } else if (!S_ISREG(st->st_mode)) {
      problem = S_ISDIR(st->st_mode) ? "it is a folder" : "it is not a regular file";
    } else if (static_cast<std::uint64_t>(st->st_size) > most_bytes) {
      problem = "it is larger than " + std::to_string(most_bytes) + " bytes";
    }
    if (problem.empty()) return LookupResult::kFound;
    ::close(*fd);
    *error = std::move(problem);
    return LookupResult::kFailed;
  }

  // System calls want NUL-terminated names; reuse one buffer for them in
  // each thread (cleaning threads share this file system).
  // (A vector, whose growing and copying inline, as a string's do not: this
  // runs for every folder opened and every file deleted.)
  static const char* Terminated(std::string_view name) {
    struct Buffer {
      std::vector<char> bytes;
    };
    std::vector<char>& terminated = PerThread<Buffer>().bytes;
    if (terminated.size() <= name.size()) terminated.resize(name.size() + 1);
    std::memcpy(terminated.data(), name.data(), name.size());
    terminated[name.size()] = '\0';
    return terminated.data();
  }

  bool ListInto(const Dir& dir, EntryList* out);

  // Reads `fd` to its end, which may come sooner or later than its size
  // said when it was opened (someone writes it meanwhile), straight into
  // `content`, which holds room for the size it had.
  static bool ReadToEnd(int fd, std::size_t most_bytes, std::string* content, std::string* error) {
    std::size_t have = 0;
    content->resize(std::max<std::size_t>(content->capacity(), 4096));
    for (;;) {
      if (have == content->size()) {
        if (have > most_bytes) {
          *error = "it grew past " + std::to_string(most_bytes) + " bytes while being read";
          return false;
        }
        content->resize(std::min(2 * have, most_bytes + 1));
      }
      const ssize_t n = ::read(fd, &(*content)[have], content->size() - have);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        *error = std::strerror(errno);
        return false;
      }
      have += static_cast<std::size_t>(n);
    }
    if (have > most_bytes) {
      *error = "it grew past " + std::to_string(most_bytes) + " bytes while being read";
      return false;
    }
    content->resize(have);
    return true;
  }

  LinkTarget FollowLinkByHand(int dir_fd, std::string_view name, std::string* error);

  // The kind from the listing itself; only file systems that don't report it
  // cost an extra lstat-like call.
  bool AddListed(EntryList* out, int dir_fd, const char* name, unsigned char type,
                 std::uint64_t inode) {
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) return true;
    EntryKind kind;
    switch (type) {
      case DT_DIR: kind = EntryKind::kFolder; break;
      case DT_LNK: kind = EntryKind::kLink; break;
      case DT_UNKNOWN: {
        struct stat st;
        if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
          if (errno == ENOENT) return true;  // gone since it was listed
          return false;
        }
        kind = KindFromMode(st.st_mode);
        break;
      }
      default: kind = EntryKind::kFile; break;
    }
    out->Add(name, kind, inode);
    return true;
  }

  // Why unlinkat would refuse to remove the entry described by `entry` from
  // the folder `dir_fd`, as errno would say it; 0 when nothing stands in
  // its way that can be seen without trying. Removing needs write and search
  // rights on the folder (a read-only mount shows here as EROFS), and in a
  // sticky folder the file's or the folder's ownership.
  static int UnlinkRefusal(int dir_fd, const struct stat& entry) {
    if (::faccessat(dir_fd, ".", W_OK | X_OK, AT_EACCESS) != 0) return errno;
    struct stat folder;
    static const uid_t user = ::geteuid();  // asked for every file; the run never changes it
    // The folder is looked at only for a file someone else owns.
    if (user != 0 && entry.st_uid != user && ::fstat(dir_fd, &folder) == 0 &&
        (folder.st_mode & S_ISVTX) != 0 && folder.st_uid != user) {
      return EPERM;
    }
    return 0;
  }
};

// The system gives up after a fixed number of links (ELOOP), which does not
// tell a link that loops, and so leads nowhere, from a long chain that may
// end at a folder. Follow it one link at a time instead: a link met twice is
// a loop; otherwise the chain's end decides.
LinkTarget PosixFileSystem::FollowLinkByHand(int dir_fd, std::string_view name,
                                              std::string* error) {
  constexpr int kMostLinks = 4096;
  std::set<std::pair<dev_t, ino_t>> links_met;
  Dir holder;  // the folder holding the link looked at, once away from `dir_fd`
  int at = dir_fd;
  std::string path(name);
  int failure = ELOOP;  // what ends the chain when it is just too long
  for (int hop = 0; hop < kMostLinks; ++hop) {
    // The folder part of a path is resolved by the system as usual; only
    // the last name is looked at by hand.
    const std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos) {
      const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
      const int fd = ::openat(at, folder.c_str(), kReachFolderFlags);
      if (fd < 0) {
        failure = errno;
        break;
      }
      holder.Reset(fd);
      at = fd;
      path.erase(0, slash + 1);
      if (path.empty()) path = ".";
    }
    struct stat st;
    if (::fstatat(at, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      failure = errno;
      break;
    }
    if (!S_ISLNK(st.st_mode)) return S_ISDIR(st.st_mode) ? LinkTarget::kFolder : LinkTarget::kNotFolder;
    if (!links_met.insert({st.st_dev, st.st_ino}).second) return LinkTarget::kNotFolder;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    const ssize_t n = ::readlinkat(at, path.c_str(), &target[0], target.size());
    if (n < 0 || static_cast<std::size_t>(n) == target.size()) {  // gone, or grew meanwhile
      failure = n < 0 ? errno : EAGAIN;
      break;
    }
    target.resize(static_cast<std::size_t>(n));
    path.swap(target);
  }
  if (failure == ENOENT || failure == ENOTDIR) return LinkTarget::kNotFolder;
  *error = std::strerror(failure);
  return LinkTarget::kUnknown;
}

#if defined(__linux__)

struct LinuxDirent64 {
  ino64_t d_ino;
  off64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

// One large buffer per thread: most folders are read in a single
// getdents64 call.
constexpr std::size_t kDirentBufferSize = 64 * 1024;
struct alignas(8) DirentBuffer {
  char bytes[kDirentBufferSize];
};

bool PosixFileSystem::ListInto(const Dir& dir, EntryList* out) {
  char* const bytes = PerThread<DirentBuffer>().bytes;
  out->Clear();
  const int fd = dir.native();
  for (;;) {
    const long n = ::syscall(SYS_getdents64, fd, bytes, kDirentBufferSize);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (long at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const LinuxDirent64*>(bytes + at);
      if (!AddListed(out, fd, entry->d_name, entry->d_type, entry->d_ino)) return false;
      at += entry->d_reclen;
    }
  }
}

#else

bool PosixFileSystem::ListInto(const Dir& dir, EntryList* out) {
  out->Clear();
  // fdopendir takes the descriptor over, so give it a copy.
  const int copy = ::fcntl(dir.native(), F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  DIR* stream = ::fdopendir(copy);
  if (stream == nullptr) {
    ::close(copy);
    return false;
  }
  ::rewinddir(stream);
  bool ok = true;
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      ok = errno == 0;
      break;
    }
    if (!AddListed(out, dir.native(), entry->d_name, entry->d_type, entry->d_ino)) {
      ok = false;
      break;
    }
  }
  const int failure = errno;
  ::closedir(stream);
  errno = failure;
  return ok;
}

#endif

}  // namespace

FileSystem& NativeFileSystem() {
  static PosixFileSystem* const fs = new PosixFileSystem();
  return *fs;
}

std::size_t SpareFolderHandles() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return static_cast<std::size_t>(-1);
  }
  // Counting what is open is only worth it where the limit is close.
  constexpr rlim_t kPlenty = 4096;
  if (limit.rlim_cur >= kPlenty) return static_cast<std::size_t>(limit.rlim_cur);
  // One poll over every possible descriptor says which are open (a closed
  // one comes back POLLNVAL): a call per descriptor, made for each folder
  // of a run given a thousand, took seconds.
  const auto cap = static_cast<std::size_t>(limit.rlim_cur);
  struct Probes {
    std::vector<struct pollfd> fds;
  };
  std::vector<struct pollfd>& probes = PerThread<Probes>().fds;
  probes.resize(cap);
  for (std::size_t fd = 0; fd < cap; ++fd) probes[fd] = {static_cast<int>(fd), 0, 0};
  std::size_t open = 0;
  if (::poll(probes.data(), static_cast<nfds_t>(cap), 0) >= 0) {
    for (const struct pollfd& probe : probes) open += (probe.revents & POLLNVAL) == 0 ? 1 : 0;
  } else {
    for (int fd = 0; fd < static_cast<int>(cap); ++fd) open += ::fcntl(fd, F_GETFD) != -1 ? 1 : 0;
  }
  return open < cap ? cap - open : 0;
}

namespace {

// A path of the mount table, whose blanks, tabs, line ends and backslashes
// come as \ and three octal digits.
std::string UnescapeMountPath(std::string_view field) {
  const auto octal = [&](std::size_t at) {
    return at < field.size() && field[at] >= '0' && field[at] <= '7';
  };
  std::string path;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      path.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                       (field[i + 3] - '0')));
      i += 3;
    } else {
      path.push_back(field[i]);
    }
  }
  return path;
}

}  // namespace

std::vector<std::vector<std::string>> FoldersShownTwice() {
  std::vector<std::vector<std::string>> groups;
#if defined(__linux__)
  // Each line: id, parent id, device, the folder of the file system mounted
  // (its root), the mount point, and more. A mount whose root lies within
  // another's of the same device shows that folder a second time.
  struct Mount {
    std::string device;
    std::string root;
    std::string point;
  };
  std::vector<Mount> mounts;
  std::FILE* table = std::fopen("/proc/self/mountinfo", "re");
  if (table == nullptr) return groups;
  char* line = nullptr;
  std::size_t capacity = 0;
  while (::getline(&line, &capacity, table) > 0) {
    std::string_view rest(line);
    std::string_view fields[5];
    for (std::string_view& field : fields) {
      const std::size_t begin = rest.find_first_not_of(' ');
      if (begin == std::string_view::npos) break;
      rest.remove_prefix(begin);
      const std::size_t end = std::min(rest.find_first_of(" \n"), rest.size());
      field = rest.substr(0, end);
      rest.remove_prefix(end);
    }
    if (fields[4].empty()) continue;
    mounts.push_back({std::string(fields[2]), UnescapeMountPath(fields[3]),
                      UnescapeMountPath(fields[4])});
  }
  std::free(line);
  std::fclose(table);
  std::set<std::vector<std::string>> seen;
  for (const Mount& shown : mounts) {
    std::vector<std::string> paths{shown.point};
    for (const Mount& other : mounts) {
      if (&other == &shown || other.device != shown.device) continue;
      const std::string& root = other.root;
      const bool whole = root == "/";
      if (!whole && shown.root != root && shown.root.compare(0, root.size() + 1, root + "/") != 0) {
        continue;
      }
      std::string path = other.point == "/" ? std::string() : other.point;
      path.append(shown.root, whole ? 0 : root.size(), std::string::npos);
      if (path.empty()) path = "/";
      if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
    }
    if (paths.size() < 2) continue;
    // Every mount of one folder lists the same paths: one group is enough.
    std::vector<std::string> sorted = paths;
    std::sort(sorted.begin(), sorted.end());
    if (seen.insert(std::move(sorted)).second) groups.push_back(std::move(paths));
  }
#endif
  return groups;
}

std::vector<FolderId> StandardStreamFiles() {
  std::vector<FolderId> files;
  for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) {
      files.push_back({static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)});
    }
  }
  return files;
}

}  // namespace platform
