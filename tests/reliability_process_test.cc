// The real binary under faults that only a whole process meets: stop signals
// mid-run and at the prompts, standard output that can't be written, folders
// it may not read, and a tree that is rearranged while it runs.
#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <signal.h>
#include <string.h>  // sigabbrev_np
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <utility>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/reliability_support.h"

namespace reliability {
namespace {

/// A descriptor closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  /// The descriptor, -1 once closed.
  int get() const { return fd_; }
  /// Closes it now.
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

/// Makes a pipe; a child that dies early then fails the test with EPIPE
/// instead of killing it with SIGPIPE.
std::pair<int, int> MakePipe() {
  ::signal(SIGPIPE, SIG_IGN);
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  return {ends[0], ends[1]};
}

/// A pipe whose ends close themselves.
struct Pipe {
  Pipe() : Pipe(MakePipe()) {}
  explicit Pipe(std::pair<int, int> ends) : read_end(ends.first), write_end(ends.second) {}
  Fd read_end, write_end;
};

/// Opens `file` for writing, emptied or created.
int OpenForWriting(const fs::path& file) {
  return ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

/// Opens `file` for reading.
int OpenForReading(const fs::path& file) { return ::open(file.c_str(), O_RDONLY | O_CLOEXEC); }

/// A file holding `text`, opened for reading, to stand in for a keyboard.
int Answers(const fs::path& folder, std::string_view text) {
  const fs::path file = folder / "answers";
  std::ofstream(file) << text;
  return OpenForReading(file);
}

/// Writes all of `text` to `fd`.
void Send(const Fd& fd, std::string_view text) {
  ASSERT_EQ(::write(fd.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

/// 60,000 by-products in 300 folders: a report of a few megabytes, written in
/// many blocks, so a signal can be sent while the cleaning is surely going on.
void MakeBigTree(const fs::path& root) {
  for (int folder = 0; folder < 300; ++folder) {
    MakeFiles(root / ("module" + std::to_string(folder)), "object", ".obj", 200);
  }
}

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

/// Whether the wait status says killed by `signal_number`.
bool EndedBySignal(int status, int signal_number) {
  return WIFSIGNALED(status) && WTERMSIG(status) == signal_number;
}

/// Whether the wait status says exited with `code`.
bool ExitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

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

class StopSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(StopSignalTest, MidRunStopRecordsEveryDeletedFileAndEndsByTheSignal) {
  const int signal_number = GetParam();
  TempDir tmp(Storage::kMemoryIfAvailable);
  const fs::path root = tmp.path() / "proj";
  MakeBigTree(root);
  const std::set<std::string> before = FilesBelow(root);
  const fs::path log = tmp.path() / "log";
  Pipe input;
  Fd out(OpenForWriting(log));
  Child child(root, {input.read_end.get(), out.get(), out.get()});
  Send(input.write_end, "\n");
  // The first block after the prompt only reaches the file once the cleaning
  // has produced a few thousand lines.
  ASSERT_TRUE(PollUntil([&] { return SizeOf(log) > 16384 || child.Ended(); }));
  child.Signal(signal_number);
  ASSERT_TRUE(child.WaitForEnd());

  EXPECT_TRUE(EndedBySignal(child.status(), signal_number)) << DescribeStatus(child.status());
  const std::set<std::string> left = FilesBelow(root);
  ASSERT_FALSE(left.empty()) << "the run finished before the signal came";
  const std::string report = ReadAll(log);
  EXPECT_EQ(RecordGaps(DeletedPaths(report), Minus(before, left)), "");
  EXPECT_EQ(report.back(), '\n');
  EXPECT_EQ(CountOf(report, "Total Remove File"), 0u);
}

std::string SignalName(const ::testing::TestParamInfo<int>& param) {
  return sigabbrev_np(param.param);
}

INSTANTIATE_TEST_SUITE_P(EachStopSignal, StopSignalTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         SignalName);

TEST(StopSignalTest, StopWhileTheLastBlockWaitsForAFullPipeStillDeliversIt) {
  TempDir tmp;
  const fs::path root = tmp.path() / "proj";
  MakeFiles(root / "out", "object", ".obj", 600);
  Pipe input, output;
  ::fcntl(output.write_end.get(), F_SETPIPE_SZ, 4096);  // the report can't fit in the pipe
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
  EXPECT_EQ(DeletedPaths(report).size(), 600u);
}

TEST(StopSignalTest, HangupIgnoredByWhoeverStartedTheRunNeitherStopsNorEndsIt) {
  TempDir tmp(Storage::kMemoryIfAvailable);
  const fs::path root = tmp.path() / "proj";
  MakeBigTree(root);
  const std::set<std::string> before = FilesBelow(root);
  const fs::path log = tmp.path() / "log";
  Pipe input;
  Fd out(OpenForWriting(log));
  ChildOptions nohup;
  nohup.ignored_signal = SIGHUP;
  Child child(root, {input.read_end.get(), out.get(), out.get()}, nohup);
  Send(input.write_end, "\n");
  ASSERT_TRUE(PollUntil([&] { return SizeOf(log) > 16384 || child.Ended(); }));
  child.Signal(SIGHUP);  // mid-run
  ASSERT_TRUE(PollUntil([&] { return HasTotal(log) || child.Ended(); }));
  child.Signal(SIGHUP);  // at the exit prompt
  SleepMs(50);
  Send(input.write_end, "\n");
  ASSERT_TRUE(child.WaitForEnd());

  EXPECT_TRUE(ExitedWith(child.status(), 0)) << DescribeStatus(child.status());
  EXPECT_EQ(RecordGaps(DeletedPaths(ReadAll(log)), Minus(before, FilesBelow(root))), "");
  EXPECT_EQ(FilesBelow(root).size(), 0u);
}

TEST(PromptSignalTest, SignalAtEitherPromptEndsTheRunAtOnce) {
  TempDir tmp;
  const fs::path root = tmp.path() / "proj";
  MakeFiles(root / "Debug", "main", ".obj", 3);
  const std::set<std::string> before = FilesBelow(root);
  const fs::path log = tmp.path() / "log";
  {
    Pipe input;  // never written: the start prompt waits
    Fd out(OpenForWriting(log));
    Child child(root, {input.read_end.get(), out.get(), out.get()});
    ASSERT_TRUE(PollUntil([&] { return SizeOf(log) > 0 || child.Ended(); }));
    child.Signal(SIGINT);
    ASSERT_TRUE(child.WaitForEnd(std::chrono::seconds(2)));
    EXPECT_TRUE(EndedBySignal(child.status(), SIGINT)) << DescribeStatus(child.status());
    EXPECT_EQ(FilesBelow(root), before);
  }
  {
    Pipe input;
    Fd out(OpenForWriting(log));
    Child child(root, {input.read_end.get(), out.get(), out.get()});
    Send(input.write_end, "\n");  // the exit prompt gets nothing
    ASSERT_TRUE(PollUntil([&] { return HasTotal(log) || child.Ended(); }));
    child.Signal(SIGTERM);
    ASSERT_TRUE(child.WaitForEnd(std::chrono::seconds(2)));
    EXPECT_TRUE(EndedBySignal(child.status(), SIGTERM)) << DescribeStatus(child.status());
    EXPECT_TRUE(FilesBelow(root).empty());
    EXPECT_EQ(DeletedPaths(ReadAll(log)), before);
  }
}

/// Ways standard output can be unwritable from the start.
enum class BrokenOutput { kFullDevice, kClosed, kPipeWithoutReader };

class BrokenOutputTest : public ::testing::TestWithParam<BrokenOutput> {};

TEST_P(BrokenOutputTest, UnwritableOutputIsReportedOnceAndNothingIsDeleted) {
  TempDir tmp;
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
  TempDir tmp(Storage::kMemoryIfAvailable);
  const fs::path root = tmp.path() / "proj";
  MakeBigTree(root);
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
  EXPECT_FALSE(FilesBelow(root).empty()) << "kept deleting with no record";
}

TEST(UnreadableFolderTest, FoldersThatCantBeReadAreReportedAndTheRestIsCleaned) {
  TempDir tmp;
  const fs::path root = tmp.path() / "proj";
  for (const char* file : {"open/a.obj", "locked/b.obj", "unlistable/c.obj",
                           "locked_above/inner/d.obj", "e.obj"}) {
    MakeFile(root / file);
  }
  // As root, run as "nobody" so the locks hold; everything else stays open to it.
  const bool as_nobody = ::geteuid() == 0;
  fs::permissions(tmp.path(), fs::perms::all);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_directory()) fs::permissions(entry.path(), fs::perms::all);
  }
  fs::permissions(root, fs::perms::all);
  fs::permissions(root / "locked", fs::perms::none);
  fs::permissions(root / "locked_above", fs::perms::none);
  fs::permissions(root / "unlistable", fs::perms::owner_write | fs::perms::owner_exec |
                                           fs::perms::others_write | fs::perms::others_exec);
  Fd in(Answers(tmp.path(), "\n\n"));
  Fd out(OpenForWriting(tmp.path() / "log"));
  Fd err(OpenForWriting(tmp.path() / "err"));
  ChildOptions options;
  options.as_nobody = as_nobody;
  const fs::path program = tmp.path() / "buildsweep";
  fs::copy_file(BUILDSWEEP_BINARY, program);
  const std::string program_path = program.string();
  options.program = program_path.c_str();
  Child child(root, {in.get(), out.get(), err.get()}, options);
  ASSERT_TRUE(child.WaitForEnd());

  EXPECT_TRUE(ExitedWith(child.status(), 2)) << DescribeStatus(child.status());
  // The folder below a locked one is never seen, so it gets no line.
  std::string unread;
  for (const char* folder : {"locked", "locked_above", "unlistable"}) {
    unread += "Error: cannot read '" + (root / folder).string() + "': Permission denied\n";
  }
  EXPECT_EQ(ReadAll(tmp.path() / "err"), unread);
  const std::set<std::string> expected_left = {(root / "locked/b.obj").string(),
                                               (root / "locked_above/inner/d.obj").string(),
                                               (root / "unlistable/c.obj").string()};
  for (const char* folder : {"locked", "locked_above", "unlistable"}) {
    fs::permissions(root / folder, fs::perms::owner_all);
  }
  EXPECT_EQ(FilesBelow(root), expected_left);
  const std::string report = ReadAll(tmp.path() / "log");
  EXPECT_EQ(CountOf(report, "Folder : "), 2u) << report;  // "open" and the root
}

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
  TempDir tmp(Storage::kMemoryIfAvailable);
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
  while (runs < 100 && std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
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
    ASSERT_TRUE(PollUntil([&] { return swaps.load() > 100; }));  // in full swing
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
  EXPECT_GE(runs, 5);
}

}  // namespace
}  // namespace reliability
