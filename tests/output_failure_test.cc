// Standard output that can't be written, from the start or from some line
// on: the failure is reported once, the status is 2, and no file is
// deleted without its line on the record.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/record_room.h"
#include "engine/report.h"
#include "platform/file_system.h"
#include "tests/support/child_process.h"
#include "tests/support/expected_run.h"
#include "tests/support/fakes.h"
#include "tests/support/scratch_tree.h"

namespace testsupport {
namespace {

namespace fs = std::filesystem;

/// The most report a failed write may leave unwritten: one block of lines.
constexpr std::size_t kOneBlock = std::size_t{64} * 1024;

/// The bytes of the Delete lines of the files gone from `before` (not in
/// `left`) that `reported` does not name.
std::size_t UnrecordedBytes(const std::set<std::string>& before, const std::set<std::string>& left,
                            const std::set<std::string>& reported = {}) {
  std::size_t bytes = 0;
  for (const std::string& file : before) {
    if (left.count(file) == 0 && reported.count(file) == 0) {
      bytes += ("Delete : " + file + " \n").size();
    }
  }
  return bytes;
}

/// Ways standard output can be unwritable from the start.
enum class BrokenOutput { kFullDevice, kClosed, kPipeWithoutReader };

class BrokenOutputTest : public ::testing::TestWithParam<BrokenOutput> {};

TEST_P(BrokenOutputTest, UnwritableOutputIsReportedOnceAndNothingIsDeleted) {
  ScratchDir tmp;
  const fs::path root = tmp.path() / "proj";
  MakeFiles(root / "Debug", "main", ".obj", 3);
  MakeFiles(root, "proj", ".ncb", 1);
  const std::set<std::string> before = FilesBelow(root);
  Fd in(Answers(tmp.path(), "\n\n"));
  Fd err(OpenForWriting(tmp.path() / "err"));
  Pipe widowed;
  widowed.read_end.Close();
  Fd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  int out = -1;
  if (GetParam() == BrokenOutput::kFullDevice) out = full.get();
  if (GetParam() == BrokenOutput::kPipeWithoutReader) out = widowed.write_end.get();
  Child child(root, {in.get(), out, err.get()});
  ASSERT_TRUE(child.WaitForEnd());

  EXPECT_TRUE(ExitedWith(child.status(), 2)) << DescribeStatus(child.status());
  const std::string errors = ReadAll(tmp.path() / "err");
  EXPECT_EQ(CountOf(errors, "Error: cannot write standard output: "), 1u) << errors;
  EXPECT_EQ(CountOf(errors, "\n"), 1u) << errors;
  EXPECT_EQ(FilesBelow(root), before);
}

std::string BrokenOutputName(const ::testing::TestParamInfo<BrokenOutput>& param) {
  static const char* const kNames[] = {"FullDevice", "Closed", "PipeWithoutReader"};
  return kNames[static_cast<int>(param.param)];
}

INSTANTIATE_TEST_SUITE_P(EachKind, BrokenOutputTest,
                         ::testing::Values(BrokenOutput::kFullDevice, BrokenOutput::kClosed,
                                           BrokenOutput::kPipeWithoutReader),
                         BrokenOutputName);

TEST(BrokenOutputTest, ReaderLeavingMidRunStopsTheCleaningWithoutACrash) {
  ScratchDir tmp(Storage::kMemoryIfAvailable);
  const fs::path root = tmp.path() / "proj";
  MakeBigTree(root);
  const std::set<std::string> before = FilesBelow(root);
  Pipe input, output;
  Fd err(OpenForWriting(tmp.path() / "err"));
  Child child(root, {input.read_end.get(), output.write_end.get(), err.get()});
  output.write_end.Close();
  char prompt[64];
  ASSERT_GT(::read(output.read_end.get(), prompt, sizeof prompt), 0);
  output.read_end.Close();  // like `buildsweep | head -c 64`
  Send(input.write_end, "\n\n");
  ASSERT_TRUE(child.WaitForEnd());

  EXPECT_TRUE(ExitedWith(child.status(), 2)) << DescribeStatus(child.status());
  const std::string errors = ReadAll(tmp.path() / "err");
  EXPECT_EQ(CountOf(errors, "Error: cannot write standard output: "), 1u) << errors;
  const std::set<std::string> left = FilesBelow(root);
  EXPECT_FALSE(left.empty()) << "kept deleting with no record";
  // Nothing past the prompt was read, so every file gone is a line lost:
  // no more than one block's worth.
  EXPECT_LE(UnrecordedBytes(before, left), kOneBlock);
}

// Runs the program in `root` with its report going to `log`, and at most
// `limit` bytes written to any file, as under `ulimit -f`.
int RunWithFileSizeLimit(const fs::path& root, const fs::path& log, std::size_t limit,
                         const std::vector<std::string>& arguments = {}) {
  const fs::path folder = log.parent_path();
  Fd in(Answers(folder, "\n\n"));
  Fd out(OpenForWriting(log));
  Fd err(OpenForWriting(folder / "err"));
  ChildOptions options;
  options.file_size_limit = limit;
  options.arguments = arguments;
  Child child(root, {in.get(), out.get(), err.get()}, options);
  EXPECT_TRUE(child.WaitForEnd());
  return child.status();
}

TEST(BrokenOutputTest, FileSizeLimitMidRunIsReportedAndLeavesAtMostOneBlockUnwritten) {
  // Many blocks of short lines, and folders of long names whose lines fill
  // a block in a few hundred, each with the default threads and several
  // times, since where the limit meets the threads varies from run to run.
  const std::string long_name(200, 'n');
  // A sanitized run is slower, not different: the Release build's rounds
  // meet the threads at more places.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kLongNameRounds = 3;
#else
  constexpr int kLongNameRounds = 8;
#endif
  const struct {
    const char* shape;
    int rounds;
    std::function<void(const fs::path&)> make;
  } kShapes[] = {
      {"big tree", 2, [](const fs::path& root) { MakeBigTree(root); }},
      {"long names", kLongNameRounds,
       [&](const fs::path& root) {
         for (int i = 10; i < 60; ++i) MakeFiles(root / ("f" + std::to_string(i)), long_name, ".obj", 100);
       }},
  };
  for (const auto& shape : kShapes) {
    for (int round = 0; round < shape.rounds; ++round) {
      SCOPED_TRACE(std::string(shape.shape) + ", round " + std::to_string(round));
      ScratchDir tmp(Storage::kMemoryIfAvailable);
      const fs::path root = tmp.path() / "proj";
      shape.make(root);
      const std::set<std::string> before = FilesBelow(root);
      const int status = RunWithFileSizeLimit(root, tmp.path() / "log", 100 * 1024);

      EXPECT_TRUE(ExitedWith(status, 2)) << DescribeStatus(status);
      EXPECT_EQ(ReadAll(tmp.path() / "err"), "Error: cannot write standard output: File too large\n");
      const std::set<std::string> left = FilesBelow(root);
      EXPECT_FALSE(left.empty()) << "kept deleting with no record";
      // What was deleted but never written stays within one block of lines.
      const std::set<std::string> reported = DeletedPaths(ReadAll(tmp.path() / "log"));
      EXPECT_LE(UnrecordedBytes(before, left, reported), kOneBlock);
    }
  }
}

TEST(BrokenOutputTest, LineLongerThanABlockGoesOutAfterEverythingBeforeIt) {
  // A file whose line alone is longer than a block, in a folder whose own
  // line still fits in one: the folder line waits in the block, and the limit
  // falls in it. The file may go only once that line is on record, or a
  // failed write would cost both.
  const std::string long_name(250, 'n');
  const std::string leaf = std::string(246, 'x') + ".obj";
  for (const char* jobs : {"1", "2"}) {
    SCOPED_TRACE(std::string("-j ") + jobs);
    ScratchDir tmp(Storage::kMemoryIfAvailable);
    const fs::path root = tmp.path() / "proj";
    const std::size_t depth = (kOneBlock - 130 - root.string().size()) / (long_name.size() + 1);
    MakeFiles(root / "a", long_name.substr(0, 240), ".obj", 300);
    MakeChain(root.string(), depth, long_name, leaf);
    // Where the folder's line begins in the report: a dry run prints the
    // same lines, each deletion's 6 bytes longer.
    ASSERT_TRUE(ExitedWith(RunWithFileSizeLimit(root, tmp.path() / "dry", 0, {"-n"}), 0));
    const std::string dry = ReadAll(tmp.path() / "dry");
    const std::size_t long_line =
        dry.find("Would delete : " + root.string() + "/" + long_name + "/");
    ASSERT_NE(long_line, std::string::npos);
    ASSERT_GT(dry.find('\n', long_line) - long_line, kOneBlock);
    const std::size_t folder_line = dry.rfind("Folder : ", long_line);
    ASSERT_LE(long_line - folder_line, kOneBlock);
    const std::size_t offset =
        folder_line - 6 * CountOf(dry.substr(0, folder_line), "Would delete : ");
    const std::set<std::string> before = FilesBelow(root);
    const int status =
        RunWithFileSizeLimit(root, tmp.path() / "log", offset + 1000, {"-y", "-j", jobs});

    EXPECT_TRUE(ExitedWith(status, 2)) << DescribeStatus(status);
    EXPECT_TRUE(InspectChain(root.string(), long_name, leaf).leaf_present)
        << "deleted though the lines before its own were never written";
    const std::string log = ReadAll(tmp.path() / "log");
    // The limit fell inside the long line's folder, not before it.
    ASSERT_GT(log.size(), offset + 9);
    EXPECT_EQ(log.compare(offset, 9, "Folder : "), 0) << "the limit fell elsewhere";
    const std::set<std::string> reported = DeletedPaths(log);
    EXPECT_LE(UnrecordedBytes(before, FilesBelow(root), reported), kOneBlock);
  }
}

TEST(OutputFailureTest, OutputLostMidRunStopsTheCleaningAtTheNextFile) {
  ScratchDir tmp;
  const fs::path root = tmp.path() / "proj";
  MakeFiles(root / "Debug", "object", ".obj", 20);
  const std::set<std::string> before = FilesBelow(root);
  FakeConsole console;
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

TEST(OutputFailureTest, OutputLostMidRunStopsEveryThreadSoonAfter) {
  // Threads clean ahead of what is written, but what they hold back and
  // what the report holds stay within one block: so a failed write leaves
  // no more deletions off the record than with one thread.
  ScratchDir tmp;
  const fs::path root = tmp.path() / "proj";
  const std::string long_name(100, 'n');
  // The first folder keeps its thread busy while the others run ahead.
  MakeFiles(root / "f1000", long_name, ".obj", 3000);
  for (int i = 1; i < 400; ++i) MakeFiles(root / ("f" + std::to_string(1000 + i)), long_name, ".obj", 5);
  const std::set<std::string> before = FilesBelow(root);
  FakeConsole console;
  console.interactive = true;
  console.fail_output_from = 2000;
  const RunResult run = RunIn(root, nullptr, platform::NativeFileSystem(), console, 3);

  EXPECT_EQ(run.status, 2);
  const std::set<std::string> left = FilesBelow(root);
  EXPECT_LE(UnrecordedBytes(before, left, DeletedPaths(run.out)), kOneBlock);
  EXPECT_GT(left.size(), before.size() / 2);
}

TEST(OutputFailureTest, BothStreamsFailingStillEndsTheRunWithStatusTwo) {
  ScratchDir tmp;
  const fs::path root = tmp.path() / "proj";
  MakeFiles(root / "Debug", "object", ".obj", 3);
  FakeConsole console;
  console.fail_output_from = 0;
  console.fail_errors = true;
  EXPECT_EQ(RunIn(root, nullptr, platform::NativeFileSystem(), console).status, 2);
  EXPECT_EQ(FilesBelow(root).size(), 3u);
}

/// A console that has gathered a set number of bytes not yet written.
class GatheringConsole : public FakeConsole {
 public:
  std::size_t GatheredBytes() override { return gathered.load(); }
  std::atomic<std::size_t> gathered{0};
};

// A line memory ran out in the middle of is dropped, in text as in JSON:
// what the run writes after it starts a line of its own.
TEST(ReportTest, ALineCutShortByMemoryIsDroppedWholeAndTheNextStandsAlone) {
  for (const bool json : {false, true}) {
    FakeConsole console;
    engine::Report report(console);
    if (json) report.UseJson();
    report.Text("Folder : /a ").EndLine();
    report.Text(json ? "{\"type\":\"error\"," : "Folder : ");
    report.DropUnfinishedLine();
    report.Error("Error: out of memory; the cleaning stopped here");
    report.Text("Total Remove File : 1").EndLine();
    report.Flush();
    EXPECT_EQ(console.out.substr(0, 12), "Folder : /a ");
    EXPECT_EQ(console.out.find("Folder : Total"), std::string::npos) << console.out;
    EXPECT_EQ(console.out.find("{\"type\":\"error\",{"), std::string::npos) << console.out;
    EXPECT_NE(console.out.find("\nTotal Remove File : 1\n"), std::string::npos) << console.out;
  }
  // A whole line memory ran out on while it was handed on (a worker's
  // report hands on every line as it ends) is no line cut short: it stays,
  // to be written after, for its file is gone.
  struct RunningOut : FakeConsole {
    bool Write(platform::OutputStream stream, std::string_view bytes, std::string* error) override {
      if (out_of_memory) throw std::bad_alloc();
      return FakeConsole::Write(stream, bytes, error);
    }
    bool out_of_memory = true;
  } console;
  engine::Report worker(console, 0);
  EXPECT_THROW(worker.Text("Delete : /a/x.obj ").EndLine(), std::bad_alloc);
  worker.DropUnfinishedLine();
  console.out_of_memory = false;
  worker.Flush();
  EXPECT_EQ(console.out, "Delete : /a/x.obj \n");
}

// Workers taking room side by side never hold more than it has between
// them, beside what a terminal's console gathers, whether they count lines
// or reserve room: each sees what the others took, however their steps
// interleave.
TEST(RecordRoomTest, WorkersTakingRoomSideBySideNeverPassTheBound) {
  GatheringConsole console;
  console.gathered = 200;
  constexpr std::size_t kRoom = 1000;
  engine::RecordRoom room(console, kRoom);
  std::atomic<std::size_t> held{0};  // what the workers were granted and keep
  std::atomic<bool> passed{false};
  auto work = [&](unsigned seed) {
    // Each keeps its last few grants, so the room stays nearly full and
    // workers keep asking for its last bytes at once.
    struct Grant {
      std::size_t bytes;
      bool reserved;
    };
    std::vector<Grant> kept;
    auto give_back = [&](const Grant& grant) {
      // Given back here before the room has it back, so `held` never runs
      // ahead of the room.
      held.fetch_sub(grant.bytes);
      if (grant.reserved) {
        room.Release(grant.bytes);
      } else {
        room.Remove(grant.bytes);
      }
    };
    for (unsigned i = 0; i < 50000; ++i) {
      const std::size_t bytes = 1 + (seed * 7919 + i * 104729) % 200;
      const bool reserve = (i + seed) % 3 == 0;
      if (reserve ? room.Reserve(bytes) : room.Admit(bytes)) {
        if (held.fetch_add(bytes) + bytes > kRoom - 200) passed = true;
        kept.push_back({bytes, reserve});
      }
      if (kept.size() > 2 || (!kept.empty() && i % 5 == 0)) {
        give_back(kept.front());
        kept.erase(kept.begin());
      }
    }
    for (const Grant& grant : kept) give_back(grant);
  };
  std::vector<std::thread> workers;
  for (unsigned seed = 0; seed < 8; ++seed) workers.emplace_back(work, seed);
  for (std::thread& worker : workers) worker.join();
  EXPECT_FALSE(passed.load());
  EXPECT_EQ(room.Unwritten() + room.reserved(), 200u);
  EXPECT_FALSE(room.Admit(kRoom - 199)) << "what the console gathers left no room";
}

}  // namespace
}  // namespace testsupport
