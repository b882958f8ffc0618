#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>

#include "target_rule.h"
#include "tree_plan.h"

namespace {

bench::TreeOptions options(std::uint32_t folders, std::uint64_t seed = 7) {
    bench::TreeOptions result;
    result.folders = folders;
    result.seed = seed;
    return result;
}

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

/// Every entry of every folder, flattened into one comparable string.
std::string describe(const bench::TreePlan& plan) {
    std::string text;
    for (std::uint32_t folder = 0; folder < plan.folderCount(); ++folder) {
        text += std::to_string(plan.parentOf(folder)) + "/" + plan.nameOf(folder) + ":";
        for (const bench::PlannedEntry& entry : plan.entriesOf(folder)) text += entry.name + "," + entry.linkTarget + ";";
        text += "\n";
    }
    return text;
}

TEST(TreePlan, SameSeedSameTreeOtherSeedOtherTree) {
    EXPECT_EQ(describe(bench::TreePlan(options(500))), describe(bench::TreePlan(options(500))));
    EXPECT_NE(describe(bench::TreePlan(options(500, 7))), describe(bench::TreePlan(options(500, 8))));
}

TEST(TreePlan, ShapeIsAConsistentTreeWithinTheDepthLimit) {
    bench::TreeOptions shallow = options(3000);
    shallow.maxDepth = 3;
    bench::TreePlan plan(shallow);
    ASSERT_GT(plan.folderCount(), 3000u);
    std::set<std::uint32_t> seenAsChild;
    for (std::uint32_t folder = 0; folder < plan.folderCount(); ++folder) {
        for (std::uint32_t child : plan.childrenOf(folder)) {
            EXPECT_EQ(plan.parentOf(child), folder);
            EXPECT_EQ(plan.depthOf(child), plan.depthOf(folder) + 1);
            EXPECT_TRUE(seenAsChild.insert(child).second) << "folder " << child << " listed twice";
        }
    }
    EXPECT_EQ(seenAsChild.size(), plan.folderCount() - 1u);  // every folder but the root hangs somewhere
    std::uint32_t deepest = 0;
    for (std::uint32_t folder = 0; folder < plan.folderCount(); ++folder) deepest = std::max(deepest, plan.depthOf(folder));
    EXPECT_EQ(deepest, 3u);
}

TEST(TreePlan, NamesAreUsableAndUniqueWithinTheirFolder) {
    bench::TreePlan plan(options(3000));
    for (std::uint32_t folder = 0; folder < plan.folderCount(); ++folder) {
        std::set<std::string> names;
        for (std::uint32_t child : plan.childrenOf(folder)) names.insert(plan.nameOf(child));
        std::size_t folderNames = names.size();
        EXPECT_EQ(folderNames, plan.childrenOf(folder).size()) << "clashing subfolder names in " << folder;
        for (const bench::PlannedEntry& entry : plan.entriesOf(folder)) {
            EXPECT_TRUE(names.insert(entry.name).second) << entry.name << " twice in folder " << folder;
        }
        for (const std::string& name : names) {
            EXPECT_FALSE(name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) << name;
        }
    }
}

TEST(TreePlan, IntendedTargetsAreExactlyWhatTheRuleDeletes) {
    bench::TreePlan plan(options(5000));
    for (std::uint32_t folder = 0; folder < plan.folderCount(); ++folder) {
        for (const bench::PlannedEntry& entry : plan.entriesOf(folder)) {
            EXPECT_EQ(entry.isTarget, bench::isListedName(entry.name) && !entry.leadsToFolder) << entry.name;
            EXPECT_TRUE(!entry.leadsToFolder || entry.kind == bench::EntryKind::Symlink) << entry.name;
        }
    }
}

TEST(TreePlan, MixHasTheRequestedShareOfTargetsAndTheTrickyShapes) {
    bench::TreePlan plan(options(20000));
    std::uint64_t entries = 0, targets = 0, upperCase = 0, innerListed = 0, dotless = 0, links = 0;
    for (std::uint32_t folder = 0; folder < plan.folderCount(); ++folder) {
        for (const bench::PlannedEntry& entry : plan.entriesOf(folder)) {
            ++entries;
            targets += entry.isTarget;
            if (entry.kind == bench::EntryKind::Symlink) ++links;
            if (entry.name.find('.') == std::string::npos) ++dotless;
            if (!entry.isTarget && bench::isListedName(lowered(entry.name))) ++upperCase;  // like MAIN.OBJ
            std::size_t last = entry.name.rfind('.');
            if (!entry.isTarget && last != std::string::npos && last > 0 &&
                bench::isListedName(entry.name.substr(0, last))) {
                ++innerListed;  // like notes.obj.txt
            }
        }
    }
    EXPECT_NEAR(static_cast<double>(targets) / static_cast<double>(entries), 0.40, 0.02);
    EXPECT_GT(upperCase, 100u);
    EXPECT_GT(innerListed, 100u);
    EXPECT_GT(dotless, 100u);
    EXPECT_GT(links, 20u);
}

}  // namespace
