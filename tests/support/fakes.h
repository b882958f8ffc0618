// Stand-ins for the process's console and wrappers around the real file
// system, for running whole runs inside the test process.
#ifndef BUILDSWEEP_TESTS_SUPPORT_FAKES_H_
#define BUILDSWEEP_TESTS_SUPPORT_FAKES_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/run.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "tests/support/scratch_tree.h"

namespace testsupport {

/// A console whose input is scripted and whose output is captured; it can
/// pass for a terminal and can be made to fail either output stream.
class FakeConsole : public platform::Console {
 public:
  /// Reads come from `input` one byte at a time, then -1.
  explicit FakeConsole(std::string input = "\n\n",
                       platform::TextEncoding encoding = platform::TextEncoding::kUtf8)
      : input_(std::move(input)), encoding_(encoding) {}

  bool Write(platform::OutputStream stream, std::string_view bytes, std::string* error) override {
    const bool to_stdout = stream == platform::OutputStream::kStandardOutput;
    if (to_stdout && output_writes_++ >= fail_output_from) {
      *error = "No space left on device";
      return false;
    }
    if (!to_stdout && fail_errors) {
      *error = "Input/output error";
      return false;
    }
    if (to_stdout) {
      OnStandardOutput(bytes);
    } else {
      err.append(bytes);
    }
    // Both streams in the order the program wrote them, stderr marked.
    if (!to_stdout) transcript.append("<stderr>");
    if (!to_stdout || keep_output_) transcript.append(bytes);
    return true;
  }
  int ReadChar() override {
    if (next_input_ == input_.size()) return -1;
    return static_cast<unsigned char>(input_[next_input_++]);
  }
  void Pause(int milliseconds) override { paused_milliseconds += milliseconds; }
  bool OutputIsInteractive() override { return interactive; }
  platform::TextEncoding Encoding() override { return encoding_; }

  std::string out;         ///< standard output
  std::string err;         ///< standard error
  std::string transcript;  ///< both streams, interleaved as written
  int paused_milliseconds = 0;
  /// Whether the output passes for a terminal, which flushes every line.
  bool interactive = false;
  /// Standard output writes with this 0-based index and later ones fail.
  std::size_t fail_output_from = static_cast<std::size_t>(-1);
  /// Whether every write to standard error fails.
  bool fail_errors = false;

 protected:
  /// Stores standard output; a subclass may look at it without keeping it.
  virtual void OnStandardOutput(std::string_view bytes) { out.append(bytes); }
  /// Whether standard output goes into the transcript too.
  bool keep_output_ = true;

 private:
  std::string input_;
  std::size_t next_input_ = 0;
  std::size_t output_writes_ = 0;
  platform::TextEncoding encoding_;
};

/// A console for runs whose output is too large to keep: it counts lines by
/// their start and keeps only the last line of each kind.
class LineCountingConsole : public FakeConsole {
 public:
  LineCountingConsole() { keep_output_ = false; }

  std::size_t folder_lines = 0;  ///< "Folder : " lines
  std::size_t delete_lines = 0;  ///< "Delete : " lines
  std::string last_folder_line;  ///< the last "Folder : " line, without its line feed
  std::string last_delete_line;  ///< the last "Delete : " line
  std::string root_line;         ///< the "Root Path = " line
  std::string total_line;        ///< the "Total Remove File : " line

 private:
  void OnStandardOutput(std::string_view bytes) override {
    for (std::size_t start = 0; start < bytes.size();) {
      const std::size_t end = bytes.find('\n', start);
      partial_.append(bytes.substr(start, end == std::string_view::npos ? end : end - start));
      if (end == std::string_view::npos) break;
      EndLine();
      start = end + 1;
    }
  }
  void EndLine() {
    if (partial_.rfind("Folder : ", 0) == 0) {
      ++folder_lines;
      last_folder_line.swap(partial_);
    } else if (partial_.rfind("Delete : ", 0) == 0) {
      ++delete_lines;
      last_delete_line.swap(partial_);
    } else if (partial_.rfind("Root Path = ", 0) == 0) {
      root_line = partial_;
    } else if (partial_.rfind("Total Remove File : ", 0) == 0) {
      total_line = partial_;
    }
    partial_.clear();
  }
  std::string partial_;
};

/// Passes every call to the real file system; tests override single calls
/// to inject failures or races.
class DelegatingFileSystem : public platform::FileSystem {
 public:
  bool CurrentDirectory(std::string* path, std::string* error) override {
    return real_.CurrentDirectory(path, error);
  }
  bool OpenCurrentDirectory(platform::Dir* dir, platform::FolderInfo* info,
                            std::string* error) override {
    return real_.OpenCurrentDirectory(dir, info, error);
  }
  platform::OpenResult OpenChild(const platform::Dir& parent, std::string_view name,
                                 platform::Dir* dir, platform::FolderInfo* info,
                                 std::string* error) override {
    return real_.OpenChild(parent, name, dir, info, error);
  }
  platform::OpenResult OpenFolderPath(std::string_view path, platform::Dir* dir,
                                      platform::FolderInfo* info, std::string* error) override {
    return real_.OpenFolderPath(path, dir, info, error);
  }
  bool OpenParent(const platform::Dir& child, platform::Dir* dir,
                  platform::FolderInfo* info) override {
    return real_.OpenParent(child, dir, info);
  }
  bool ListEntries(const platform::Dir& dir, platform::EntryList* out,
                   std::string* error) override {
    return real_.ListEntries(dir, out, error);
  }
  platform::LinkTarget LinkLeadsToFolder(const platform::Dir& dir, std::string_view name,
                                         std::string* error) override {
    return real_.LinkLeadsToFolder(dir, name, error);
  }
  platform::RemoveResult RemoveFile(const platform::Dir& dir, std::string_view name,
                                    std::string* error) override {
    return real_.RemoveFile(dir, name, error);
  }
  platform::RemoveResult ExamineFile(const platform::Dir& dir, std::string_view name,
                                     platform::FileExamination* file,
                                     std::string* error) override {
    return real_.ExamineFile(dir, name, file, error);
  }
  platform::LookupResult LookUpEntry(const platform::Dir& dir, std::string_view name,
                                     platform::EntryKind* kind, std::string* error) override {
    return real_.LookUpEntry(dir, name, kind, error);
  }
  platform::LookupResult LookUpPath(const platform::Dir& dir, std::string_view path,
                                    platform::EntryKind* kind, platform::FolderId* id,
                                    std::string* error) override {
    return real_.LookUpPath(dir, path, kind, id, error);
  }
  platform::LookupResult ReadLinkText(const platform::Dir& dir, std::string_view path,
                                      std::string* text, std::string* error) override {
    return real_.ReadLinkText(dir, path, text, error);
  }
  platform::LookupResult ListFolderAt(const platform::Dir& dir, std::string_view path,
                                      platform::EntryList* out, std::string* error) override {
    return real_.ListFolderAt(dir, path, out, error);
  }
  platform::LookupResult PhysicalFolderPath(std::string_view path, std::string* physical,
                                            std::string* error) override {
    return real_.PhysicalFolderPath(path, physical, error);
  }
  platform::LookupResult ReadModifiedTime(const platform::Dir& dir, std::string_view name,
                                          std::int64_t* time, std::string* error) override {
    return real_.ReadModifiedTime(dir, name, time, error);
  }
  platform::LookupResult ReadWholeFile(const platform::Dir& dir, std::string_view path,
                                       std::size_t most_bytes, std::string* content,
                                       std::string* error) override {
    return real_.ReadWholeFile(dir, path, most_bytes, content, error);
  }
  platform::LookupResult MapWholeFile(const platform::Dir& dir, std::string_view path,
                                      std::size_t most_bytes,
                                      std::unique_ptr<FileBytes>* content,
                                      std::string* error) override {
    return real_.MapWholeFile(dir, path, most_bytes, content, error);
  }

 protected:
  platform::FileSystem& real_ = platform::NativeFileSystem();
};

/// How a run inside the test process ended and what it wrote.
struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

/// Runs buildsweep where the test stands (which may have been removed)
/// through `fs` and `console` with `jobs` threads (0: the default number)
/// and otherwise as `options` ask.
inline RunResult RunInCurrentFolder(platform::FileSystem& fs, FakeConsole& console,
                                    const driver::RunHooks& hooks = driver::RunHooks(),
                                    unsigned jobs = 0, driver::Options options = {}) {
  options.jobs = jobs;
  RunResult result;
  result.status = driver::Run(fs, console, options, hooks);
  result.out = console.out;
  result.err = console.err;
  return result;
}

/// Runs buildsweep in the folder `root` through `fs` and `console` with
/// `jobs` threads (0: the default number), calling `between` once the root
/// is listed, before any folder below it is entered.
inline RunResult RunIn(const std::string& root, const std::function<void()>& between,
                       platform::FileSystem& fs, FakeConsole& console, unsigned jobs = 0) {
  EnterFolder(root);
  driver::RunHooks hooks;
  hooks.after_root_listed = between;
  return RunInCurrentFolder(fs, console, hooks, jobs);
}

/// Runs buildsweep in `root` on the real file system with Enter at both
/// prompts, calling `between` once the root is listed.
inline RunResult RunIn(const std::string& root, const std::function<void()>& between = nullptr) {
  FakeConsole console;
  return RunIn(root, between, platform::NativeFileSystem(), console);
}

}  // namespace testsupport

#endif  // BUILDSWEEP_TESTS_SUPPORT_FAKES_H_
