/// bench_floor: the benchmark's lower bound for cleaning a tree.
///
/// Usage: bench_floor [--count] [--threads N] [--required-work | --ordered [--chunk N]] [DIR]
/// Deletes what buildsweep deletes below DIR (default: the current directory)
/// with nothing but openat/getdents64/unlinkat, one pass, no output. --count
/// prints the totals afterwards (for checks; the timed runs leave it off).
/// --threads N (N > 1) shares the folders among N threads instead.
/// --required-work adds what a cleaner that reports must do: one fstat per
/// folder and the report's lines formatted and written to standard output.
/// --ordered does that work in bfs's shape: one thread walks in order and
/// writes the report, the others only open, list and delete for it; with
/// --chunk N a job deletes at most N of a folder's files, so that several
/// threads delete a large folder side by side.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "floor_walk.h"

int main(int argc, char** argv) {
    bool printCounts = false;
    unsigned threads = 1;
    bool requiredWork = false;
    bool ordered = false;
    std::size_t chunk = 0;
    const char* root = ".";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--count") == 0) {
            printCounts = true;
        } else if (std::strcmp(argv[i], "--ordered") == 0) {
            ordered = true;
        } else if (std::strcmp(argv[i], "--chunk") == 0 && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
            chunk = static_cast<std::size_t>(std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--required-work") == 0) {
            requiredWork = true;
        } else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc &&
                   std::atoi(argv[i + 1]) > 0) {
            threads = static_cast<unsigned>(std::atoi(argv[++i]));
        } else if (argv[i][0] == '-') {
            std::fprintf(stderr, "usage: %s [--count] [--threads N] [--required-work | --ordered [--chunk N]] [DIR]\n", argv[0]);
            return 2;
        } else {
            root = argv[i];
        }
    }
    bench::FloorResult result =
        ordered ? bench::removeListedFilesInOrder(root, threads, chunk) :
        threads > 1 || requiredWork
            ? bench::removeListedFilesInParallel(root, threads, bench::kFloorReadBufferSize, requiredWork)
            : bench::removeListedFiles(root);
    if (printCounts) {
        std::printf("folders=%llu removed=%llu failures=%llu\n",
                    static_cast<unsigned long long>(result.foldersVisited),
                    static_cast<unsigned long long>(result.filesRemoved),
                    static_cast<unsigned long long>(result.failures));
    }
    if (result.failures != 0) {
        std::fprintf(stderr, "bench_floor: %llu folders or files could not be handled\n",
                     static_cast<unsigned long long>(result.failures));
        return 1;
    }
    return 0;
}
