#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "floor_walk.h"
#include "tree_plan.h"
#include "tree_writer.h"

namespace fs = std::filesystem;

namespace {

/// A fresh folder below the system temp folder, removed again after the test.
class DiskTree : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        do {
            base_ = fs::temp_directory_path() / ("bench-test-" + std::to_string(random()));
        } while (!fs::create_directory(base_));
        root_ = base_ / "tree";
        fs::create_directory(root_);
    }
    void TearDown() override { fs::remove_all(base_); }

    /// The tree below `root_` as sorted "d path" / "f path" / "l path" lines.
    /// std::filesystem neither follows links here nor shares code with the walkers under test.
    std::vector<std::string> listing() const {
        std::vector<std::string> lines;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root_)) {
            fs::file_type type = entry.symlink_status().type();
            char kind = type == fs::file_type::directory ? 'd' : type == fs::file_type::symlink ? 'l' : 'f';
            lines.push_back(std::string(1, kind) + " " + entry.path().lexically_relative(root_).generic_string());
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    }

    fs::path base_;
    fs::path root_;
};

bench::TreePlan smallPlan() {
    bench::TreeOptions options;
    options.folders = 120;
    options.seed = 11;
    return bench::TreePlan(options);
}

std::vector<std::string> sortedSurvivors(const bench::TreePlan& plan) {
    std::ostringstream text;
    bench::listSurvivors(plan, text);
    std::vector<std::string> lines;
    std::istringstream in(text.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST_F(DiskTree, WrittenTreeHoldsEveryPlannedFolderAndEntry) {
    bench::TreePlan plan = smallPlan();
    bench::TreeStats stats = bench::summarize(plan);
    bench::WriteResult written = bench::writeTree(plan, root_.string());
    EXPECT_EQ(written.failures, 0u) << written.firstError;
    EXPECT_EQ(written.created, stats.folders + stats.entries);
    EXPECT_EQ(listing().size(), stats.folders + stats.entries);
}

TEST_F(DiskTree, PlannedLinksLeadWhereThePlanSays) {
    bench::TreePlan plan = smallPlan();
    bench::writeTree(plan, root_.string());
    std::uint64_t links = 0;
    plan.walk(
        [&](std::uint32_t folder) {
            fs::path path = root_;
            std::vector<std::string> names;  // from the folder up to the root
            for (std::uint32_t f = folder; f != bench::TreePlan::kRoot; f = plan.parentOf(f)) names.push_back(plan.nameOf(f));
            for (auto name = names.rbegin(); name != names.rend(); ++name) path /= *name;
            for (const bench::PlannedEntry& entry : plan.entriesOf(folder)) {
                if (entry.kind != bench::EntryKind::Symlink) continue;
                ++links;
                std::error_code loops;  // a looping link leads nowhere, like a dangling one
                EXPECT_EQ(fs::is_directory(path / entry.name, loops), entry.leadsToFolder) << (path / entry.name);
            }
        },
        [](std::uint32_t) {});
    EXPECT_GT(links, 5u);  // the edge-case links at least
}

TEST_F(DiskTree, RewritingPutsBackExactlyWhatWasDeleted) {
    bench::TreePlan plan = smallPlan();
    bench::writeTree(plan, root_.string());
    std::vector<std::string> before = listing();
    std::uint64_t removed = 0;
    for (const std::string& line : before) {
        if (line[0] != 'd' && removed < 40) removed += fs::remove(root_ / line.substr(2));
    }
    ASSERT_EQ(removed, 40u);
    bench::WriteResult rewritten = bench::writeTree(plan, root_.string());
    EXPECT_EQ(rewritten.created, removed);
    EXPECT_EQ(listing(), before);
}

TEST_F(DiskTree, FloorLeavesExactlyTheSurvivorList) {
    bench::TreePlan plan = smallPlan();
    bench::TreeStats stats = bench::summarize(plan);
    bench::writeTree(plan, root_.string());
    bench::FloorResult result = bench::removeListedFiles(root_.c_str());
    EXPECT_EQ(result.failures, 0u);
    EXPECT_EQ(result.filesRemoved, stats.targets);
    EXPECT_EQ(result.foldersVisited, stats.folders + 1);
    EXPECT_EQ(listing(), sortedSurvivors(plan));
}

TEST_F(DiskTree, FloorReadsBigFoldersInManySmallBatches) {
    // 600 entries in one folder against a buffer of a few records per read.
    for (int i = 0; i < 300; ++i) {
        std::ofstream(root_ / ("unit" + std::to_string(i) + ".obj"));
        std::ofstream(root_ / ("unit" + std::to_string(i) + ".cpp"));
    }
    fs::create_directory(root_ / "sub");
    std::ofstream(root_ / "sub" / "deep.pch");
    bench::FloorResult result = bench::removeListedFiles(root_.c_str(), 256);
    EXPECT_EQ(result.failures, 0u);
    EXPECT_EQ(result.filesRemoved, 301u);
    EXPECT_EQ(listing().size(), 301u);  // the 300 sources and "sub"
}

TEST_F(DiskTree, FloorNeverWalksThroughLinksAndKeepsThoseThatLeadToFolders) {
    fs::path outside = base_ / "outside";
    fs::create_directories(outside / "inner");
    std::ofstream(outside / "keep.obj");
    std::ofstream(outside / "inner" / "keep.log");
    fs::create_directory_symlink(outside, root_ / "linked.obj");    // leads to a folder: kept
    fs::create_symlink("linked.obj", root_ / "hop.tmp");            // so does a chain of links
    fs::create_symlink(outside / "keep.obj", root_ / "file.bak");   // leads to a file: the link goes
    fs::create_symlink("nowhere", root_ / "dangling.log");          // dangling: goes
    fs::create_symlink("self.pch", root_ / "self.pch");             // loops: goes
    fs::create_directory(root_ / "loop");
    fs::create_directory_symlink("..", root_ / "loop" / "up.obj");  // would cycle if followed
    bench::FloorResult result = bench::removeListedFiles(root_.c_str());
    EXPECT_EQ(result.failures, 0u);
    EXPECT_EQ(result.filesRemoved, 3u);
    EXPECT_EQ(result.foldersVisited, 2u);
    EXPECT_TRUE(fs::exists(outside / "keep.obj"));
    EXPECT_TRUE(fs::exists(outside / "inner" / "keep.log"));
    EXPECT_EQ(listing(), (std::vector<std::string>{"d loop", "l hop.tmp", "l linked.obj", "l loop/up.obj"}));
}

TEST_F(DiskTree, FloorReportsAMissingStartFolder) {
    bench::FloorResult result = bench::removeListedFiles((base_ / "absent").c_str());
    EXPECT_EQ(result.failures, 1u);
    EXPECT_EQ(result.foldersVisited, 0u);
}

}  // namespace
