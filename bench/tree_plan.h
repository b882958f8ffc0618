#pragma once
/// A deterministic, seeded plan of a synthetic project tree.
///
/// The plan fixes every folder and entry name before anything touches the disk,
/// so the same seed always yields the same tree: the benchmark can rebuild it
/// between runs and knows, name by name, which files a correct run deletes.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

/// Size and shape of the tree to plan.
struct TreeOptions {
    std::uint64_t seed = 1;              ///< same seed, same tree
    std::uint32_t folders = 20000;       ///< random folders below the root (a few fixed edge folders come on top)
    std::uint32_t filesPerFolder = 10;   ///< entries in the root and in every random folder
    std::uint32_t maxDepth = 24;         ///< deepest level a random folder may sit at (root = 0)
};

/// What an entry of a folder is on disk.
enum class EntryKind : std::uint8_t { File, Symlink };

/// One non-folder entry of a planned folder.
struct PlannedEntry {
    std::string name;         ///< bare name inside its folder
    EntryKind kind = EntryKind::File;
    std::string linkTarget;   ///< where a symlink points (relative); empty for files
    bool isTarget = false;    ///< a correct cleaner deletes it (decided by how the name was built)
    bool leadsToFolder = false;  ///< a symlink that resolves to a folder: kept whatever its name
};

/// A range of folder indexes, used for the children of a folder.
struct FolderRange {
    const std::uint32_t* first;  ///< first child
    const std::uint32_t* last;   ///< one past the last child
    /// Start of the range, for range-for loops.
    const std::uint32_t* begin() const { return first; }
    /// End of the range, for range-for loops.
    const std::uint32_t* end() const { return last; }
    /// Number of folders in the range.
    std::size_t size() const { return static_cast<std::size_t>(last - first); }
};

/// The whole planned tree: folder shape and names, and the entries of each folder on demand.
class TreePlan {
public:
    /// Index of the root folder (the directory the cleaner is started in).
    static constexpr std::uint32_t kRoot = 0;

    /// Plans the tree for `options`; entries are derived lazily per folder.
    explicit TreePlan(const TreeOptions& options);

    /// Number of folders, the root included.
    std::uint32_t folderCount() const { return static_cast<std::uint32_t>(parents_.size()); }
    /// Parent of `folder`; the root is its own parent.
    std::uint32_t parentOf(std::uint32_t folder) const { return parents_[folder]; }
    /// Depth of `folder`: 0 for the root, 1 for its children, and so on.
    std::uint32_t depthOf(std::uint32_t folder) const { return depths_[folder]; }
    /// Bare name of `folder` (empty for the root), unique among its siblings.
    const std::string& nameOf(std::uint32_t folder) const { return names_[folder]; }
    /// Subfolders of `folder` in creation order.
    FolderRange childrenOf(std::uint32_t folder) const;
    /// Non-folder entries of `folder`, always the same for the same seed.
    std::vector<PlannedEntry> entriesOf(std::uint32_t folder) const;

    /// Visits every folder in pre-order: enter(folder) before its subfolders,
    /// leave(folder) after them. Iterative, so depth costs no stack.
    template <class Enter, class Leave>
    void walk(Enter enter, Leave leave) const;

private:
    /// Role of a folder: random ones are generated, edge ones hold fixed content.
    enum class Role : std::uint8_t { Random, EdgeCases, EdgeDirs, EdgeDirInside };

    /// Picks a parent for every random folder.
    void planRandomShape();
    /// Adds the fixed "edge cases" and "edge dirs" folders below the root.
    void addEdgeFolders();
    /// Appends one folder and returns its index.
    std::uint32_t addFolder(std::uint32_t parent, Role role, std::string name);
    /// Builds the child lists from the parent links.
    void indexChildren();
    /// Gives every random folder a name unique among its siblings.
    void nameRandomFolders();

    TreeOptions options_;                  ///< what was asked for
    std::vector<std::uint32_t> parents_;   ///< parent of each folder
    std::vector<std::uint8_t> depths_;     ///< depth of each folder
    std::vector<Role> roles_;              ///< role of each folder
    std::vector<std::string> names_;       ///< name of each folder
    std::vector<std::uint32_t> childStart_;  ///< children of f are children_[childStart_[f] .. childStart_[f+1])
    std::vector<std::uint32_t> children_;
};

template <class Enter, class Leave>
void TreePlan::walk(Enter enter, Leave leave) const {
    // Each stack element is a folder and the position of its next child.
    std::vector<std::pair<std::uint32_t, const std::uint32_t*>> stack;
    enter(kRoot);
    stack.emplace_back(kRoot, childrenOf(kRoot).begin());
    while (!stack.empty()) {
        auto& [folder, next] = stack.back();
        if (next == childrenOf(folder).end()) {
            leave(folder);
            stack.pop_back();
            continue;
        }
        std::uint32_t child = *next++;
        enter(child);
        stack.emplace_back(child, childrenOf(child).begin());
    }
}

}  // namespace bench
