#include "tree_plan.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <unordered_set>

#include "target_rule.h"

namespace bench {

namespace {

/// SplitMix64: tiny, fast, and good enough to pick names; seeded per folder so a
/// folder's entries do not depend on the order in which folders are visited.
class Rng {
public:
    /// Seeds the generator from the tree seed and a stream number.
    Rng(std::uint64_t seed, std::uint64_t stream) : state_(seed * 0x9E3779B97F4A7C15ULL ^ (stream + 1) * 0xD1B54A32D192ED03ULL) {}

    /// Next raw 64-bit value.
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    /// Uniform value in [0, bound); bound must be positive.
    std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }

    /// True with the given chance in percent.
    bool percent(std::uint32_t chance) { return below(100) < chance; }

private:
    std::uint64_t state_;  ///< advances by a fixed odd step per draw
};

/// A choice and how often it comes up relative to the others in its table.
struct Weighted {
    std::string_view text;   ///< the choice
    std::uint32_t weight;    ///< its share relative to the other entries of the table
};

/// Picks one entry of a weight table.
template <std::size_t N>
std::string_view pick(const std::array<Weighted, N>& table, Rng& rng) {
    std::uint32_t total = 0;
    for (const Weighted& item : table) total += item.weight;
    std::uint32_t roll = rng.below(total);
    for (const Weighted& item : table) {
        if (roll < item.weight) return item.text;
        roll -= item.weight;
    }
    return table.back().text;
}

/// Picks one entry of a plain list, all equally likely.
template <std::size_t N>
std::string_view pick(const std::array<std::string_view, N>& list, Rng& rng) {
    return list[rng.below(N)];
}

// Stems of source and build files. None is a listed extension on its own, so a
// bare stem never turns into a target by accident.
constexpr std::array<std::string_view, 40> kStems = {
    "main", "util", "stdafx", "resource", "app", "core", "parser", "lexer", "render", "net",
    "socket", "config", "dialog", "mainfrm", "view", "doc", "thread", "memory", "strutil", "vector",
    "image", "sound", "input", "timer", "logger", "crc32", "zlib", "png", "jpeg", "json",
    "xml", "script", "shader", "mesh", "font", "test", "helper", "common", "platform", "vc60"};

// Listed extensions weighted by how often a real build leaves them behind.
constexpr std::array<Weighted, 24> kTargetExtensions = {{
    {"obj", 40}, {"pch", 3}, {"ilk", 3}, {"idb", 3}, {"exp", 3}, {"map", 3}, {"log", 6}, {"tmp", 4},
    {"bak", 4}, {"sbr", 8}, {"bsc", 2}, {"manifest", 3}, {"dep", 3}, {"tlb", 2}, {"aps", 2}, {"ncb", 2},
    {"suo", 1}, {"opt", 1}, {"clw", 1}, {"scc", 1}, {"awk", 1}, {"cpl", 1}, {"mdp", 1}, {"ncp", 1}}};

// Extensions of files a cleaner must leave alone.
constexpr std::array<Weighted, 24> kSourceExtensions = {{
    {"cpp", 30}, {"h", 25}, {"c", 8}, {"hpp", 5}, {"rc", 2}, {"def", 1}, {"txt", 3}, {"ico", 1},
    {"bmp", 1}, {"cmake", 1}, {"vcxproj", 2}, {"filters", 1}, {"sln", 1}, {"pdb", 3}, {"lib", 2}, {"dll", 1},
    {"exe", 1}, {"res", 2}, {"inl", 1}, {"idl", 1}, {"py", 1}, {"md", 1}, {"user", 1}, {"o", 2}}};

// Whole names without a dot that are not listed.
constexpr std::array<std::string_view, 8> kPlainNames = {
    "Makefile", "README", "LICENSE", "objs", "logs", "temp", "Doxyfile", "CHANGES"};

// Hidden files whose extension (everything after the leading dot) is not listed.
constexpr std::array<std::string_view, 4> kHiddenNames = {".gitignore", ".clang-format", ".editorconfig", ".vs"};

// Folder names, a few of which look like targets: folders are never deleted.
constexpr std::array<std::string_view, 44> kFolderNames = {
    "src", "include", "lib", "res", "test", "tests", "docs", "build", "Debug", "Release", "x64",
    "Win32", "obj", "bin", "tools", "scripts", "data", "assets", "third_party", "external", "core",
    "net", "ui", "gfx", "audio", "io", "util", "common", "platform", "app", "server", "client",
    "plugins", "modules", "samples", "examples", "cmake", "deps", "ipch", "log", "tmp", "cache.tmp",
    "old.bak", "New Folder"};

/// Share of random entries that a correct run deletes, in percent.
constexpr std::uint32_t kTargetPercent = 40;
/// Share of random leaf folders that hold one symbolic link, in percent.
constexpr std::uint32_t kLinkPercent = 2;

/// Upper-cases ASCII letters, for the case-sensitivity near-misses.
std::string upper(std::string_view text) {
    std::string result(text);
    for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

/// A short realistic stem, sometimes numbered like generated or copied files.
std::string makeStem(Rng& rng) {
    std::string stem(pick(kStems, rng));
    std::uint32_t roll = rng.below(10);
    if (roll < 2) stem += std::to_string(1 + rng.below(99));
    if (roll == 2) stem += "_" + std::string(pick(kStems, rng));
    return stem;
}

/// A name that a correct run deletes, in one of the shapes such names take.
std::string makeTargetName(Rng& rng) {
    std::uint32_t roll = rng.below(100);
    std::string_view extension = pick(kTargetExtensions, rng);
    if (roll < 85) return makeStem(rng) + "." + std::string(extension);
    if (roll < 90) return makeStem(rng) + "." + std::string(pick(kSourceExtensions, rng)) + (rng.percent(50) ? ".bak" : ".tmp");
    if (roll < 94) return makeStem(rng) + (rng.percent(50) ? ".exe.manifest" : ".dll.manifest");
    if (roll < 97) return std::string(rng.percent(50) ? "log" : "tmp");  // dot-less: the whole name is the extension
    return "." + std::string(extension);                                  // hidden: the name is all extension
}

/// A name that looks close to a target but must survive.
std::string makeNearMissName(Rng& rng) {
    std::string stem = makeStem(rng);
    std::string extension(pick(kTargetExtensions, rng));
    switch (rng.below(9)) {
        case 0: return upper(stem) + "." + upper(extension);                 // MAIN.OBJ
        case 1: return stem + "." + upper(extension.substr(0, 1)) + extension.substr(1);  // main.Obj
        case 2: return stem + "." + extension + (rng.percent(50) ? ".txt" : ".orig");     // only the last dot counts
        case 3: return stem + "." + extension + (rng.percent(50) ? "s" : "1");            // not a prefix match
        case 4: return stem + "." + extension.substr(0, extension.size() - 1);           // nor a shortened one
        case 5: return stem + ".";                                                       // empty extension
        case 6: return std::string(pick(kPlainNames, rng));
        case 7: return std::string(pick(kHiddenNames, rng));
        default: return extension + "_" + stem;                                          // obj_main: no dot at all
    }
}

/// A name a correct run keeps: mostly sources, some near-misses.
std::string makeKeptName(Rng& rng) {
    if (rng.percent(20)) return makeNearMissName(rng);
    return makeStem(rng) + "." + std::string(pick(kSourceExtensions, rng));
}

/// A symbolic link as they show up in trees: to the own folder, or dangling.
/// A link that leads to a folder is kept even with a listed name.
PlannedEntry makeLink(Rng& rng) {
    switch (rng.below(4)) {
        case 0: return {"latest.log", EntryKind::Symlink, ".", false, true};
        case 1: return {"prev.bak", EntryKind::Symlink, "gone.txt", true, false};
        case 2: return {"current", EntryKind::Symlink, ".", false, true};
        default: return {"old.cfg", EntryKind::Symlink, "gone.obj", false, false};
    }
}

/// Adds `entry` unless its name is taken in the folder already, by an entry
/// or by one of the subfolders in `taken`.
bool addUnique(std::vector<PlannedEntry>& entries, PlannedEntry entry, const std::vector<std::string_view>& taken) {
    for (const PlannedEntry& existing : entries) {
        if (existing.name == entry.name) return false;
    }
    if (std::find(taken.begin(), taken.end(), entry.name) != taken.end()) return false;
    entries.push_back(std::move(entry));
    return true;
}

/// The random entries of one folder whose subfolders are named `taken`; a
/// fallback name ends the rare long run of clashes.
std::vector<PlannedEntry> randomEntries(Rng& rng, std::uint32_t count, bool isLeaf,
                                        const std::vector<std::string_view>& taken) {
    std::vector<PlannedEntry> entries;
    entries.reserve(count);
    bool withLink = isLeaf && count > 0 && rng.percent(kLinkPercent);
    std::uint32_t files = withLink ? count - 1 : count;
    for (std::uint32_t i = 0; i < files; ++i) {
        bool target = rng.percent(kTargetPercent);
        bool added = false;
        for (int attempt = 0; attempt < 16 && !added; ++attempt) {
            std::string name = target ? makeTargetName(rng) : makeKeptName(rng);
            added = addUnique(entries, {std::move(name), EntryKind::File, "", target}, taken);
        }
        if (!added) entries.push_back({"file" + std::to_string(i) + ".cpp", EntryKind::File, "", false});
    }
    if (withLink && !addUnique(entries, makeLink(rng), taken)) {
        entries.push_back({"link" + std::to_string(files) + ".txt", EntryKind::Symlink, ".", false, true});
    }
    return entries;
}

/// Fixed content of the "edge cases" folder: every listed extension in every
/// shape that must go, next to the shapes that must stay.
std::vector<PlannedEntry> edgeCaseEntries() {
    std::vector<PlannedEntry> entries;
    // Shortened forms can meet ("all.nc" from ncb and ncp): the first one stays.
    auto file = [&entries](std::string name, bool target) {
        addUnique(entries, {std::move(name), EntryKind::File, "", target}, {});
    };
    for (std::string_view listed : kListedExtensions) {
        std::string extension(listed);
        file("all." + extension, true);
        file(extension, true);                      // no dot: the whole name is the extension
        file("x.y." + extension, true);             // only the last dot counts
        file("." + extension, true);                // hidden file, name is only the extension
        file("ALL." + upper(extension), false);     // case-sensitive
        file("all." + extension + "s", false);      // equality, not prefix
        file("all." + extension.substr(0, extension.size() - 1), false);
        file(extension + ".txt", false);
        file("all" + extension, false);
    }
    for (const char* name : {"main.obj", "backup.tar.bak", "app.exe.manifest", "with space.pch", "100%.log",
                             "\xEC\x9E\x90\xEB\xA3\x8C.bak"}) {  // a UTF-8 (Korean) stem
        file(name, true);
    }
    for (const char* name : {"MAIN.OBJ", "Proj.Ncb", "notes.obj.txt", "app.manifests", "app.manifes", "report.",
                             "Makefile", "obj.cpp", "main.o"}) {
        file(name, false);
    }
    // Links that lead to folders stay, however many links it takes to get there.
    // Only one of them loops back: a cleaner that wrongly follows links then runs
    // along a single chain instead of exploding.
    entries.push_back({"self.obj", EntryKind::Symlink, ".", false, true});
    entries.push_back({"dirlink.tmp", EntryKind::Symlink, "../edge dirs", false, true});
    entries.push_back({"hop.obj", EntryKind::Symlink, "dirlink.tmp", false, true});
    // Links that lead nowhere or to a file go, the file itself stays.
    entries.push_back({"dangling.log", EntryKind::Symlink, "missing.txt", true, false});
    entries.push_back({"loop.bak", EntryKind::Symlink, "loop.bak", true, false});
    entries.push_back({"alias.tmp", EntryKind::Symlink, "notes.obj.txt", true, false});
    entries.push_back({"alias.txt", EntryKind::Symlink, "main.obj", false, false});
    return entries;
}

/// Content of each folder below "edge dirs": one target and one kept file.
std::vector<PlannedEntry> edgeDirInsideEntries() {
    return {{"inner.obj", EntryKind::File, "", true}, {"keep.cpp", EntryKind::File, "", false}};
}

// Folders named like targets, and one name that is only an extension.
constexpr std::array<std::string_view, 5> kEdgeDirNames = {"build.obj", "log", "cache.tmp", ".suo", "x.manifest"};

}  // namespace

TreePlan::TreePlan(const TreeOptions& options) : options_(options) {
    planRandomShape();
    addEdgeFolders();
    indexChildren();
    nameRandomFolders();
}

std::uint32_t TreePlan::addFolder(std::uint32_t parent, Role role, std::string name) {
    auto index = static_cast<std::uint32_t>(parents_.size());
    parents_.push_back(parent);
    depths_.push_back(index == kRoot ? 0 : static_cast<std::uint8_t>(depths_[parent] + 1));
    roles_.push_back(role);
    names_.push_back(std::move(name));
    return index;
}

void TreePlan::planRandomShape() {
    std::size_t total = std::size_t{options_.folders} + 1 + 2 + kEdgeDirNames.size();
    parents_.reserve(total);
    depths_.reserve(total);
    roles_.reserve(total);
    names_.reserve(total);
    addFolder(kRoot, Role::Random, "");
    // Each new folder hangs below a uniformly chosen earlier one (a random
    // recursive tree): a few broad top folders, mean depth about ln(folders).
    // A parent at the depth limit hands the child to its own ancestors.
    Rng rng(options_.seed, 0);
    std::uint32_t maxDepth = std::min<std::uint32_t>(std::max<std::uint32_t>(options_.maxDepth, 1), 250);
    for (std::uint32_t i = 1; i <= options_.folders; ++i) {
        std::uint32_t parent = rng.below(i);
        while (depths_[parent] >= maxDepth) parent = parents_[parent];
        addFolder(parent, Role::Random, "");
    }
}

void TreePlan::addEdgeFolders() {
    addFolder(kRoot, Role::EdgeCases, "edge cases");
    std::uint32_t dirs = addFolder(kRoot, Role::EdgeDirs, "edge dirs");
    for (std::string_view name : kEdgeDirNames) addFolder(dirs, Role::EdgeDirInside, std::string(name));
}

void TreePlan::indexChildren() {
    // Counting sort by parent keeps children in creation order.
    childStart_.assign(folderCount() + 1, 0);
    for (std::uint32_t folder = 1; folder < folderCount(); ++folder) ++childStart_[parents_[folder] + 1];
    for (std::uint32_t folder = 0; folder < folderCount(); ++folder) childStart_[folder + 1] += childStart_[folder];
    children_.resize(folderCount() > 0 ? folderCount() - 1 : 0);
    std::vector<std::uint32_t> fill(childStart_.begin(), childStart_.end() - 1);
    for (std::uint32_t folder = 1; folder < folderCount(); ++folder) children_[fill[parents_[folder]]++] = folder;
}

void TreePlan::nameRandomFolders() {
    std::unordered_set<std::string> siblings;
    for (std::uint32_t parent = 0; parent < folderCount(); ++parent) {
        siblings.clear();
        for (std::uint32_t child : childrenOf(parent)) {
            if (roles_[child] != Role::Random) siblings.insert(names_[child]);
        }
        for (std::uint32_t child : childrenOf(parent)) {
            if (roles_[child] != Role::Random) continue;
            Rng rng(options_.seed, 1 + std::uint64_t{child} * 2);
            std::string base(pick(kFolderNames, rng));
            std::string name = base;
            for (std::uint32_t copy = 2; !siblings.insert(name).second; ++copy) name = base + std::to_string(copy);
            names_[child] = std::move(name);
        }
    }
}

FolderRange TreePlan::childrenOf(std::uint32_t folder) const {
    const std::uint32_t* base = children_.data();
    return {base + childStart_[folder], base + childStart_[folder + 1]};
}

std::vector<PlannedEntry> TreePlan::entriesOf(std::uint32_t folder) const {
    switch (roles_[folder]) {
        case Role::EdgeCases: return edgeCaseEntries();
        case Role::EdgeDirs: return {};
        case Role::EdgeDirInside: return edgeDirInsideEntries();
        case Role::Random: break;
    }
    std::vector<std::string_view> subfolders;
    for (std::uint32_t child : childrenOf(folder)) subfolders.push_back(names_[child]);
    Rng rng(options_.seed, 2 + std::uint64_t{folder} * 2);
    return randomEntries(rng, options_.filesPerFolder, subfolders.empty(), subfolders);
}

}  // namespace bench
