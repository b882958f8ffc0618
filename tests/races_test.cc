// The tree rearranged while a run goes on: once the root is listed, in this
// process, and by a thread swapping folders for links to outside while the
// real binary runs. Nothing outside the tree is ever deleted.
#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/expected_run.h"
#include "tests/support/fakes.h"
#include "tests/support/scratch_tree.h"

namespace testsupport {
namespace {

namespace fs = std::filesystem;

// A small project and an outside folder full of by-products, swept with the
// number of threads the parameter gives.
class TreeChangedMidRunTest : public ::testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override {
    for (const char* file : {"keep/k.obj", "keep/k.txt", "victim/v.obj", "victim/sub/w.obj",
                             "shape.obj", "gone.obj", "turn.obj", "main.cpp"}) {
      MakeFile(root_ / file);
    }
    MakeFiles(outside_, "precious", ".obj", 5);
    MakeFiles(outside_ / "deeper", "precious", ".obj", 5);
    outside_files_ = FilesBelow(outside_);
  }

  /// Runs with `change` once the root is listed and checks what every such run
  /// must give: status 0, no error, exactly `deleted` reported and gone, the
  /// total matching, the outside folder whole.
  void RunAndExpect(const std::function<void()>& change, const std::set<std::string>& deleted) {
    FakeConsole console;
    const RunResult run = RunIn(root_, change, platform::NativeFileSystem(), console, GetParam());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(DeletedPaths(run.out), deleted) << run.out;
    EXPECT_EQ(TotalOf(run.out), static_cast<long>(deleted.size()));
    for (const std::string& file : deleted) EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
    EXPECT_EQ(FilesBelow(outside_), outside_files_);
    report_ = run.out;
  }

  ScratchDir tmp_;
  fs::path root_ = tmp_.path() / "proj";
  fs::path outside_ = tmp_.path() / "outside";
  std::set<std::string> outside_files_;
  std::string report_;
};

TEST_P(TreeChangedMidRunTest, VanishedFolderIsPassedOverSilently) {
  RunAndExpect([&] { fs::remove_all(root_ / "victim"); },
               Paths(root_, {"keep/k.obj", "shape.obj", "gone.obj", "turn.obj"}));
  EXPECT_EQ(report_.find("victim"), std::string::npos);
}

TEST_P(TreeChangedMidRunTest, FolderReplacedByAFileOfTheSameNameIsPassedOverSilently) {
  RunAndExpect(
      [&] {
        fs::remove_all(root_ / "victim");
        MakeFile(root_ / "victim");
      },
      Paths(root_, {"keep/k.obj", "shape.obj", "gone.obj", "turn.obj"}));
  EXPECT_TRUE(fs::is_regular_file(root_ / "victim"));
}

TEST_P(TreeChangedMidRunTest, FolderSwappedForAnOutsideLinkIsNeitherFollowedNorCleaned) {
  const fs::path parked = tmp_.path() / "parked";
  RunAndExpect(
      [&] {
        fs::rename(root_ / "victim", parked);
        fs::create_directory_symlink(outside_, root_ / "victim");
      },
      Paths(root_, {"keep/k.obj", "shape.obj", "gone.obj", "turn.obj"}));
  EXPECT_EQ(FilesBelow(parked), Paths(parked, {"v.obj", "sub/w.obj"}));
  EXPECT_TRUE(fs::is_symlink(root_ / "victim"));
}

TEST_P(TreeChangedMidRunTest, FileReplacedByAFolderOfTheSameNameIsKept) {
  RunAndExpect(
      [&] {
        fs::remove(root_ / "shape.obj");
        MakeFile(root_ / "shape.obj/inner.obj");
      },
      Paths(root_, {"keep/k.obj", "victim/v.obj", "victim/sub/w.obj", "gone.obj", "turn.obj"}));
  EXPECT_TRUE(fs::exists(root_ / "shape.obj/inner.obj"));
}

TEST_P(TreeChangedMidRunTest, TargetRemovedMeanwhileIsSkippedAndNotCounted) {
  RunAndExpect([&] { fs::remove(root_ / "gone.obj"); },
               Paths(root_, {"keep/k.obj", "victim/v.obj", "victim/sub/w.obj", "shape.obj", "turn.obj"}));
}

TEST_P(TreeChangedMidRunTest, TargetReplacedByALinkToAnOutsideFolderIsKept) {
  RunAndExpect(
      [&] {
        fs::remove(root_ / "turn.obj");
        fs::create_directory_symlink(outside_, root_ / "turn.obj");
      },
      Paths(root_, {"keep/k.obj", "victim/v.obj", "victim/sub/w.obj", "shape.obj", "gone.obj"}));
  EXPECT_TRUE(fs::is_symlink(root_ / "turn.obj"));
}

std::string ThreadsName(const ::testing::TestParamInfo<unsigned>& param) {
  return param.param == 0 ? "DefaultThreads" : "Threads" + std::to_string(param.param);
}

// 0: as many threads as a run takes by default.
INSTANTIATE_TEST_SUITE_P(Threads, TreeChangedMidRunTest, ::testing::Values(1u, 0u, 3u),
                         ThreadsName);

// Swaps each folder of `folders` with a link to an outside folder parked at
// the same index of `links` (both ways in one atomic exchange), round and
// round until told to stop; counts the exchanges.
void SwapFoldersWithLinks(const std::vector<fs::path>& folders, const std::vector<fs::path>& links,
                          const std::atomic<bool>& stop, std::atomic<long>& swaps) {
  while (!stop.load()) {
    for (std::size_t i = 0; i < folders.size(); ++i) {
      if (::renameat2(AT_FDCWD, folders[i].c_str(), AT_FDCWD, links[i].c_str(), RENAME_EXCHANGE) == 0) {
        ++swaps;
      }
    }
  }
}

TEST(SwapRaceTest, FoldersSwappedForOutsideLinksDuringRunsNeverCostAnOutsideFile) {
  ScratchDir tmp(Storage::kMemoryIfAvailable);
  const fs::path outside = tmp.path() / "outside";
  MakeFiles(outside, "precious", ".obj", 30);
  MakeFiles(outside / "deeper", "precious", ".obj", 30);
  // A folder swapped out waits in "parking", beside files that are not in the tree.
  const fs::path parking = tmp.path() / "parking";
  MakeFiles(parking, "bystander", ".obj", 30);
  std::set<std::string> must_stay = FilesBelow(outside);
  for (const std::string& file : FilesBelow(parking)) must_stay.insert(file);

  int runs = 0;
  const auto start = std::chrono::steady_clock::now();
  // At least five runs however slow the machine (a sanitizer's build beside
  // other tests managed four in three seconds), more while time allows.
  while (runs < 5 ||
         (runs < 100 && std::chrono::steady_clock::now() - start < std::chrono::seconds(3))) {
    const fs::path root = tmp.path() / ("proj" + std::to_string(runs++));
    std::vector<fs::path> swapped, links;
    for (const char* name : {"a/b", "a/b2", "m", "z/y/x"}) {
      MakeFiles(root / name, "middle", ".obj", 10);
      MakeFiles(root / name / "c/d", "deep", ".obj", 10);
      swapped.push_back(root / name);
      links.push_back(parking / ("link" + std::to_string(links.size())));
      fs::remove_all(links.back());
      fs::create_directory_symlink(outside, links.back());
    }
    MakeFiles(root / "a", "first", ".obj", 10);
    Fd in(Answers(tmp.path(), "\n\n"));
    Fd sink(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    std::atomic<bool> stop{false};
    std::atomic<long> swaps{0};
    std::thread swapper(SwapFoldersWithLinks, std::cref(swapped), std::cref(links), std::cref(stop),
                        std::ref(swaps));
    if (!PollUntil([&] { return swaps.load() > 100; })) {  // in full swing
      stop = true;
      swapper.join();  // a running thread must not be destroyed: that would end every test
      FAIL() << "the swapper never exchanged a folder: " << swaps.load() << " swaps";
    }
    Child child(root, {in.get(), sink.get(), sink.get()});
    const bool ended = child.WaitForEnd();
    stop = true;
    swapper.join();
    ASSERT_TRUE(ended);
    EXPECT_TRUE(ExitedWith(child.status(), 0)) << DescribeStatus(child.status());
    for (const std::string& file : must_stay) {
      ASSERT_TRUE(fs::exists(fs::symlink_status(file))) << file << " deleted in run " << runs;
    }
  }
}

}  // namespace
}  // namespace testsupport
