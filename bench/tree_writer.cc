#include "tree_writer.h"

#include <vector>

#include "platform/fs.h"
#include "target_rule.h"

namespace bench {

TreeStats summarize(const TreePlan& plan) {
    TreeStats stats;
    std::uint64_t depthSum = 0;
    for (std::uint32_t folder = 0; folder < plan.folderCount(); ++folder) {
        if (folder != TreePlan::kRoot) {
            ++stats.folders;
            depthSum += plan.depthOf(folder);
        }
        if (plan.depthOf(folder) > stats.maxDepth) stats.maxDepth = plan.depthOf(folder);
        for (const PlannedEntry& entry : plan.entriesOf(folder)) {
            ++stats.entries;
            if (entry.isTarget) ++stats.targets;
            if (entry.kind == EntryKind::Symlink) ++stats.links;
            if (entry.leadsToFolder && isListedName(entry.name)) ++stats.listedFolderLinks;
        }
    }
    stats.meanDepth = stats.folders ? static_cast<double>(depthSum) / static_cast<double>(stats.folders) : 0;
    return stats;
}

namespace {

/// Writes folders while the plan is walked; keeps one descriptor per level open.
class TreeWriter {
public:
    /// Prepares to write `plan`; the root descriptor is passed to the first enter().
    TreeWriter(const TreePlan& plan, int rootDirectory) : plan_(plan), rootDirectory_(rootDirectory) {}

    /// Makes (or opens) `folder` in its parent and creates its entries.
    void enter(std::uint32_t folder) {
        int directory = folder == TreePlan::kRoot ? rootDirectory_ : openChild(folder);
        open_.push_back(directory);
        if (directory == platform::kNoDirectory) return;  // counted; its subtree fails too
        for (const PlannedEntry& entry : plan_.entriesOf(folder)) createEntry(directory, entry);
    }

    /// Closes `folder` once its subtree is done.
    void leave(std::uint32_t folder) {
        if (folder != TreePlan::kRoot) platform::closeDirectory(open_.back());
        open_.pop_back();
    }

    /// The counts so far.
    const WriteResult& result() const { return result_; }

private:
    /// Creates a subfolder in the folder on top of the stack and opens it.
    int openChild(std::uint32_t folder) {
        int parent = open_.back();
        if (parent == platform::kNoDirectory) {
            fail("parent folder missing");
            return platform::kNoDirectory;
        }
        const char* name = plan_.nameOf(folder).c_str();
        if (!count(platform::makeDirectory(parent, name), plan_.nameOf(folder))) return platform::kNoDirectory;
        int directory = platform::openSubdirectory(parent, name);
        if (directory == platform::kNoDirectory) fail(plan_.nameOf(folder) + ": " + platform::lastErrorText());
        return directory;
    }

    /// Creates one file or link, keeping an existing one.
    void createEntry(int directory, const PlannedEntry& entry) {
        count(entry.kind == EntryKind::Symlink
                  ? platform::createSymlink(directory, entry.name.c_str(), entry.linkTarget.c_str())
                  : platform::createEmptyFile(directory, entry.name.c_str()),
              entry.name);
    }

    /// Books one create call; false when it failed.
    bool count(platform::CreateOutcome outcome, const std::string& name) {
        switch (outcome) {
            case platform::CreateOutcome::Created: ++result_.created; return true;
            case platform::CreateOutcome::AlreadyThere: ++result_.existing; return true;
            case platform::CreateOutcome::Failed: break;
        }
        fail(name + ": " + platform::lastErrorText());
        return false;
    }

    /// Counts a failure and keeps the first message.
    void fail(const std::string& message) {
        if (result_.failures++ == 0) result_.firstError = message;
    }

    const TreePlan& plan_;     ///< what to write
    int rootDirectory_;        ///< the tree's root, opened by the caller
    std::vector<int> open_;    ///< descriptors of the folders being written, root first
    WriteResult result_;       ///< counts so far
};

}  // namespace

WriteResult writeTree(const TreePlan& plan, const std::string& root) {
    int rootDirectory = platform::openDirectory(root.c_str());
    if (rootDirectory == platform::kNoDirectory) {
        WriteResult result;
        result.failures = 1;
        result.firstError = root + ": " + platform::lastErrorText();
        return result;
    }
    TreeWriter writer(plan, rootDirectory);
    plan.walk([&writer](std::uint32_t folder) { writer.enter(folder); },
              [&writer](std::uint32_t folder) { writer.leave(folder); });
    platform::closeDirectory(rootDirectory);
    return writer.result();
}

void listSurvivors(const TreePlan& plan, std::ostream& out, FolderLinks folderLinks) {
    // Length of the path prefix per open level, so leaving a folder is a truncation.
    std::string path;
    std::vector<std::size_t> lengths;
    auto enter = [&](std::uint32_t folder) {
        lengths.push_back(path.size());
        if (folder != TreePlan::kRoot) {
            if (!path.empty()) path += '/';
            path += plan.nameOf(folder);
            out << "d " << path << '\n';
        }
        for (const PlannedEntry& entry : plan.entriesOf(folder)) {
            if (entry.isTarget) continue;
            if (entry.leadsToFolder && folderLinks == FolderLinks::DeletedWhenListed && isListedName(entry.name)) continue;
            out << (entry.kind == EntryKind::Symlink ? "l " : "f ");
            if (!path.empty()) out << path << '/';
            out << entry.name << '\n';
        }
    };
    auto leave = [&](std::uint32_t) {
        path.resize(lengths.back());
        lengths.pop_back();
    };
    plan.walk(enter, leave);
}

}  // namespace bench
