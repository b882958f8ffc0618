// Folders that can't be read, from the start (locked, unlistable) or only
// once the root is listed (out of descriptors, say): each gets one line on
// standard error, the rest of the tree is cleaned, and the run fails.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "platform/file_system.h"
#include "tests/support/child_process.h"
#include "tests/support/expected_run.h"
#include "tests/support/fakes.h"
#include "tests/support/scratch_tree.h"

namespace testsupport {
namespace {

namespace fs = std::filesystem;

TEST(UnreadableFolderTest, FoldersThatCantBeReadAreReportedAndTheRestIsCleaned) {
  ScratchDir tmp;
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

/// The real file system, with chosen calls failing once the root is listed.
class FailingOnceRootListed : public DelegatingFileSystem {
 public:
  bool fail_listing = false;
  bool fail_opening = false;
  bool root_listed = false;

  platform::OpenResult OpenChild(const platform::Dir& parent, std::string_view name,
                                 platform::Dir* dir, platform::FolderInfo* info,
                                 std::string* error) override {
    if (root_listed && fail_opening) {
      *error = "Too many open files";
      return platform::OpenResult::kFailed;
    }
    return real_.OpenChild(parent, name, dir, info, error);
  }
  bool OpenParent(const platform::Dir& child, platform::Dir* dir, platform::FolderInfo* info) override {
    return !(root_listed && fail_opening) && real_.OpenParent(child, dir, info);
  }
  bool ListEntries(const platform::Dir& dir, platform::EntryList* out,
                   std::string* error) override {
    if (root_listed && fail_listing) {
      *error = "Input/output error";
      return false;
    }
    return real_.ListEntries(dir, out, error);
  }
};

TEST(FileSystemFaultTest, FoldersThatCanNoLongerBeOpenedOrListedAreReportedAndHarmless) {
  ScratchDir tmp;
  const fs::path root = tmp.path() / "proj";
  for (const char* file : {"a/x.obj", "a/b/y.obj", "z.obj"}) MakeFile(root / file);
  {
    // Out of descriptors, say: every folder below the root is out of reach,
    // the root itself is still open.
    FailingOnceRootListed faulty;
    faulty.fail_opening = true;
    FakeConsole console;
    const RunResult run = RunIn(root, [&] { faulty.root_listed = true; }, faulty, console);
    EXPECT_EQ(run.status, 2);
    // Nothing below a folder out of reach is reached either: one line for it.
    EXPECT_EQ(run.err, "Error: cannot read '" + (root / "a").string() + "': Too many open files\n");
    EXPECT_EQ(DeletedPaths(run.out), Paths(root, {"z.obj"}));
    EXPECT_EQ(CountOf(run.out, "Folder : "), 1u);
  }
  {
    FailingOnceRootListed faulty;
    faulty.fail_listing = true;
    FakeConsole console;
    const RunResult run = RunIn(root, [&] { faulty.root_listed = true; }, faulty, console);
    EXPECT_EQ(run.status, 2);
    std::string unread;
    // "a/b" is never seen: "a" could not be listed.
    for (const fs::path& folder : {root / "a", root}) {
      unread += "Error: cannot read '" + folder.string() + "': Input/output error\n";
    }
    EXPECT_EQ(run.err, unread);
    EXPECT_EQ(CountOf(run.out, "Folder : "), 0u);
    EXPECT_EQ(TotalOf(run.out), 0);
    EXPECT_EQ(FilesBelow(root), Paths(root, {"a/x.obj", "a/b/y.obj"}));
  }
}

}  // namespace
}  // namespace testsupport
