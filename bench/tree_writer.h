#pragma once
/// Puts a planned tree on disk and describes what a correct clean leaves of it.

#include <cstdint>
#include <ostream>
#include <string>

#include "tree_plan.h"

namespace bench {

/// Totals of a plan, the numbers a benchmark run is checked against.
struct TreeStats {
    std::uint64_t folders = 0;      ///< folders below the root (what a cleaner visits)
    std::uint64_t entries = 0;      ///< non-folder entries, the root's included
    std::uint64_t targets = 0;      ///< entries a correct run deletes
    std::uint64_t links = 0;        ///< symbolic links among the entries
    std::uint64_t listedFolderLinks = 0;  ///< links to folders with a listed name: kept, though named like targets
    std::uint32_t maxDepth = 0;     ///< deepest folder level (root = 0)
    double meanDepth = 0;           ///< average level of the folders below the root
};

/// Counts of one write.
struct WriteResult {
    std::uint64_t created = 0;      ///< folders and entries made by this write
    std::uint64_t existing = 0;     ///< ones that were there already (refill)
    std::uint64_t failures = 0;     ///< ones that could neither be made nor found
    std::string firstError;         ///< what went wrong first, for the message
};

/// Sums up the plan without touching the disk.
TreeStats summarize(const TreePlan& plan);

/// Creates the planned tree in `root` (which must exist); anything already
/// there is kept, so writing again after a clean puts back exactly what the
/// clean deleted.
WriteResult writeTree(const TreePlan& plan, const std::string& root);

/// Which links to folders a listing counts as deleted.
enum class FolderLinks {
    Kept,                ///< as buildsweep does: a link that leads to a folder is never deleted
    DeletedWhenListed,   ///< as a tool that cannot tell them from other links does
};

/// Lists what a correct clean leaves: one line per folder and surviving entry,
/// "d path", "f path" or "l path" relative to the root, like
/// `find . -mindepth 1 -printf '%y %P\n'` prints them (not sorted).
void listSurvivors(const TreePlan& plan, std::ostream& out, FolderLinks folderLinks = FolderLinks::Kept);

}  // namespace bench
