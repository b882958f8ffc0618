// Trees whose paths are far longer than the system accepts in one call.
// The output runs to hundreds of megabytes, so it is counted, not kept.
#include <gtest/gtest.h>

#include <string>

#include "driver/run.h"
#include "tests/support/child_process.h"
#include "tests/support/fakes.h"
#include "tests/support/scratch_tree.h"

namespace {

// With one thread, and with several that each reach the chain's levels
// from the root down by themselves.
class DeepTreeTest : public ::testing::TestWithParam<unsigned> {
 protected:
  DeepTreeTest() : root_(scratch_.path().string() + "/proj") { testsupport::MakeFolders(root_); }

  // Cleans a chain of `depth` folders named `name` with one target at the
  // bottom, from `start_depth` levels down the chain.
  void ExpectChainCleaned(std::size_t depth, const std::string& name, std::size_t start_depth = 0) {
    testsupport::MakeChain(root_, depth, name, "x.obj");
    testsupport::EnterChain(root_, start_depth, name);
    std::string start = root_;
    for (std::size_t level = 0; level < start_depth; ++level) start += "/" + name;
    std::string bottom = start;
    for (std::size_t level = start_depth; level < depth; ++level) bottom += "/" + name;

    testsupport::LineCountingConsole console;
    driver::Options options;
    options.jobs = GetParam();
    EXPECT_EQ(driver::Run(platform::NativeFileSystem(), console, options), 0);
    EXPECT_EQ(console.err, "");
    EXPECT_EQ(console.root_line, "Root Path = " + start);
    EXPECT_EQ(console.folder_lines, depth - start_depth + 1);
    EXPECT_EQ(console.delete_lines, 1u);
    EXPECT_EQ(console.last_delete_line, "Delete : " + bottom + "/x.obj ");
    EXPECT_EQ(console.last_folder_line, "Folder : " + start + " ") << "the root comes last";
    EXPECT_EQ(console.total_line, "Total Remove File : 1");
    const testsupport::ChainState after = testsupport::InspectChain(root_, name, "x.obj");
    EXPECT_EQ(after.depth, depth);
    EXPECT_FALSE(after.leaf_present);
  }

  testsupport::ScratchDir scratch_;
  const std::string root_;
};

TEST_P(DeepTreeTest, ChainOfTwentyThousandFoldersIsCleanedToTheBottom) {
  ExpectChainCleaned(20000, "d");
}

TEST_P(DeepTreeTest, SixtyLevelsOfLongNamesAreCleanedToTheBottom) {
  ExpectChainCleaned(60, std::string(200, 'n'));
}

TEST_F(DeepTreeTest, ThreeHundredLevelsAreCleanedUnderEightDescriptors) {
  testsupport::MakeChain(root_, 300, "d", "x.obj");
  testsupport::ProcessOptions options;
  options.argv = {"/bin/sh", "-c", "ulimit -n 8 && exec \"$0\"", BUILDSWEEP_BINARY};
  options.input = "\n\n";
  options.cwd = root_;
  const testsupport::ProcessResult run = testsupport::RunProcess(options);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_NE(run.out.find("\nTotal Remove File : 1\n"), std::string::npos);
  EXPECT_FALSE(testsupport::InspectChain(root_, "d", "x.obj").leaf_present);
}

TEST_P(DeepTreeTest, CurrentDirectoryLongerThanPathMaxIsRead) {
  ExpectChainCleaned(60, std::string(200, 'n'), 30);
}

INSTANTIATE_TEST_SUITE_P(Threads, DeepTreeTest, ::testing::Values(1u, 3u));

}  // namespace
