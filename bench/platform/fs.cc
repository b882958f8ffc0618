#include "platform/fs.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bench::platform {

namespace {

/// Mode for created directories and files; the umask still applies.
constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kFileMode = 0644;

/// Type of a DT_UNKNOWN entry, asked without following links.
EntryType typeByStat(int directory, const char* name) {
    struct stat info;
    if (fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return EntryType::Other;
    if (S_ISDIR(info.st_mode)) return EntryType::Directory;
    return S_ISLNK(info.st_mode) ? EntryType::Link : EntryType::Other;
}

/// Type of an entry from what getdents64 reports.
EntryType typeOf(int directory, const struct dirent64* record) {
    switch (record->d_type) {
        case DT_DIR: return EntryType::Directory;
        case DT_LNK: return EntryType::Link;
        // Most file systems fill d_type; only the rest cost an extra stat.
        case DT_UNKNOWN: return typeByStat(directory, record->d_name);
        default: return EntryType::Other;
    }
}

/// True for the two entries every directory lists for itself and its parent.
bool isDotEntry(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

int openDirectory(const char* path) {
    return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int openSubdirectory(int parent, const char* name) {
    // O_NOFOLLOW closes the race where a directory is swapped for a link
    // between reading its type and opening it.
    return openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool readIdentity(int directory) {
    struct stat st;
    return ::fstat(directory, &st) == 0;
}

std::string absolutePath(const char* path) {
    char* resolved = ::realpath(path, nullptr);
    if (resolved == nullptr) return path;
    std::string absolute(resolved);
    std::free(resolved);
    return absolute;
}

bool writeToStandardOutput(const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(1, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

void closeDirectory(int directory) {
    if (directory >= 0) close(directory);
}

bool removeEntry(int directory, const char* name) {
    return unlinkat(directory, name, 0) == 0;
}

CreateOutcome makeDirectory(int parent, const char* name) {
    if (mkdirat(parent, name, kDirectoryMode) == 0) return CreateOutcome::Created;
    return errno == EEXIST ? CreateOutcome::AlreadyThere : CreateOutcome::Failed;
}

CreateOutcome createEmptyFile(int directory, const char* name) {
    int file = openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kFileMode);
    if (file >= 0) {
        close(file);
        return CreateOutcome::Created;
    }
    return errno == EEXIST ? CreateOutcome::AlreadyThere : CreateOutcome::Failed;
}

CreateOutcome createSymlink(int directory, const char* name, const char* target) {
    if (symlinkat(target, directory, name) == 0) return CreateOutcome::Created;
    return errno == EEXIST ? CreateOutcome::AlreadyThere : CreateOutcome::Failed;
}

bool linkLeadsToDirectory(int directory, const char* name) {
    struct stat info;
    return fstatat(directory, name, &info, 0) == 0 && S_ISDIR(info.st_mode);
}

std::string lastErrorText() {
    return std::strerror(errno);
}

EntryReader::EntryReader(int directory, char* buffer, std::size_t size)
    : directory_(directory), buffer_(buffer), size_(size) {}

bool EntryReader::refill() {
    // The whole folder is read before any of it is handed out, as far as the
    // buffer holds it: so nothing is deleted between two reads of one folder.
    if (atEnd_) return false;
    filled_ = 0;
    position_ = 0;
    while (size_ - filled_ >= kRoomForARecord || filled_ == 0) {
        const ssize_t got = getdents64(directory_, buffer_ + filled_, size_ - filled_);
        if (got < 0) failed_ = true;
        if (got <= 0) {
            atEnd_ = true;
            break;
        }
        filled_ += static_cast<std::size_t>(got);
    }
    return filled_ > 0;
}

bool EntryReader::next(EntryView& entry) {
    for (;;) {
        if (position_ >= filled_ && !refill()) return false;
        auto* record = reinterpret_cast<const struct dirent64*>(buffer_ + position_);
        position_ += record->d_reclen;
        if (isDotEntry(record->d_name)) continue;
        entry.name = record->d_name;
        entry.type = typeOf(directory_, record);
        return true;
    }
}

}  // namespace bench::platform
