/// bench_latency_fs: a passthrough FUSE file system that answers every
/// request after a set delay, as a network share or a disk far away does.
///
/// Usage: bench_latency_fs BACKING MOUNTPOINT DELAY_US [FUSE OPTIONS...]
/// Serves BACKING at MOUNTPOINT (in the foreground; unmount with
/// fusermount3 -u). Up to 64 requests are served at once, so many requests
/// in flight pay off as they would on a share; libfuse's own default is 10.
/// Only what cleaning a tree asks for is served: looking entries up,
/// listing folders, reading links and removing files; the rest is refused.

#define FUSE_USE_VERSION 35
#include <fuse3/fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int backing_fd = -1;
useconds_t delay_us = 0;

// Where `path` ("/a/b") lies below the backing folder.
const char* Relative(const char* path) { return path[1] == '\0' ? "." : path + 1; }

void Wait() {
    if (delay_us > 0) ::usleep(delay_us);
}

int GetAttr(const char* path, struct stat* st, struct fuse_file_info*) {
    Wait();
    return ::fstatat(backing_fd, Relative(path), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

int ReadLink(const char* path, char* buffer, std::size_t size) {
    Wait();
    const ssize_t length = ::readlinkat(backing_fd, Relative(path), buffer, size - 1);
    if (length < 0) return -errno;
    buffer[length] = '\0';
    return 0;
}

int OpenDir(const char* path, struct fuse_file_info* info) {
    Wait();
    const int fd = ::openat(backing_fd, Relative(path), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0) return -errno;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        ::close(fd);
        return -error;
    }
    info->fh = reinterpret_cast<std::uint64_t>(dir);
    return 0;
}

// The whole listing in one reply: the delay is per request, as on a share
// that sends a folder's entries together.
int ReadDir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info* info,
            enum fuse_readdir_flags) {
    Wait();
    DIR* dir = reinterpret_cast<DIR*>(info->fh);
    ::rewinddir(dir);
    while (const struct dirent* entry = ::readdir(dir)) {
        struct stat st {};
        st.st_ino = entry->d_ino;
        st.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
        if (fill(buffer, entry->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
    }
    return 0;
}

int ReleaseDir(const char*, struct fuse_file_info* info) {
    ::closedir(reinterpret_cast<DIR*>(info->fh));
    return 0;
}

int Unlink(const char* path) {
    Wait();
    return ::unlinkat(backing_fd, Relative(path), 0) == 0 ? 0 : -errno;
}

int Open(const char* path, struct fuse_file_info* info) {
    Wait();
    const int fd = ::openat(backing_fd, Relative(path), info->flags & ~O_CREAT);
    if (fd < 0) return -errno;
    info->fh = static_cast<std::uint64_t>(fd);
    return 0;
}

int Read(const char*, char* buffer, std::size_t size, off_t offset, struct fuse_file_info* info) {
    Wait();
    const ssize_t read = ::pread(static_cast<int>(info->fh), buffer, size, offset);
    return read < 0 ? -errno : static_cast<int>(read);
}

int Release(const char*, struct fuse_file_info* info) {
    ::close(static_cast<int>(info->fh));
    return 0;
}

void* Init(struct fuse_conn_info*, struct fuse_config* config) {
    // Nothing cached by the kernel beyond a request: every lookup and
    // every attribute costs a round trip, as on a share that checks.
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->use_ino = 1;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || std::atoi(argv[3]) < 0) {
        std::fprintf(stderr, "usage: %s BACKING MOUNTPOINT DELAY_US [FUSE OPTIONS...]\n", argv[0]);
        return 2;
    }
    backing_fd = ::open(argv[1], O_RDONLY | O_DIRECTORY);
    if (backing_fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    delay_us = static_cast<useconds_t>(std::atoi(argv[3]));
    struct fuse_operations operations {};
    operations.getattr = GetAttr;
    operations.readlink = ReadLink;
    operations.opendir = OpenDir;
    operations.readdir = ReadDir;
    operations.releasedir = ReleaseDir;
    operations.unlink = Unlink;
    operations.open = Open;
    operations.read = Read;
    operations.release = Release;
    operations.init = Init;
    std::vector<std::string> arguments = {argv[0], argv[2], "-f", "-o", "max_threads=64",
                                          "-o", "max_idle_threads=64", "-o", "allow_other",
                                          "-o", "default_permissions"};
    for (int i = 4; i < argc; ++i) arguments.emplace_back(argv[i]);
    std::vector<char*> fuse_argv;
    for (std::string& argument : arguments) fuse_argv.push_back(argument.data());
    return fuse_main(static_cast<int>(fuse_argv.size()), fuse_argv.data(), &operations, nullptr);
}
