// POSIX trash calls. Every trash folder below a mount's top is reached
// relative to an open folder without following links, the information file
// is made with O_EXCL, and a file is moved by one rename that never
// replaces an entry (renameat2 with RENAME_NOREPLACE on Linux; elsewhere a
// new link and the old one's removal, which can't replace either).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "platform/per_thread.h"
#include "platform/trash.h"

namespace platform {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// A folder that is only looked up in, checked, and made in (the way to a
// mount's top, the shared trash) needs only to be passed through, as the
// desktop's own tools need: a shared trash is commonly not listable by its
// users (mode 1733), nor is every folder above a user's tree.
#if defined(O_PATH)
constexpr int kSearchFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int kSearchFlags = O_SEARCH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int kSearchFlags = kFolderFlags;
#endif
constexpr mode_t kPrivateFolderMode = 0700;
// A descriptor held only to be given back costs nothing else.
#if defined(O_PATH)
constexpr int kReserveFlags = O_PATH | O_CLOEXEC;
#else
constexpr int kReserveFlags = O_RDONLY | O_CLOEXEC;
#endif

FolderId IdOf(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

int OpenFolder(int at, const char* name, int flags) {
  int fd;
  do {
    fd = ::openat(at, name, flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// `name` NUL-terminated, in a buffer of the thread's own: `slot` 0 or 1, for
// the two names a call may need at once.
const char* Terminated(std::string_view name, int slot = 0) {
  struct Names {
    std::string slots[2];
  };
  std::string& terminated = PerThread<Names>().slots[slot];
  terminated.assign(name.data(), name.size());
  return terminated.c_str();
}

// Why the entry `name` of `at`, which could not be opened as a folder
// without following a link, is no folder to use.
std::string WhyNoFolder(int at, const char* name, int failure) {
  struct stat st;
  if ((failure == ELOOP || failure == ENOTDIR) &&
      ::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return S_ISLNK(st.st_mode) ? "it is a symbolic link" : "it is not a folder";
  }
  return std::strerror(failure);
}

// The outcome of an open that failed with `failure`, its reason in `error`.
OpenResult Failure(int failure, std::string* error) {
  *error = std::strerror(failure);
  return failure == EMFILE || failure == ENFILE ? OpenResult::kNoHandles : OpenResult::kFailed;
}

// Takes `fd` into `dir` and describes it; false with errno when it can't be
// described.
bool Keep(int fd, Dir* dir, FolderInfo* info) {
  dir->Reset(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  info->id = IdOf(st);
  return true;
}

#if defined(__linux__) && defined(SYS_renameat2)
constexpr unsigned kRenameNoReplace = 1;  // RENAME_NOREPLACE
#endif

// One rename from `from` to `to`, never over an entry: 0, or errno.
// The mount `fd` is reached through; 0 where the system can't say (before
// Linux 5.8, or elsewhere).
std::uint64_t MountIdOf(int fd) {
#if defined(__linux__) && defined(STATX_MNT_ID)
  struct statx st;
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &st) == 0 && (st.stx_mask & STATX_MNT_ID) != 0) {
    return st.stx_mnt_id;
  }
#else
  (void)fd;
#endif
  return 0;
}

int RenameNoReplace(int from_fd, const char* from, int to_fd, const char* to) {
#if defined(__linux__) && defined(SYS_renameat2)
  if (::syscall(SYS_renameat2, from_fd, from, to_fd, to, kRenameNoReplace) == 0) return 0;
  // Some file systems (older network ones, some FUSE) don't know the flag:
  // those take the way every other system takes.
  if (errno != EINVAL && errno != ENOSYS) return errno;
#endif
  // A second link made where none may be, then the first removed: at worst
  // (a crash in between) the file has both names, never none.
  if (::linkat(from_fd, from, to_fd, to, 0) != 0) return errno;
  // A file put in its place since (a build writing a new one and renaming
  // it over) is not the one trashed: it stays, and the old one is trashed.
  struct stat linked;
  struct stat here;
  if (::fstatat(to_fd, to, &linked, AT_SYMLINK_NOFOLLOW) == 0 &&
      ::fstatat(from_fd, from, &here, AT_SYMLINK_NOFOLLOW) == 0 &&
      (linked.st_ino != here.st_ino || linked.st_dev != here.st_dev)) {
    return 0;
  }
  if (::unlinkat(from_fd, from, 0) != 0) {
    const int failure = errno;
    ::unlinkat(to_fd, to, 0);
    return failure;
  }
  return 0;
}

class PosixTrashSystem : public TrashSystem {
 public:
  std::string Unsupported() override { return std::string(); }

  OpenResult OpenFolderAt(std::string_view path, bool make, Dir* dir, FolderInfo* info,
                          std::vector<FolderId>* made, std::string* error) override {
    const std::string terminated(path);
    bool to_make = false;
    // A folder that could not be made fails for its own reason, not for the
    // open's that follows.
    // What a dry run foresees fails first, so nothing is made in vain.
    int failure = make ? MakeFoldersOnTheWay(terminated, true, &to_make) : 0;
    if (failure == 0 && make) failure = MakeFoldersOnTheWay(terminated, false, &to_make, made);
    if (failure != 0) return Failure(failure, error);
    const int fd = OpenFolder(AT_FDCWD, terminated.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      if (Keep(fd, dir, info)) return OpenResult::kOpened;
      return Failure(errno, error);
    }
    failure = errno;
    // Not to be made, it is gone only where making it would work; else it
    // fails as the making, or the open after it, would.
    if (!make && (failure == ENOENT || failure == ENOTDIR)) {
      const int foreseen = MakeFoldersOnTheWay(terminated, true, &to_make);
      if (foreseen == 0 && to_make) return OpenResult::kGone;
      if (foreseen != 0) failure = foreseen;
    }
    return Failure(failure, error);
  }

  FolderId NearestExistingFolder(std::string_view path, std::uint64_t* mount) override {
    std::string at(path);
    *mount = 0;
    for (;;) {
      const char* const shown = at.empty() ? "/" : at.c_str();
      struct stat st;
      if (::stat(shown, &st) == 0) {
        const int fd = ::open(shown, kSearchFlags);
        if (fd >= 0) {
          *mount = MountIdOf(fd);
          ::close(fd);
        }
        return IdOf(st);
      }
      if (at.empty()) return FolderId();
      at.resize(at.find_last_of('/') == std::string::npos ? 0 : at.find_last_of('/'));
    }
  }

  OpenResult OpenMountTop(const Dir& dir, Dir* top, FolderInfo* info, std::size_t* levels,
                          std::string* error) override {
    // Every folder on the way is only passed through, and the top is only
    // looked up in and made in: none need be listable.
    int fd = OpenFolder(dir.native(), ".", kSearchFlags);
    if (fd < 0 || !Keep(fd, top, info)) return Failure(errno, error);
    *levels = 0;
    const std::uint64_t mount = MountIdOf(fd);
    for (;;) {
      const int parent = OpenFolder(top->native(), "..", kSearchFlags);
      if (parent < 0) return Failure(errno, error);
      struct stat st;
      if (::fstat(parent, &st) != 0) {
        const int failure = errno;
        ::close(parent);
        return Failure(failure, error);
      }
      // ".." of "/" is "/" itself; any other top's ".." lies on another
      // device, or, for a bind mount inside its own file system, on
      // another mount of it.
      if (IdOf(st) == info->id || static_cast<std::uint64_t>(st.st_dev) != info->id.device ||
          (mount != 0 && MountIdOf(parent) != mount)) {
        ::close(parent);
        return OpenResult::kOpened;
      }
      top->Reset(parent);
      info->id = IdOf(st);
      ++*levels;
    }
  }

  std::uint64_t MountOf(const Dir& dir) override { return MountIdOf(dir.native()); }

  SharedTrash OpenSharedTrash(const Dir& top, std::string_view name, Dir* shared,
                              std::string* reason) override {
    const std::string terminated(name);
    const int fd = OpenFolder(top.native(), terminated.c_str(), kSearchFlags);
    if (fd < 0) {
      if (errno == ENOENT) return SharedTrash::kAbsent;
      if (errno == EMFILE || errno == ENFILE) {
        *reason = std::strerror(errno);
        return SharedTrash::kNoHandles;
      }
      *reason = WhyNoFolder(top.native(), terminated.c_str(), errno);
      return SharedTrash::kRefused;
    }
    shared->Reset(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      *reason = std::strerror(errno);
    } else if ((st.st_mode & S_ISVTX) == 0) {
      *reason = "it lacks the sticky bit";
    } else {
      return SharedTrash::kUsable;
    }
    shared->Close();
    return SharedTrash::kRefused;
  }

  OpenResult OpenPrivateFolder(const Dir& parent, std::string_view name, bool make,
                               bool follow_link, std::uint64_t user, Dir* dir, FolderInfo* info,
                               std::string* error) override {
    const std::string terminated(name);
    if (make && ::mkdirat(parent.native(), terminated.c_str(), kPrivateFolderMode) != 0 &&
        errno != EEXIST) {
      *error = std::strerror(errno);
      return OpenResult::kGone;
    }
    const int flags = follow_link ? kFolderFlags & ~O_NOFOLLOW : kFolderFlags;
    const int fd = OpenFolder(parent.native(), terminated.c_str(), flags);
    if (fd < 0) {
      // A link to nothing is there, and can't be made: both runs say so.
      struct stat link;
      if (errno == ENOENT && follow_link &&
          ::fstatat(parent.native(), terminated.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0) {
        *error = std::strerror(ENOENT);
        return OpenResult::kFailed;
      }
      if (errno == ENOENT && !make) return OpenResult::kGone;
      if (errno == EMFILE || errno == ENFILE) return Failure(errno, error);
      *error = WhyNoFolder(parent.native(), terminated.c_str(), errno);
      return OpenResult::kFailed;
    }
    struct stat st;
    if (!Keep(fd, dir, info) || ::fstat(fd, &st) != 0) {
      *error = std::strerror(errno);
      return OpenResult::kFailed;
    }
    // Checked on the handle, after making it: whatever stood there before,
    // or was put there in between, is used only if it is the user's own.
    if (static_cast<std::uint64_t>(st.st_uid) != user) {
      *error = "it belongs to another user";
      dir->Close();
      return OpenResult::kFailed;
    }
    return OpenResult::kOpened;
  }

  bool MayLeave(const Dir& dir, std::string_view name, std::string* reason) override {
    FileExamination ignored;
    return NativeFileSystem().ExamineFile(dir, name, &ignored, reason) != RemoveResult::kFailed;
  }

  bool MayWriteIn(const Dir& dir, std::string* reason) override {
    if (::faccessat(dir.native(), ".", W_OK | X_OK, AT_EACCESS) == 0) return true;
    *reason = std::strerror(errno);
    return false;
  }

  TrashStep CreateExclusive(const Dir& dir, std::string_view name, std::string_view content,
                            std::string* error) override {
    const char* const terminated = Terminated(name);
    int fd = CreateNew(dir, terminated);
    // The walk may hold every descriptor the process can spare (it sizes
    // itself by them): one of those kept for trashes found later serves for
    // the moment the information file is open, and is taken back after.
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
    bool lent = false;
    if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
      lock.lock();
      if (!reserved_.empty()) {
        ::close(reserved_.back());
        reserved_.pop_back();
        lent = true;
        fd = CreateNew(dir, terminated);
      }
    }
    if (fd < 0) {
      const int failure = errno;
      if (lent) TakeBackLentHandle();
      if (failure == EEXIST) return TrashStep::kExists;
      *error = std::strerror(failure);
      return TrashStep::kFailed;
    }
    std::size_t written = 0;
    int failure = 0;
    while (written < content.size() && failure == 0) {
      const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
      if (n > 0) {
        written += static_cast<std::size_t>(n);
      } else if (n == 0) {
        failure = ENOSPC;
      } else if (errno != EINTR) {
        failure = errno;  // a full disk, or past `ulimit -f` (SIGXFSZ is ignored)
      }
    }
    // Some file systems (network ones) report a failed write only here.
    if (::close(fd) != 0 && failure == 0 && errno != EINTR) failure = errno;
    if (lent) TakeBackLentHandle();
    if (failure == 0) return TrashStep::kDone;
    ::unlinkat(dir.native(), terminated, 0);
    *error = std::strerror(failure);
    return TrashStep::kFailed;
  }

  static int CreateNew(const Dir& dir, const char* name) {
    int fd;
    do {
      fd = ::openat(dir.native(), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
  }

  // Under mutex_: the descriptor CreateExclusive lent from the reserve comes
  // back to it, unless the walk took it meanwhile.
  void TakeBackLentHandle() {
    const int fd = ::open("/", kReserveFlags);
    if (fd >= 0) reserved_.push_back(fd);
  }

  void RemoveCreated(const Dir& dir, std::string_view name) override {
    ::unlinkat(dir.native(), Terminated(name), 0);
  }

  TrashStep MoveNoReplace(const Dir& from, std::string_view name, const Dir& to,
                          std::string_view to_name, std::string* error) override {
    const char* const source = Terminated(name, 0);
    const char* const target = Terminated(to_name, 1);
    const int failure = RenameNoReplace(from.native(), source, to.native(), target);
    if (failure == EEXIST || failure == ENOTEMPTY) return TrashStep::kExists;
    // ENOENT also comes where `to` itself was removed meanwhile (the user
    // emptied the trash by deleting its folders): then the file is still
    // here, and not trashing it is a failure, not a file gone away.
    struct stat st;
    if (failure == ENOENT && ::fstatat(from.native(), source, &st, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == ENOENT) {
      return TrashStep::kMissing;
    }
    if (failure != 0) {
      *error = failure == EXDEV ? "the trash is on another file system" : std::strerror(failure);
      return TrashStep::kFailed;
    }
    // The listing said it was no folder, but a rename moves folders too: one
    // put in its place since goes back, as folders are never taken.
    if (::fstatat(to.native(), target, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
      const int back = RenameNoReplace(to.native(), target, from.native(), source);
      if (back == 0) return TrashStep::kIsFolder;
      *error = std::string("a folder took the file's place and could not be moved back: ") +
               std::strerror(back);
      return TrashStep::kFolderLeft;
    }
    return TrashStep::kDone;
  }

  void ReserveHandles(std::size_t count) override {
    // Never more than half of what is spare: the walk needs its share to
    // go anywhere at all.
    const std::size_t spare = SpareFolderHandles();
    if (count > spare / 2) count = spare / 2;
    const std::lock_guard<std::mutex> lock(mutex_);
    while (reserved_.size() < count) {
      const int fd = ::open("/", kReserveFlags);
      if (fd < 0) return;
      reserved_.push_back(fd);
    }
  }

  void ReleaseHandles() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const int fd : reserved_) ::close(fd);
    reserved_.clear();
  }

  void LocalTimeNow(std::string* out) override {
    // Formatting the time costs more than the rest of an entry's
    // information: done once a second.
    const std::time_t now = std::time(nullptr);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (now == shown_time_) {
        *out = shown_;
        return;
      }
    }
    struct tm local;
    char text[32];
    if (::localtime_r(&now, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local) == 0) {
      text[0] = '\0';
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    shown_time_ = now;
    shown_ = text;
    *out = shown_;
  }

 private:
  // Makes every missing folder on the way to `path`, itself included,
  // for its owner alone (as the home's data folder is to be made); or, when
  // `look_only`, makes none and foresees whether it could, saying in
  // `to_make` whether any is missing. 0, or the errno of the first folder
  // that could not be (or, foreseen, would not be) made.
  static int MakeFoldersOnTheWay(const std::string& path, bool look_only, bool* to_make,
                                 std::vector<FolderId>* made = nullptr) {
    *to_make = false;
    std::string above = "/";
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
      const std::string folder = path.substr(0, slash);
      if (!look_only) {
        // Some file systems (automounts, some network ones) answer for a
        // folder already there with another error than EEXIST: it is let be.
        struct stat st;
        if (::mkdir(folder.c_str(), kPrivateFolderMode) == 0) {
          if (made != nullptr && ::stat(folder.c_str(), &st) == 0) made->push_back(IdOf(st));
        } else if (errno != EEXIST) {
          const int failure = errno;
          if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return failure;
        }
      } else if (struct stat st; ::lstat(folder.c_str(), &st) != 0) {
        // What mkdir would say: the way to it is no folder, or can't be
        // passed; or, missing, its parent must be a folder this process may
        // make entries in. All below it would be this process's own.
        if (errno != ENOENT) return errno;
        *to_make = true;
        if (::stat(above.c_str(), &st) != 0) return errno;
        if (::faccessat(AT_FDCWD, above.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return errno;
        // Nor would a name longer than the file system takes be made below.
        const long most = ::pathconf(above.c_str(), _PC_NAME_MAX);
        for (std::size_t begin = slash; most > 0 && begin != std::string::npos;) {
          const std::size_t end = path.find('/', begin + 1);
          const std::size_t length = (end == std::string::npos ? path.size() : end) - begin - 1;
          if (length > static_cast<std::size_t>(most)) return ENAMETOOLONG;
          begin = end;
        }
        return 0;
      }
      if (slash == std::string::npos) return 0;
      above = folder;
    }
  }

  std::mutex mutex_;
  std::vector<int> reserved_;  // descriptors held for trashes found later
  std::time_t shown_time_ = -1;
  std::string shown_;
};

}  // namespace

TrashSystem& NativeTrashSystem() {
  static PosixTrashSystem* const trash = new PosixTrashSystem();
  return *trash;
}

}  // namespace platform
