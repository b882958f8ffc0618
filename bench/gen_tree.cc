/// bench_gen_tree: writes the benchmark's synthetic project tree.
///
/// Usage: bench_gen_tree [--seed N] [--folders N] [--files N] [--max-depth N]
///                       [--out DIR] [--survivors FILE] [--survivors-if-links-go FILE]
/// --out creates (or refills) the tree in DIR; --survivors writes the list of
/// what a correct clean leaves; --survivors-if-links-go the list for a tool
/// that also deletes links to folders when their names are listed (fd).
/// Always prints one line of totals.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "tree_plan.h"
#include "tree_writer.h"

namespace {

/// What the command line asks for.
struct Arguments {
    bench::TreeOptions tree;
    std::string outDirectory;
    std::string survivorsFile;
    std::string survivorsIfLinksGoFile;
};

/// Prints the usage and returns the exit status for a bad command line.
int usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--seed N] [--folders N] [--files N] [--max-depth N] [--out DIR] [--survivors FILE]\n"
                 "       [--survivors-if-links-go FILE]\n",
                 program);
    return 2;
}

/// Parses a non-negative decimal number; nothing on junk.
std::optional<unsigned long long> parseNumber(const char* text) {
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-') return std::nullopt;
    return value;
}

/// Fills `arguments` from argv; false on anything it does not understand.
bool parseArguments(int argc, char** argv, Arguments& arguments) {
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc) return false;  // every option takes a value
        std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--out") {
            arguments.outDirectory = value;
        } else if (option == "--survivors") {
            arguments.survivorsFile = value;
        } else if (option == "--survivors-if-links-go") {
            arguments.survivorsIfLinksGoFile = value;
        } else {
            std::optional<unsigned long long> number = parseNumber(value);
            if (!number || *number > 0xFFFFFFFFULL) return false;
            auto small = static_cast<std::uint32_t>(*number);
            if (option == "--seed") arguments.tree.seed = *number;
            else if (option == "--folders") arguments.tree.folders = small;
            else if (option == "--files") arguments.tree.filesPerFolder = small;
            else if (option == "--max-depth") arguments.tree.maxDepth = small;
            else return false;
        }
    }
    return true;
}

/// Writes the survivor list; false when the file cannot be written.
bool writeSurvivorList(const bench::TreePlan& plan, const std::string& path, bench::FolderLinks folderLinks) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    bench::listSurvivors(plan, out, folderLinks);
    out.flush();
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    if (!parseArguments(argc, argv, arguments)) return usage(argv[0]);
    auto start = std::chrono::steady_clock::now();
    bench::TreePlan plan(arguments.tree);
    bench::TreeStats stats = bench::summarize(plan);
    std::printf("folders=%llu entries=%llu targets=%llu links=%llu listed_folder_links=%llu max_depth=%u mean_depth=%.1f",
                static_cast<unsigned long long>(stats.folders), static_cast<unsigned long long>(stats.entries),
                static_cast<unsigned long long>(stats.targets), static_cast<unsigned long long>(stats.links),
                static_cast<unsigned long long>(stats.listedFolderLinks), stats.maxDepth, stats.meanDepth);
    int status = 0;
    if (!arguments.outDirectory.empty()) {
        std::error_code error;
        std::filesystem::create_directories(arguments.outDirectory, error);
        bench::WriteResult written = bench::writeTree(plan, arguments.outDirectory);
        std::printf(" created=%llu existing=%llu", static_cast<unsigned long long>(written.created),
                    static_cast<unsigned long long>(written.existing));
        if (written.failures != 0) {
            std::fprintf(stderr, "bench_gen_tree: %llu entries failed, first: %s\n",
                         static_cast<unsigned long long>(written.failures), written.firstError.c_str());
            status = 1;
        }
    }
    for (auto [file, folderLinks] : {std::pair{arguments.survivorsFile, bench::FolderLinks::Kept},
                                     std::pair{arguments.survivorsIfLinksGoFile, bench::FolderLinks::DeletedWhenListed}}) {
        if (!file.empty() && !writeSurvivorList(plan, file, folderLinks)) {
            std::fprintf(stderr, "bench_gen_tree: cannot write %s\n", file.c_str());
            status = 1;
        }
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf(" seconds=%.2f\n", elapsed.count());
    return status;
}
