// The built program as a user starts it: real standard streams, the locale
// from the environment, and the rights of an ordinary user.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/expected_run.h"
#include "tests/support/scratch_tree.h"

namespace {

using testsupport::Footer;
using testsupport::Header;
using testsupport::MakeFile;
using testsupport::RootBlock;
using testsupport::RootLine;

class EndToEndTest : public ::testing::Test {
 protected:
  EndToEndTest() : root_(scratch_.path().string() + "/proj") {
    testsupport::MakeFolders(root_);
    testsupport::EnterFolder(root_);
  }

  testsupport::ProcessResult RunProgram(const std::string& input,
                                        std::vector<std::pair<std::string, std::string>> env = {},
                                        std::vector<std::string> argv = {BUILDSWEEP_BINARY}) {
    testsupport::ProcessOptions options;
    options.argv = std::move(argv);
    options.input = input;
    options.cwd = root_;
    options.env = std::move(env);
    options.timeout_seconds = 30;  // far beyond a run that does not wait
    testsupport::ProcessResult result = testsupport::RunProcess(options);
    EXPECT_FALSE(result.timed_out) << "the program waited for input it would never get";
    return result;
  }

  testsupport::ScratchDir scratch_;
  const std::string root_;
};

TEST_F(EndToEndTest, ReadsOneCharacterPerPromptAndNeverWaitsAtEndOfInput) {
  // "abc\n": the first prompt takes 'a', the final one 'b'; had either read
  // a whole line, the final read would meet the end of input (status 1).
  const std::pair<std::string, int> cases[] = {{"", 1}, {"\n", 1}, {"\n\n", 0}, {"abc\n", 0}};
  for (const auto& [input, status] : cases) {
    SCOPED_TRACE("input \"" + input + "\"");
    testsupport::MakeExampleProject();
    const testsupport::ProcessResult run = RunProgram(input);
    EXPECT_EQ(run.exit_status, status);
    EXPECT_EQ(run.out, testsupport::ExampleRunOutput(root_));
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(EndToEndTest, KoreanLocalesGetCp949AndEverythingElseUtf8) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> env;
    bool cp949;
    bool needs_installed_locale = false;
  };
  const Case cases[] = {
      {{}, false},
      {{{"LANG", "ko_KR.CP949"}}, true},
      {{{"LANG", "ko_KR.UHC"}}, true},
      {{{"LC_CTYPE", "ko_KR.EUC-KR"}, {"LANG", "C.UTF-8"}}, true},
      {{{"LANG", "ko_KR.UTF-8"}}, false},
      {{{"LC_ALL", "C.UTF-8"}, {"LANG", "ko_KR.CP949"}}, false},
      {{{"LC_ALL", ""}, {"LANG", "ko_KR.euckr"}}, true},
      // Only the C library knows these are EUC-KR: by its installed locale,
      // or by its alias table for "korean.euc".
      {{{"LANG", "ko_KR"}}, true, true},
      {{{"LANG", "korean"}}, true, true},
      {{{"LANG", "korean.euc"}}, true, true},
  };
  const bool euc_locale_installed = std::setlocale(LC_CTYPE, "ko_KR") != nullptr;
  std::setlocale(LC_CTYPE, "C");
  for (const Case& c : cases) {
    if (c.needs_installed_locale && !euc_locale_installed) continue;
    std::string trace;
    for (const auto& [name, value] : c.env) trace += name + "=" + value + " ";
    SCOPED_TRACE(trace);
    const testsupport::ProcessResult run = RunProgram("\n\n", c.env);
    EXPECT_EQ(run.out,
              Header(c.cp949) + RootLine(root_) + RootBlock(root_, {}) + Footer(0, c.cp949));
  }
  if (!euc_locale_installed) GTEST_SKIP() << "no ko_KR locale (localedef -i ko_KR -f EUC-KR ko_KR)";
}

TEST_F(EndToEndTest, LittleMemoryCostsThreadsNotTheCleaning) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitized program needs far more address space than the limit leaves";
#endif
  // Under the least address space one thread cleans in (`ulimit -v`), no
  // second thread's stack can be had: the run goes on with the threads
  // there are, with the default number asked for.
  // The program's path goes as an argument of its own: the build may lie
  // in a folder whose name has blanks.
  const auto run_under = [&](int kib, std::vector<std::string> arguments) {
    testsupport::MakeExampleProject();
    std::vector<std::string> argv = {"/bin/sh", "-c",
                                     "ulimit -v " + std::to_string(kib) + " && exec \"$0\" \"$@\"",
                                     BUILDSWEEP_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProgram("\n\n", {}, argv);
  };
  int least = 4000;
  testsupport::ProcessResult last;
  while (least < 32000 && (last = run_under(least, {"-j", "1"})).exit_status != 0) least += 500;
  ASSERT_LT(least, 32000) << "no limit let one thread clean; the last run said: " << last.err;
  const testsupport::ProcessResult run = run_under(least, {});
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, testsupport::ExampleRunOutput(root_));
  EXPECT_EQ(run.exit_status, 0);
}

TEST_F(EndToEndTest, TheRunsOwnReportFilesAreNeitherDeletedNorListed) {
  MakeFile("a.obj");
  MakeFile("clean.log");
  MakeFile("err.log");
  const testsupport::ProcessResult run =
      RunProgram("\n\n", {}, {"/bin/sh", "-c", "exec \"$0\" >clean.log 2>err.log", BUILDSWEEP_BINARY});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(testsupport::ReadAll("clean.log"),
            Header() + RootLine(root_) + RootBlock(root_, {"a.obj"}) + Footer(1));
  EXPECT_EQ(testsupport::ReadAll("err.log"), "");
  EXPECT_FALSE(testsupport::Exists("a.obj"));
}

// Shows the folder `from` again at `at` for as long as it lives (Linux's
// mount(8); elsewhere, or without the right, it says why not).
class BindMount {
 public:
  BindMount(const std::string& from, const std::string& at) : at_(at) {
    testsupport::ProcessOptions mount;
    mount.argv = {"mount", "--bind", from, at};
    mount.cwd = "/";
    const testsupport::ProcessResult done = testsupport::RunProcess(mount);
    if (done.exit_status != 0) {
      error_ = done.err.empty() ? "status " + std::to_string(done.exit_status) : done.err;
    }
  }
  ~BindMount() {
    if (!error_.empty()) return;
    testsupport::ProcessOptions unmount;
    unmount.argv = {"umount", "-l", at_};
    unmount.cwd = "/";
    EXPECT_EQ(testsupport::RunProcess(unmount).exit_status, 0) << "left mounted: " << at_;
  }
  BindMount(const BindMount&) = delete;
  BindMount& operator=(const BindMount&) = delete;
  /// Why the folder could not be mounted; empty when it was.
  const std::string& error() const { return error_; }

 private:
  const std::string at_;
  std::string error_;
};

TEST_F(EndToEndTest, DryRunForeseesTheRealRunWhereFoldersOverlapThroughABindMount) {
  // "e/m" shows "a" again. A real run finds a's files gone at whichever of
  // the two it reaches second; the dry run, which deletes nothing, must
  // neither list nor count nor add them up twice.
  const std::vector<std::string> files = {"a/1.obj", "a/2.obj", "a/3.obj", "e/4.obj"};
  for (const std::string& file : files) MakeFile(file, "ten bytes!");
  testsupport::MakeFolders("e/m");
  BindMount mount(root_ + "/a", root_ + "/e/m");
  if (!mount.error().empty()) {
    GTEST_SKIP() << "no bind mount allowed here (it takes root): " << mount.error();
  }
  // As two chosen folders, in either order, and within one tree.
  const std::vector<std::string> ways[] = {{"a", "e"}, {"e", "a"}, {"-j", "1"}};
  for (const std::vector<std::string>& way : ways) {
    SCOPED_TRACE(way[0] + " " + way[1]);
    unsigned long long freed = 0;
    for (const std::string& file : files) {
      MakeFile(file, "ten bytes!");
      struct stat st;
      ASSERT_EQ(::lstat(file.c_str(), &st), 0);
      freed += static_cast<unsigned long long>(st.st_blocks) * 512;
    }
    const testsupport::ProcessResult dry =
        RunProgram("", {}, {BUILDSWEEP_BINARY, "-n", way[0], way[1]});
    const testsupport::ProcessResult real =
        RunProgram("", {}, {BUILDSWEEP_BINARY, "-y", way[0], way[1]});
    EXPECT_EQ(testsupport::TotalOf(real.out), 4);
    EXPECT_EQ(dry.out, testsupport::AsDryRun(real.out, 40, freed));
    EXPECT_EQ(dry.err + real.err, "");
    EXPECT_EQ(dry.exit_status + real.exit_status, 0);
  }
}

// An ordinary user meets folders it can't read and files it can't delete,
// which root never does; as root the program is run as nobody.
class UnprivilegedTest : public EndToEndTest {
 protected:
  void SetUp() override {
    testsupport::SetMode(scratch_.path(), 0755);
    testsupport::SetMode(root_, 0777);
    // Run a copy beside the tree: the build may lie below a folder that
    // nobody may enter.
    const std::string program = scratch_.path().string() + "/buildsweep";
    std::filesystem::copy_file(BUILDSWEEP_BINARY, program);
    argv_ = testsupport::AsUnprivilegedUser({program}, root_, &why_not_);
  }

  // A subfolder that the program's user may change.
  void MakeWritableFolderWith(const std::string& folder, const std::string& file) {
    MakeFile(folder + "/" + file);
    testsupport::SetMode(folder, 0777);
  }

  std::vector<std::string> argv_;
  std::string why_not_;
};

TEST_F(UnprivilegedTest, UnreadableFolderGetsItsBannersAndOneErrorLine) {
  if (argv_.empty()) GTEST_SKIP() << why_not_;
  MakeFile("locked/x.obj");
  MakeFile("locked/inner/y.obj");
  testsupport::SetMode("locked", 0);
  MakeWritableFolderWith("open", "z.obj");
  // A link whose target lies behind the locked folder may lead to a folder.
  testsupport::MakeLink("locked/inner", "peek.log");
  const testsupport::ProcessResult run = RunProgram("\n\n", {}, argv_);
  EXPECT_EQ(run.out, Header() + RootLine(root_) + testsupport::SilentBlock() +
                         testsupport::FolderBlock(root_ + "/open", {"z.obj"}) +
                         RootBlock(root_, {}) + Footer(1));
  EXPECT_EQ(run.err, "Error: cannot read '" + root_ + "/locked': Permission denied\n"
                     "Error: cannot delete '" + root_ + "/peek.log': Permission denied\n");
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_TRUE(testsupport::Exists("peek.log"));
  // Chosen on the command line, a folder it may not enter and one it may
  // enter but not list each get the lines of a run started in it.
  MakeFile("open/z.obj");
  testsupport::MakeFolders("search-only");
  testsupport::SetMode("search-only", 0111);
  std::vector<std::string> chosen_argv = argv_;
  for (const char* folder : {"locked", "search-only", "open"}) chosen_argv.push_back(folder);
  const testsupport::ProcessResult chosen = RunProgram("\n\n", {}, chosen_argv);
  const auto unreadable = [](const std::string& folder) {
    return RootLine(folder) + std::string(64, '=') + "\n\n";
  };
  EXPECT_EQ(chosen.out, Header() + unreadable(root_ + "/locked") +
                            unreadable(root_ + "/search-only") + RootLine(root_ + "/open") +
                            RootBlock(root_ + "/open", {"z.obj"}) + Footer(1));
  EXPECT_EQ(chosen.err, "Error: cannot read '" + root_ + "/locked': Permission denied\n"
                        "Error: cannot read '" + root_ + "/search-only': Permission denied\n");
  EXPECT_EQ(chosen.exit_status, 2);
  // Not even the starting folder can be read.
  testsupport::SetMode(root_, 0);
  const testsupport::ProcessResult closed = RunProgram("\n\n", {}, argv_);
  testsupport::SetMode(root_, 0777);
  EXPECT_EQ(closed.out, Header() + RootLine(root_) + std::string(64, '=') + "\n\n" + Footer(0));
  EXPECT_EQ(closed.err, "Error: cannot read '" + root_ + "': Permission denied\n");
  EXPECT_EQ(closed.exit_status, 2);
  testsupport::SetMode("locked", 0700);  // so that a non-root test can look inside
  EXPECT_TRUE(testsupport::Exists("locked/x.obj"));
}

TEST_F(UnprivilegedTest, FileThatCannotBeDeletedIsReportedAndFailsTheRun) {
  if (argv_.empty()) GTEST_SKIP() << why_not_;
  MakeFile("ro/stuck.obj");
  testsupport::SetMode("ro", 0555);
  MakeWritableFolderWith("open", "z.obj");
  MakeFile("r.obj");
  // A dry run foresees the refusal: same lines on both streams, same status.
  std::vector<std::string> dry_argv = argv_;
  dry_argv.push_back("--dry-run");
  const testsupport::ProcessResult dry = RunProgram("", {}, dry_argv);
  const testsupport::ProcessResult run = RunProgram("\n\n", {}, argv_);
  EXPECT_EQ(dry.out, testsupport::AsDryRun(run.out, 0, 0));
  EXPECT_EQ(dry.err, run.err);
  EXPECT_EQ(dry.exit_status, 2);
  EXPECT_EQ(run.out, Header() + RootLine(root_) +
                         testsupport::FolderBlock(root_ + "/open", {"z.obj"}) +
                         testsupport::FolderBlock(root_ + "/ro", {}) + RootBlock(root_, {"r.obj"}) +
                         Footer(2));
  EXPECT_EQ(run.err, "Error: cannot delete '" + root_ + "/ro/stuck.obj': Permission denied\n");
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_TRUE(testsupport::Exists("ro/stuck.obj"));
}

}  // namespace
