#pragma once
/// The cleaning rule shared by the floor program and the tree generator.

#include <array>
#include <string_view>

namespace bench {

/// The 24 extensions buildsweep deletes, in the order it shows them.
constexpr std::array<std::string_view, 24> kListedExtensions = {
    "pch", "mdp", "clw", "obj", "aps", "cpl", "awk", "tmp", "exp", "idb", "opt", "map",
    "ilk", "scc", "bsc", "sbr", "manifest", "dep", "log", "suo", "tlb", "ncb", "ncp", "bak"};

/// Extension of a bare name: the text after its last dot, or the whole name without one.
std::string_view extensionOf(std::string_view name);

/// True when a non-directory entry of this name is deleted: its extension is listed
/// (exact, case-sensitive).
bool isListedName(std::string_view name);

}  // namespace bench
