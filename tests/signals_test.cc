// The real binary stopped by a signal mid-run and at its prompts: whatever
// it deleted is on the record, and it ends by the signal, unless whoever
// started it ignored that signal.
#include <fcntl.h>
#include <signal.h>
#include <string.h>  // sigabbrev_np
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/expected_run.h"
#include "tests/support/scratch_tree.h"

namespace testsupport {
namespace {

namespace fs = std::filesystem;

/// The size of `file`, 0 while it does not exist.
std::uintmax_t SizeOf(const fs::path& file) {
  std::error_code ignored;
  const std::uintmax_t size = fs::file_size(file, ignored);
  return ignored ? 0 : size;
}

/// Whether the report in `log` has come to its total.
bool HasTotal(const fs::path& log) {
  return ReadAll(log).find("Total Remove File") != std::string::npos;
}

/// Whether `text` ends with `end`.
bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

/// The items of `a` that are not in `b`.
std::set<std::string> Minus(const std::set<std::string>& a, const std::set<std::string>& b) {
  std::set<std::string> rest;
  for (const std::string& item : a) {
    if (b.count(item) == 0) rest.insert(item);
  }
  return rest;
}

/// Empty when the report names exactly the files that are gone; otherwise a
/// short account of the difference (the full sets run to tens of thousands).
std::string RecordGaps(const std::set<std::string>& reported, const std::set<std::string>& gone) {
  const std::set<std::string> unreported = Minus(gone, reported);
  const std::set<std::string> still_there = Minus(reported, gone);
  if (unreported.empty() && still_there.empty()) return std::string();
  std::string text = std::to_string(unreported.size()) + " gone without a line";
  if (!unreported.empty()) text += " (" + *unreported.begin() + ")";
  text += ", " + std::to_string(still_there.size()) + " reported but still there";
  if (!still_there.empty()) text += " (" + *still_there.begin() + ")";
  return text;
}

/// A big tree in memory, the files it held, and one log for both streams of
/// the run started in it.
struct BigTreeRun {
  BigTreeRun() {
    MakeBigTree(root);
    before = FilesBelow(root);
  }
  ChildStreams streams() const { return {input.read_end.get(), out.get(), out.get()}; }
  /// Enter at the start prompt, then wait until the run is well under way:
  /// the first block only reaches the log once the cleaning has produced a
  /// few thousand lines.
  bool StartAndReachMidRun(Child& child) {
    Send(input.write_end, "\n");
    return PollUntil([&] { return SizeOf(log) > 16384 || child.Ended(); });
  }

  ScratchDir tmp{Storage::kMemoryIfAvailable};
  const fs::path root = tmp.path() / "proj";
  const fs::path log = tmp.path() / "log";
  std::set<std::string> before;
  Pipe input;
  Fd out{OpenForWriting(log)};
};

class StopSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(StopSignalTest, MidRunStopRecordsEveryDeletedFileAndEndsByTheSignal) {
  const int signal_number = GetParam();
  BigTreeRun run;
  const fs::path& root = run.root;
  Child child(root, run.streams());
  ASSERT_TRUE(run.StartAndReachMidRun(child));
  child.Signal(signal_number);
  ASSERT_TRUE(child.WaitForEnd());

  EXPECT_TRUE(EndedBySignal(child.status(), signal_number)) << DescribeStatus(child.status());
  const std::set<std::string> left = FilesBelow(root);
  ASSERT_FALSE(left.empty()) << "the run finished before the signal came";
  const std::string report = ReadAll(run.log);
  EXPECT_EQ(RecordGaps(DeletedPaths(report), Minus(run.before, left)), "");
  ASSERT_FALSE(report.empty());
  EXPECT_EQ(report.back(), '\n');
  EXPECT_EQ(CountOf(report, "Total Remove File"), 0u);
}

std::string SignalName(const ::testing::TestParamInfo<int>& param) {
  return sigabbrev_np(param.param);
}

INSTANTIATE_TEST_SUITE_P(EachStopSignal, StopSignalTest,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT), SignalName);

TEST(StopSignalTest, JsonRecordCutShortEndsSayingWhichSignalStoppedIt) {
  BigTreeRun run;
  ChildOptions json;
  json.arguments = {"--json"};
  Child child(run.root, run.streams(), json);
  ASSERT_TRUE(run.StartAndReachMidRun(child));
  child.Signal(SIGINT);
  ASSERT_TRUE(child.WaitForEnd());

  EXPECT_TRUE(EndedBySignal(child.status(), SIGINT)) << DescribeStatus(child.status());
  const std::size_t gone = Minus(run.before, FilesBelow(run.root)).size();
  ASSERT_LT(gone, run.before.size()) << "the run finished before the signal came";
  const std::string record = ReadAll(run.log);
  EXPECT_EQ(CountOf(record, "{\"type\":\"delete\","), gone);
  EXPECT_EQ(CountOf(record, "\"type\":\"total\""), 0u);
  const std::string last_line = "{\"type\":\"stopped\",\"signal\":\"SIGINT\"}\n";
  ASSERT_GE(record.size(), last_line.size());
  EXPECT_EQ(record.substr(record.size() - last_line.size()), last_line);
  EXPECT_EQ(CountOf(record, "stopped"), 1u);
}

TEST(StopSignalTest, StopWhileTheLastBlockWaitsForAFullPipeStillDeliversIt) {
  ScratchDir tmp;
  const fs::path root = tmp.path() / "proj";
  MakeFiles(root / "out", "object", ".obj", 600);
  Pipe input, output;
  // The report can't fit in the pipe.
  const int capacity = ::fcntl(output.write_end.get(), F_SETPIPE_SZ, 4096);
  ASSERT_GT(capacity, 0) << strerror(errno);
  Fd err(OpenForWriting(tmp.path() / "err"));
  Child child(root, {input.read_end.get(), output.write_end.get(), err.get()});
  output.write_end.Close();
  Send(input.write_end, "\n");
  // Nobody reads: once every file is gone, the report is stuck in the pipe.
  ASSERT_TRUE(PollUntil([&] { return fs::is_empty(root / "out") || child.Ended(); }));
  SleepMs(100);
  child.Signal(SIGTERM);
  SleepMs(50);
  const std::string report = DrainDescriptor(output.read_end.get());
  ASSERT_TRUE(child.WaitForEnd());

  EXPECT_TRUE(EndedBySignal(child.status(), SIGTERM)) << DescribeStatus(child.status());
  EXPECT_GT(report.size(), static_cast<std::size_t>(capacity)) << "the report fit: nothing waited";
  EXPECT_EQ(DeletedPaths(report).size(), 600u);
}

TEST(StopSignalTest, HangupIgnoredByWhoeverStartedTheRunNeitherStopsNorEndsIt) {
  BigTreeRun run;
  Pipe output;
  // Nobody reads at first: the run waits on the full pipe, surely mid-run.
  const int capacity = ::fcntl(output.write_end.get(), F_SETPIPE_SZ, 4096);
  ASSERT_GT(capacity, 0) << strerror(errno);
  ChildOptions nohup;
  nohup.ignored_signal = SIGHUP;
  Child child(run.root, {run.input.read_end.get(), output.write_end.get(), run.out.get()}, nohup);
  output.write_end.Close();
  Send(run.input.write_end, "\n");
  // The first file goes before anything is written: the run is under way,
  // and can't end while its report waits in the pipe.
  const std::string first_file = run.root / "module0" / "object0.obj";
  ASSERT_TRUE(PollUntil([&] { return !Exists(first_file) || child.Ended(); }));
  ASSERT_FALSE(child.Ended());
  child.Signal(SIGHUP);  // mid-run
  std::mutex mutex;
  std::string report;
  std::thread reader([&] {
    char buffer[65536];
    for (ssize_t n; (n = ::read(output.read_end.get(), buffer, sizeof buffer)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      std::lock_guard<std::mutex> lock(mutex);
      report.append(buffer, static_cast<std::size_t>(n));
    }
  });
  const auto reached_total = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return report.find("Total Remove File") != std::string::npos;
  };
  const bool ended = PollUntil([&] { return reached_total() || child.Ended(); });
  child.Signal(SIGHUP);  // at the exit prompt
  SleepMs(50);
  Send(run.input.write_end, "\n");
  const bool waited = child.WaitForEnd();
  reader.join();
  ASSERT_TRUE(ended && waited);

  EXPECT_TRUE(ExitedWith(child.status(), 0)) << DescribeStatus(child.status());
  EXPECT_EQ(ReadAll(run.log), "") << "nothing on standard error";
  EXPECT_EQ(RecordGaps(DeletedPaths(report), Minus(run.before, FilesBelow(run.root))), "");
  EXPECT_EQ(FilesBelow(run.root).size(), 0u);
}

TEST(PromptSignalTest, SignalAtEitherPromptEndsTheRunAtOnce) {
  ScratchDir tmp;
  const fs::path root = tmp.path() / "proj";
  const fs::path log = tmp.path() / "log";
  const auto prompts = [&] { return CountOf(ReadAll(log), "{\"type\":\"prompt\","); };
  // Input left non-blocking by whoever shares it says "nothing yet", which is
  // no answer: the prompts wait all the same. A JSON record stopped at a
  // prompt ends saying so, as one stopped mid-run does.
  for (const bool json : {false, true}) {
    for (const bool non_blocking : {false, true}) {
      SCOPED_TRACE(std::string(json ? "JSON, " : "") +
                   (non_blocking ? "non-blocking input" : "blocking input"));
      ChildOptions options;
      if (json) options.arguments = {"--json", "--ask"};
      MakeFiles(root / "Debug", "main", ".obj", 3);
      const std::set<std::string> before = FilesBelow(root);
      {
        Pipe input;  // never written: the start prompt waits
        if (non_blocking) ::fcntl(input.read_end.get(), F_SETFL, O_NONBLOCK);
        Fd out(OpenForWriting(log));
        Child child(root, {input.read_end.get(), out.get(), out.get()}, options);
        ASSERT_TRUE(PollUntil([&] { return (json ? prompts() > 0 : SizeOf(log) > 0) || child.Ended(); }));
        child.Signal(SIGINT);
        ASSERT_TRUE(child.WaitForEnd(std::chrono::seconds(2)));
        EXPECT_TRUE(EndedBySignal(child.status(), SIGINT)) << DescribeStatus(child.status());
        EXPECT_EQ(FilesBelow(root), before);
        if (json) {
          EXPECT_TRUE(EndsWith(ReadAll(log), "{\"type\":\"stopped\",\"signal\":\"SIGINT\"}\n"));
        }
      }
      {
        Pipe input;
        if (non_blocking) ::fcntl(input.read_end.get(), F_SETFL, O_NONBLOCK);
        Fd out(OpenForWriting(log));
        Child child(root, {input.read_end.get(), out.get(), out.get()}, options);
        Send(input.write_end, "\n");  // the exit prompt gets nothing
        ASSERT_TRUE(PollUntil([&] { return (json ? prompts() == 2 : HasTotal(log)) || child.Ended(); }));
        child.Signal(SIGTERM);
        ASSERT_TRUE(child.WaitForEnd(std::chrono::seconds(2)));
        EXPECT_TRUE(EndedBySignal(child.status(), SIGTERM)) << DescribeStatus(child.status());
        EXPECT_TRUE(FilesBelow(root).empty());
        if (json) {
          EXPECT_TRUE(EndsWith(ReadAll(log), "{\"type\":\"stopped\",\"signal\":\"SIGTERM\"}\n"));
        } else {
          EXPECT_EQ(DeletedPaths(ReadAll(log)), before);
        }
      }
    }
  }
}

}  // namespace
}  // namespace testsupport
