#pragma once
/// Thin wrappers over the POSIX *at() calls the benchmark tools need.
///
/// Everything here works relative to an open directory descriptor so that the
/// walkers never resolve a long path twice and never follow a symbolic link
/// below the directory they were started in.

#include <cstddef>
#include <string>

namespace bench::platform {

/// Descriptor value that stands for "no directory" (failed open).
constexpr int kNoDirectory = -1;

/// Outcome of creating one entry when existing entries are tolerated.
enum class CreateOutcome { Created, AlreadyThere, Failed };

/// Opens a directory given by path (the start of a walk); kNoDirectory on failure.
int openDirectory(const char* path);

/// Opens the subdirectory `name` of `parent` without following a symbolic link.
int openSubdirectory(int parent, const char* name);

/// Closes a descriptor returned by one of the open/make calls.
void closeDirectory(int directory);

/// Reads the identity of the open `directory` (one fstat); false on failure.
bool readIdentity(int directory);

/// The absolute path of `path` with links resolved, as a cleaner shows its
/// root; `path` itself when that can't be had.
std::string absolutePath(const char* path);

/// Writes all of `size` bytes at `bytes` to standard output; false on failure.
bool writeToStandardOutput(const char* bytes, std::size_t size);

/// Removes the non-directory entry `name` of `directory`; false on failure.
bool removeEntry(int directory, const char* name);

/// Creates directory `name` in `parent`, keeping an existing one.
CreateOutcome makeDirectory(int parent, const char* name);

/// Creates the empty regular file `name` in `directory`, keeping an existing one.
CreateOutcome createEmptyFile(int directory, const char* name);

/// Creates the symbolic link `name` -> `target` in `directory`, keeping an existing one.
CreateOutcome createSymlink(int directory, const char* name, const char* target);

/// Text of the error left by the last failed call of this module.
std::string lastErrorText();

/// What a directory entry is itself; links are not looked through.
enum class EntryType { Directory, Link, Other };

/// One entry of a directory as the walkers need it.
struct EntryView {
    const char* name = nullptr;        ///< bare name, NUL-terminated, valid until the next read
    EntryType type = EntryType::Other; ///< a link to a directory is a Link, not a Directory
};

/// True when the link `name` in `directory` leads, through any number of
/// links, to a directory; a dangling or looping link leads nowhere.
bool linkLeadsToDirectory(int directory, const char* name);

/// Reads a directory in large batches straight from the kernel (getdents64),
/// the whole directory at once where the buffer holds it.
///
/// The caller owns the buffer, so one big buffer can be reused for every
/// directory of a walk without allocating per directory.
class EntryReader {
public:
    /// Prepares to read `directory` into `buffer` of `size` bytes.
    EntryReader(int directory, char* buffer, std::size_t size);

    /// Yields the next entry other than "." and ".."; false at the end or on error.
    bool next(EntryView& entry);

    /// True when reading stopped because the kernel reported an error.
    bool failed() const { return failed_; }

private:
    /// Refills the buffer with as much of the directory as it holds; false
    /// at the end of the directory or on error.
    bool refill();

    /// Room past which another read surely fits a record (a name is at most
    /// 255 bytes): below it, the buffer counts as full.
    static constexpr std::size_t kRoomForARecord = 512;

    int directory_;             ///< the directory being read
    char* buffer_;              ///< caller's buffer for raw records
    std::size_t size_;          ///< its size in bytes
    std::size_t filled_ = 0;    ///< bytes of records from the last read
    std::size_t position_ = 0;  ///< offset of the next record
    bool failed_ = false;       ///< the last read reported an error
    bool atEnd_ = false;        ///< a read found nothing more (or failed)
};

}  // namespace bench::platform
