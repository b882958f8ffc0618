// Shared helpers of the reliability tests: throw-away trees, a console that
// records what a run writes and can be made to fail, and a child process
// running the real binary with chosen standard streams.
#ifndef BUILDSWEEP_TESTS_RELIABILITY_SUPPORT_H_
#define BUILDSWEEP_TESTS_RELIABILITY_SUPPORT_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"

namespace reliability {

namespace fs = std::filesystem;

/// Where a TempDir is made.
enum class Storage { kTmpDir, kMemoryIfAvailable };

/// A fresh folder under $TMPDIR, removed with everything in it at the end.
class TempDir {
 public:
  /// Trees of tens of thousands of files take seconds to create on a disk;
  /// kMemoryIfAvailable makes them in /dev/shm where the system has one.
  explicit TempDir(Storage storage = Storage::kTmpDir);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  /// The folder's path.
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

/// Creates an empty file (and any missing parent folders).
void MakeFile(const fs::path& file);

/// Creates `count` files named `<prefix><i><suffix>` in `folder`.
void MakeFiles(const fs::path& folder, std::string_view prefix, std::string_view suffix,
               std::size_t count);

/// Every non-folder entry below `root`, links included, as full paths.
std::set<std::string> FilesBelow(const fs::path& root);

/// The paths that follow "Delete : " on each line of `report`.
std::set<std::string> DeletedPaths(std::string_view report);

/// How many times `needle` occurs in `text`.
std::size_t CountOf(std::string_view text, std::string_view needle);

/// Makes the current directory `folder` for the lifetime of the object.
class ScopedCurrentDirectory {
 public:
  /// Enters `folder`.
  explicit ScopedCurrentDirectory(const fs::path& folder);
  ~ScopedCurrentDirectory();

 private:
  fs::path previous_;
};

/// A console that records both output streams, answers the prompts from a
/// script and can fail standard output from a chosen write on.
class RecordingConsole : public platform::Console {
 public:
  /// Answers the reads with the characters of `input`, then -1.
  explicit RecordingConsole(std::string input = "\n\n") : input_(std::move(input)) {}

  bool Write(platform::OutputStream stream, std::string_view bytes, std::string* error) override;
  int ReadChar() override;
  void Pause(int) override {}
  bool OutputIsInteractive() override { return interactive; }
  platform::TextEncoding Encoding() override { return platform::TextEncoding::kUtf8; }

  /// What reached standard output and standard error.
  std::string out, err;
  /// Flush at every line, as at a terminal.
  bool interactive = false;
  /// Standard output writes with this 0-based index and later ones fail.
  std::size_t fail_output_from = static_cast<std::size_t>(-1);
  /// Standard error fails too.
  bool fail_errors = false;

 private:
  std::string input_;
  std::size_t next_input_ = 0;
  std::size_t output_writes_ = 0;
};

/// How a child's standard stream is set up: a descriptor to hand over, or
/// closed when negative.
struct ChildStreams {
  int in = -1;
  int out = -1;
  int err = -1;
};

/// How the child is started besides its streams.
struct ChildOptions {
  /// Run as user and group 65534 (only root can).
  bool as_nobody = false;
  /// A signal the child starts with ignored, as under nohup; 0 for none.
  int ignored_signal = 0;
  /// The program to run; null for the built binary. Runs as nobody use a
  /// copy in the test's folder, since the build may lie below a private one.
  const char* program = nullptr;
};

/// The real buildsweep binary running in `folder`, with default signal
/// actions whatever the test process inherited.
class Child {
 public:
  /// Starts it.
  Child(const fs::path& folder, const ChildStreams& streams, const ChildOptions& options = {});
  /// Kills the child if the test left it running.
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  /// The process id.
  pid_t pid() const { return pid_; }
  /// Sends `signal_number`, unless the child has already ended.
  void Signal(int signal_number);
  /// Whether the child has ended; its wait status is then in `status()`.
  bool Ended();
  /// Waits up to `limit` for the end; false (and kills it) on timeout.
  bool WaitForEnd(std::chrono::milliseconds limit = std::chrono::seconds(20));
  /// The raw wait status once ended.
  int status() const { return status_; }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

/// "exited with N" or "killed by signal N", for failure messages.
std::string DescribeStatus(int status);

/// The whole content of `file`.
std::string ReadAll(const fs::path& file);

/// Reads everything from `fd` until its end.
std::string DrainDescriptor(int fd);

/// Polls `done` every millisecond for up to `limit`; its last answer.
template <typename Predicate>
bool PollUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(20));

/// Suspends the calling thread for `ms` milliseconds.
void SleepMs(int ms);

template <typename Predicate>
bool PollUntil(Predicate done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    SleepMs(1);
  }
  return true;
}

}  // namespace reliability

#endif  // BUILDSWEEP_TESTS_RELIABILITY_SUPPORT_H_
