// Whole runs in this process under faults: the tree changed between
// collection and cleaning, file-system calls that fail, output that stops
// being writable, and names and folder sizes that stress the walk.
#include <gtest/gtest.h>

#include <functional>

#include "driver/run.h"
#include "platform/file_system.h"
#include "tests/reliability_support.h"
#include "tests/support/fakes.h"

namespace reliability {
namespace {

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

/// Runs buildsweep in `root` through `fs` and `console`, calling `between`
/// after collection.
RunResult RunIn(const fs::path& root, const std::function<void()>& between,
                platform::FileSystem& fs, RecordingConsole& console) {
  ScopedCurrentDirectory inside(root);
  driver::RunHooks hooks;
  hooks.after_collection = between;
  RunResult result;
  result.status = driver::Run(fs, console, hooks);
  result.out = console.out;
  result.err = console.err;
  return result;
}

RunResult RunIn(const fs::path& root, const std::function<void()>& between = nullptr) {
  RecordingConsole console;
  return RunIn(root, between, platform::NativeFileSystem(), console);
}

/// The number after "Total Remove File : ".
long TotalOf(const std::string& report) {
  const std::size_t at = report.find("Total Remove File : ");
  return at == std::string::npos ? -1 : std::stol(report.substr(at + 20));
}

std::set<std::string> Paths(const fs::path& root, std::initializer_list<const char*> names) {
  std::set<std::string> paths;
  for (const char* name : names) paths.insert((root / name).string());
  return paths;
}

// A small project and an outside folder full of by-products. The parameter
// says whether the tree is old enough for collection's listings to be trusted
// at cleaning time on an unchanged change stamp, so both ways of finding the
// targets meet each change.
class BetweenPhasesTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    for (const char* file : {"keep/k.obj", "keep/k.txt", "victim/v.obj", "victim/sub/w.obj",
                             "shape.obj", "gone.obj", "turn.obj", "main.cpp"}) {
      MakeFile(root_ / file);
    }
    MakeFiles(outside_, "precious", ".obj", 5);
    MakeFiles(outside_ / "deeper", "precious", ".obj", 5);
    outside_files_ = FilesBelow(outside_);
    if (GetParam()) SleepMs(150);
  }

  /// Runs with `change` between the phases and checks what every such run
  /// must give: status 0, no error, exactly `deleted` reported and gone, the
  /// total matching, the outside folder whole.
  void RunAndExpect(const std::function<void()>& change, const std::set<std::string>& deleted) {
    const RunResult run = RunIn(root_, change);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(DeletedPaths(run.out), deleted) << run.out;
    EXPECT_EQ(TotalOf(run.out), static_cast<long>(deleted.size()));
    for (const std::string& file : deleted) EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
    EXPECT_EQ(FilesBelow(outside_), outside_files_);
    report_ = run.out;
  }

  TempDir tmp_;
  fs::path root_ = tmp_.path() / "proj";
  fs::path outside_ = tmp_.path() / "outside";
  std::set<std::string> outside_files_;
  std::string report_;
};

TEST_P(BetweenPhasesTest, VanishedFolderIsPassedOverSilently) {
  RunAndExpect([&] { fs::remove_all(root_ / "victim"); },
               Paths(root_, {"keep/k.obj", "shape.obj", "gone.obj", "turn.obj"}));
  EXPECT_EQ(report_.find("victim"), std::string::npos);
}

TEST_P(BetweenPhasesTest, FolderReplacedByAFileOfTheSameNameIsPassedOverSilently) {
  RunAndExpect(
      [&] {
        fs::remove_all(root_ / "victim");
        MakeFile(root_ / "victim");
      },
      Paths(root_, {"keep/k.obj", "shape.obj", "gone.obj", "turn.obj"}));
  EXPECT_TRUE(fs::is_regular_file(root_ / "victim"));
}

TEST_P(BetweenPhasesTest, FolderSwappedForAnOutsideLinkIsNeitherFollowedNorCleaned) {
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

TEST_P(BetweenPhasesTest, FileReplacedByAFolderOfTheSameNameIsKept) {
  RunAndExpect(
      [&] {
        fs::remove(root_ / "shape.obj");
        MakeFile(root_ / "shape.obj/inner.obj");
      },
      Paths(root_, {"keep/k.obj", "victim/v.obj", "victim/sub/w.obj", "gone.obj", "turn.obj"}));
  EXPECT_TRUE(fs::exists(root_ / "shape.obj/inner.obj"));
}

TEST_P(BetweenPhasesTest, TargetRemovedMeanwhileIsSkippedAndNotCounted) {
  RunAndExpect([&] { fs::remove(root_ / "gone.obj"); },
               Paths(root_, {"keep/k.obj", "victim/v.obj", "victim/sub/w.obj", "shape.obj", "turn.obj"}));
}

TEST_P(BetweenPhasesTest, TargetReplacedByALinkToAnOutsideFolderIsKept) {
  RunAndExpect(
      [&] {
        fs::remove(root_ / "turn.obj");
        fs::create_directory_symlink(outside_, root_ / "turn.obj");
      },
      Paths(root_, {"keep/k.obj", "victim/v.obj", "victim/sub/w.obj", "shape.obj", "gone.obj"}));
  EXPECT_TRUE(fs::is_symlink(root_ / "turn.obj"));
}

std::string TreeAgeName(const ::testing::TestParamInfo<bool>& param) {
  return param.param ? "Settled" : "Fresh";
}

INSTANTIATE_TEST_SUITE_P(EachTreeAge, BetweenPhasesTest, ::testing::Bool(), TreeAgeName);

/// The real file system, with chosen calls failing once collection is over.
class FailingAfterCollection : public testsupport::DelegatingFileSystem {
 public:
  bool fail_listing = false;
  bool fail_opening = false;
  bool collected = false;

  platform::OpenResult OpenChild(const platform::Dir& parent, std::string_view name,
                                 platform::Dir* dir, platform::FolderInfo* info,
                                 std::string* error) override {
    if (collected && fail_opening) {
      *error = "Too many open files";
      return platform::OpenResult::kFailed;
    }
    return real_.OpenChild(parent, name, dir, info, error);
  }
  bool OpenParent(const platform::Dir& child, platform::Dir* dir, platform::FolderInfo* info) override {
    return !(collected && fail_opening) && real_.OpenParent(child, dir, info);
  }
  bool ListEntries(const platform::Dir& dir, platform::EntryList* out,
                   std::string* error) override {
    if (collected && fail_listing) {
      *error = "Input/output error";
      return false;
    }
    return real_.ListEntries(dir, out, error);
  }
};

TEST(FileSystemFaultTest, FoldersThatCanNoLongerBeOpenedOrListedAreReportedAndHarmless) {
  TempDir tmp;
  const fs::path root = tmp.path() / "proj";
  for (const char* file : {"a/x.obj", "a/b/y.obj", "z.obj"}) MakeFile(root / file);
  {
    // Out of descriptors, say: every folder below the root is out of reach,
    // the root itself is still open.
    FailingAfterCollection faulty;
    faulty.fail_opening = true;
    RecordingConsole console;
    const RunResult run = RunIn(root, [&] { faulty.collected = true; }, faulty, console);
    EXPECT_EQ(run.status, 2);
    // Nothing below a folder out of reach is reached either: one line for it.
    EXPECT_EQ(run.err, "Error: cannot read '" + (root / "a").string() + "': Too many open files\n");
    EXPECT_EQ(DeletedPaths(run.out), Paths(root, {"z.obj"}));
    EXPECT_EQ(CountOf(run.out, "Folder : "), 1u);
  }
  {
    FailingAfterCollection faulty;
    faulty.fail_listing = true;
    RecordingConsole console;
    const RunResult run = RunIn(root, [&] { faulty.collected = true; }, faulty, console);
    EXPECT_EQ(run.status, 2);
    std::string unread;
    for (const fs::path& folder : {root / "a", root / "a/b", root}) {
      unread += "Error: cannot read '" + folder.string() + "': Input/output error\n";
    }
    EXPECT_EQ(run.err, unread);
    EXPECT_EQ(CountOf(run.out, "Folder : "), 0u);
    EXPECT_EQ(TotalOf(run.out), 0);
    EXPECT_EQ(FilesBelow(root), Paths(root, {"a/x.obj", "a/b/y.obj"}));
  }
}

TEST(OutputFailureTest, OutputLostMidRunStopsTheCleaningAtTheNextFile) {
  TempDir tmp;
  const fs::path root = tmp.path() / "proj";
  MakeFiles(root / "Debug", "object", ".obj", 20);
  const std::set<std::string> before = FilesBelow(root);
  RecordingConsole console;
  console.interactive = true;  // one write per line, so the failure hits one line
  // Extension line, prompt, root path, banner, folder line, two deletions.
  console.fail_output_from = 7;
  const RunResult run = RunIn(root, nullptr, platform::NativeFileSystem(), console);

  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "Error: cannot write standard output: No space left on device\n");
  const std::size_t recorded = DeletedPaths(run.out).size();
  const std::size_t gone = before.size() - FilesBelow(root).size();
  EXPECT_EQ(recorded, 2u);
  EXPECT_EQ(gone, recorded + 1) << "only the file whose line failed may go unrecorded";
}

TEST(OutputFailureTest, BothStreamsFailingStillEndsTheRunWithStatusTwo) {
  TempDir tmp;
  const fs::path root = tmp.path() / "proj";
  MakeFiles(root / "Debug", "object", ".obj", 3);
  RecordingConsole console;
  console.fail_output_from = 0;
  console.fail_errors = true;
  EXPECT_EQ(RunIn(root, nullptr, platform::NativeFileSystem(), console).status, 2);
  EXPECT_EQ(FilesBelow(root).size(), 3u);
}

// Every line a run writes, but the fixed first two and the last, starts with
// one of its labels or is a banner or empty: a name can't forge a line.
void ExpectOnlyReportLines(const std::string& report) {
  static const char* const kStarts[] = {"Root Path = ", "Folder : ", "Delete : ",
                                        "Remove File Count = ", "Total Remove File : ", "====="};
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; at < report.size(); at = end + 1) {
    end = report.find('\n', at);
    lines.push_back(report.substr(at, end - at));
  }
  ASSERT_GT(lines.size(), 3u);
  for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
    const std::string& line = lines[i];
    bool known = line.empty();
    for (const char* start : kStarts) known = known || line.rfind(start, 0) == 0;
    EXPECT_TRUE(known) << "line " << i << ": " << line;
  }
}

TEST(BadInputTest, NamesWithEveryByteAreCleanedAndNeverBreakALine) {
  TempDir tmp;
  const fs::path root = tmp.path() / "proj";
  std::set<std::string> targets;
  std::string low, high;
  for (int byte = 1; byte < 256; ++byte) {
    if (byte == '/') continue;
    const std::string b(1, static_cast<char>(byte));
    (byte < 128 ? low : high) += b;
    MakeFile(root / ("n" + b + ".obj"));
    targets.insert((root / ("n" + b + ".obj")).string());
    MakeFile(root / ("n" + b + ".txt"));
    if (byte == '.') continue;  // "." names the folder itself
    MakeFile(root / b / "t.obj");
    targets.insert((root / b / "t.obj").string());
  }
  for (const std::string& name : {low + ".obj", high + ".obj"}) {
    MakeFile(root / name);
    targets.insert((root / name).string());
  }
  const std::set<std::string> before = FilesBelow(root);
  const RunResult run = RunIn(root);

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(TotalOf(run.out), static_cast<long>(targets.size()));
  EXPECT_EQ(CountOf(run.out, "Delete : "), targets.size());
  std::set<std::string> kept;
  for (const std::string& file : before) {
    if (targets.count(file) == 0) kept.insert(file);
  }
  EXPECT_EQ(FilesBelow(root), kept);
  for (char c : run.out) {
    const auto byte = static_cast<unsigned char>(c);
    ASSERT_TRUE(byte == '\n' || (byte >= 0x20 && byte != 0x7f)) << "raw control byte " << int{byte};
  }
  ExpectOnlyReportLines(run.out);
}

TEST(BadInputTest, FolderOfAHundredThousandFilesIsCleanedCompletely) {
  TempDir tmp(Storage::kMemoryIfAvailable);
  const fs::path root = tmp.path() / "proj";
  MakeFiles(root / "huge", "by-product", ".obj", 50000);
  MakeFiles(root / "huge", "source", ".cpp", 50000);
  const RunResult run = RunIn(root);

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(TotalOf(run.out), 50000);
  EXPECT_EQ(CountOf(run.out, "Remove File Count = 50000\n"), 1u);
  EXPECT_EQ(FilesBelow(root).size(), 50000u);
}

}  // namespace
}  // namespace reliability
