#pragma once
/// The floor: the least work any tool has to ask of the kernel to clean a tree.

#include <cstddef>
#include <cstdint>

namespace bench {

/// Totals of one floor walk.
struct FloorResult {
    std::uint64_t foldersVisited = 0;  ///< the start folder and every folder below it
    std::uint64_t filesRemoved = 0;    ///< entries deleted because their extension is listed
    std::uint64_t failures = 0;        ///< folders that could not be opened or read, failed deletions
};

/// Default size of the one directory-read buffer; large enough that most
/// folders come back from a single getdents64 call.
constexpr std::size_t kFloorReadBufferSize = 1 << 20;

/// Deletes every entry with a listed extension in `root` and all folders below
/// it, in a single iterative pass that never follows links. Folders are never
/// deleted, and neither are links that lead to folders (buildsweep treats them
/// as folders it does not enter); other links are deleted themselves.
FloorResult removeListedFiles(const char* root, std::size_t readBufferSize = kFloorReadBufferSize);

/// The same with `threads` threads that take folders from one shared stack,
/// each opening its folder relative to the parent's descriptor, listing it
/// and deleting its targets: what parallel finders and removers do, with
/// no order and no report.
/// With `requiredWork`, it also does what no cleaner with a report can skip:
/// one fstat per folder (its identity) and a report line per folder with
/// deletions and per deleted file, formatted and written to standard output
/// in blocks of 64 KiB (in whatever order the threads finish them).
FloorResult removeListedFilesInParallel(const char* root, unsigned threads,
                                        std::size_t readBufferSize = kFloorReadBufferSize,
                                        bool requiredWork = false);

/// The required work in bfs's shape: one thread walks in order and writes the
/// report, `threads` - 1 more open, list and delete for it.
FloorResult removeListedFilesInOrder(const char* root, unsigned threads, std::size_t chunk = 0,
                                     std::size_t readBufferSize = kFloorReadBufferSize);

}  // namespace bench
