// The built program as a user starts it: real standard streams, the locale
// from the environment, and the rights of an ordinary user.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
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

  // With a little more, eight threads run out of memory somewhere in a
  // larger tree: in a worker whose block is not first, on a thread's first
  // use of its scratch, or while the lines are written out. Whatever the
  // moment, the run ends by itself, every file gone has its line and every
  // line's file is gone. (Where it happens varies from run to run; a run
  // that lost lines or aborted did so at about one limit in twelve.)
  const std::string long_name(200, 'y');
  for (int kib = least + 16000; kib <= least + 60000; kib += 4000) {
    SCOPED_TRACE("ulimit -v " + std::to_string(kib));
    testsupport::ScratchDir tree(testsupport::Storage::kMemoryIfAvailable);
    const std::string top = tree.path().string();
    std::set<std::string> files;
    for (int i = 0; i < 1500; ++i) {
      const std::string folder = top + "/w" + std::to_string(i);
      for (const std::string& name : {folder + "/x.obj", folder + "/e/" + long_name + ".log"}) {
        MakeFile(name);
        files.insert(name);
      }
    }
    testsupport::ProcessOptions options;
    options.argv = {"/bin/sh", "-c", "ulimit -v " + std::to_string(kib) + " && exec \"$0\" -y -j 8",
                    BUILDSWEEP_BINARY};
    options.cwd = top;
    options.timeout_seconds = 30;
    const testsupport::ProcessResult cut = testsupport::RunProcess(options);
    ASSERT_TRUE(cut.exit_status == 0 || cut.exit_status == 2) << cut.exit_status << ": " << cut.err;
    std::set<std::string> recorded;
    std::istringstream lines(cut.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("Delete : ", 0) == 0) recorded.insert(line.substr(9, line.size() - 10));
    }
    for (const std::string& file : files) {
      EXPECT_NE(testsupport::Exists(file), recorded.count(file) == 1) << file;
    }
  }
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
  // neither list nor count nor add them up twice. With several threads the
  // second path must not be the one to delete them either: enough files
  // that a worker there would catch up with the first.
  std::vector<std::string> files = {"e/4.obj"};
  for (int i = 0; i < 300; ++i) files.push_back("a/" + std::to_string(i) + ".obj");
  for (const std::string& file : files) MakeFile(file, "ten bytes!");
  testsupport::MakeFolders("e/m");
  BindMount mount(root_ + "/a", root_ + "/e/m");
  if (!mount.error().empty()) {
    GTEST_SKIP() << "no bind mount allowed here (it takes root): " << mount.error();
  }
  // As two chosen folders, in either order, and within one tree.
  const std::vector<std::string> ways[] = {{"a", "e"}, {"e", "a"}, {"-j", "1"}, {"-j", "2"}, {"-j", "8"}};
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
    EXPECT_EQ(testsupport::TotalOf(real.out), static_cast<long>(files.size()));
    EXPECT_EQ(dry.out, testsupport::AsDryRun(real.out, 10 * files.size(), freed));
    // Within one tree "a" comes first, whatever the threads.
    if (way[0] == "-j") {
      EXPECT_EQ(real.out.find("/e/m/"), std::string::npos);
    }
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

// --trash, with trash-cli as the judge of what a trash holds. HOME and
// XDG_DATA_HOME lie in the scratch folder, so the user's own trash is never
// touched.
class TrashTest : public EndToEndTest {
 protected:
  TrashTest()
      : home_(scratch_.path().string() + "/home"),
        home_trash_(home_ + "/data/Trash"),
        env_({{"HOME", home_}, {"XDG_DATA_HOME", home_ + "/data"}}) {
    testsupport::MakeFolders(home_);
  }

  testsupport::ProcessResult RunTrash(std::vector<std::string> arguments,
                                      const std::string& cwd = "") {
    testsupport::ProcessOptions options;
    options.argv = program_;
    options.argv.insert(options.argv.end(), {"--trash", "-y"});
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.cwd = cwd.empty() ? root_ : cwd;
    options.env = env_;
    options.timeout_seconds = 30;
    return testsupport::RunProcess(options);
  }

  testsupport::ProcessResult RunTool(std::vector<std::string> argv, const std::string& input = "") {
    testsupport::ProcessOptions options;
    options.argv = std::move(argv);
    options.input = input;
    options.cwd = root_;
    options.env = env_;
    options.env.emplace_back("LANG", "C.UTF-8");
    return testsupport::RunProcess(options);
  }

  // The original path of each entry of `trash`, by the entry's name, as
  // its information file holds it, percent-decoded byte for byte; checks
  // that the file is there and the information well formed.
  static std::map<std::string, std::string> Entries(const std::string& trash) {
    std::map<std::string, std::string> entries;
    const std::regex form("\\[Trash Info\\]\nPath=([^\n]*)\n"
                          "DeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n");
    for (const std::string& info : testsupport::ListFolder(trash + "/info")) {
      const std::string text = testsupport::ReadAll(trash + "/info/" + info);
      std::smatch match;
      EXPECT_TRUE(std::regex_match(text, match, form)) << text;
      const std::string encoded = match[1].str();
      std::string path;
      for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '%' && i + 2 < encoded.size()) {
          path.push_back(static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16)));
          i += 2;
        } else {
          EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(encoded[i])) ||
                      std::string("-_.~/").find(encoded[i]) != std::string::npos)
              << "not encoded: " << encoded;
          path.push_back(encoded[i]);
        }
      }
      const std::string name = info.substr(0, info.size() - std::string(".trashinfo").size());
      EXPECT_EQ(info.substr(name.size()), ".trashinfo");
      EXPECT_TRUE(testsupport::Exists(trash + "/files/" + name)) << name;
      entries[name] = path;
    }
    return entries;
  }

  static std::set<std::string> Values(const std::map<std::string, std::string>& entries) {
    std::set<std::string> values;
    for (const auto& entry : entries) values.insert(entry.second);
    return values;
  }

  // Runs the program from here on as nobody (where the test runs as root),
  // working in `folder`; false, with why not, where it can't.
  bool RunAsNobody(const std::string& folder, std::string* why_not) {
    testsupport::SetMode(scratch_.path(), 0755);
    const std::string program = scratch_.path().string() + "/buildsweep";
    if (!testsupport::Exists(program)) std::filesystem::copy_file(BUILDSWEEP_BINARY, program);
    program_ = testsupport::AsUnprivilegedUser({program}, folder, why_not);
    if (program_.empty() || ::geteuid() != 0) {
      if (why_not->empty()) *why_not = "only root can run it as another user";
      program_ = {BUILDSWEEP_BINARY};
      return false;
    }
    return true;
  }

  const std::string home_;
  const std::string home_trash_;
  std::vector<std::pair<std::string, std::string>> env_;
  std::vector<std::string> program_ = {BUILDSWEEP_BINARY};
};

TEST_F(TrashTest, TrashCliListsAndRestoresEveryFileByItsOriginalBytes) {
  if (RunTool({"trash-list", "--version"}).exit_status != 0) {
    GTEST_SKIP() << "trash-cli is not installed (apt-get install trash-cli)";
  }
  std::vector<std::string> names = {
      "a b.obj", "100%.log", "new\nline.tmp", "\xff\xfe.bak", "\xed\x95\x9c\xea\xb8\x80.obj",
      "main.obj", "d/main.obj", "e/main.obj", "d/x%41.pch"};
  // A name too long to take a number after it in the trash, cut there
  // where a character begins.
  std::string long_name;
  for (int i = 0; i < 83; ++i) long_name += "\xed\x95\x9c";
  names.push_back(long_name + ".obj");
  for (const std::string& name : names) MakeFile(name, "from " + name);
  MakeFile("main.c", "int main;");
  // Trashed before, by another program, under a name the run will want.
  MakeFile(home_ + "/elsewhere/main.obj", "gio's");
  const bool have_gio = RunTool({"gio", "trash", home_ + "/elsewhere/main.obj"}).exit_status == 0;
  const std::map<std::string, std::string> before = Entries(home_trash_);

  // A dry run makes nothing and names the trash; the real run then does it.
  const testsupport::ProcessResult dry = RunTrash({"-n", "-j", "2"});
  const testsupport::ProcessResult run = RunTrash({"-j", "2"});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  std::string expected = dry.out;
  expected = std::regex_replace(expected, std::regex("Would trash : "), "Trash : ");
  expected = expected.substr(0, expected.find("Total Size"));
  EXPECT_EQ(run.out, expected);
  EXPECT_NE(run.out.find("Trash : " + root_ + "/a b.obj -> " + home_trash_ + " \n"),
            std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Total Remove File : 10\nTotal Trashed : 10\n"), std::string::npos);
  // Trashed, the files keep their space until the trash is emptied.
  EXPECT_NE(dry.out.find("\nSpace Freed : 0 bytes\n"), std::string::npos) << dry.out;

  std::map<std::string, std::string> entries = Entries(home_trash_);
  std::set<std::string> originals;
  for (const std::string& name : names) originals.insert(root_ + "/" + name);
  for (const auto& [name, path] : before) {
    originals.insert(path);
    EXPECT_EQ(entries[name], path) << "an entry made before the run changed";
  }
  EXPECT_EQ(Values(entries), originals);
  if (have_gio) {
    EXPECT_EQ(testsupport::ReadAll(home_trash_ + "/files/main.obj"), "gio's");
  }
  for (const auto& [name, path] : entries) {
    if (path == root_ + "/" + names.back()) {
      EXPECT_EQ(name.size() % 3, 0u) << "cut inside a character";
    }
    if (before.count(name) == 0) {
      EXPECT_EQ(testsupport::ReadAll(home_trash_ + "/files/" + name),
                "from " + path.substr(root_.size() + 1));
    }
  }
  EXPECT_EQ(testsupport::FilesBelow(root_), testsupport::Paths(root_, {"main.c"}));

  // trash-cli reads the same entries: every original path is listed (a
  // name that is no UTF-8 comes out with stand-ins for its stray bytes).
  const testsupport::ProcessResult listed = RunTool({"trash-list"});
  EXPECT_EQ(listed.exit_status, 0) << listed.err;
  for (const std::string& path : originals) {
    if (path.find('\xff') != std::string::npos) continue;
    EXPECT_NE(listed.out.find(" " + path + "\n"), std::string::npos) << path << "\n" << listed.out;
  }
  EXPECT_NE(listed.out.find(root_ + "/\xef\xbf\xbd\xef\xbf\xbd.bak\n"), std::string::npos)
      << listed.out;
  const testsupport::ProcessResult restored = RunTool({"trash-restore", root_ + "/100%.log"}, "0\n");
  EXPECT_EQ(restored.exit_status, 0) << restored.out << restored.err;
  EXPECT_EQ(testsupport::ReadAll(root_ + "/100%.log"), "from 100%.log");
  EXPECT_EQ(Entries(home_trash_).size(), entries.size() - 1);

  // The trash itself is never walked into, with or without --trash; also
  // where it is a mount of its own (root only), whose entry in its parent's
  // listing is the folder beneath the mount.
  const std::size_t held = Entries(home_trash_).size();
  const std::string saved = scratch_.path().string() + "/saved-trash";
  const std::string trash_q = "'" + home_trash_ + "'";
  for (const bool as_mount : {false, true}) {
    if (as_mount && (::geteuid() != 0 ||
                     std::system(("cp -a " + trash_q + " '" + saved + "' && mount -t tmpfs tmpfs " +
                                  trash_q + " && cp -a '" + saved + "'/. " + trash_q).c_str()) != 0)) {
      continue;
    }
    for (const bool trash : {true, false}) {
      SCOPED_TRACE(std::string(as_mount ? "a mount, " : "") + (trash ? "--trash" : "deleting"));
      testsupport::ProcessOptions options;
      options.argv = {BUILDSWEEP_BINARY, "-y"};
      if (trash) options.argv.push_back("--trash");
      options.cwd = home_;
      options.env = env_;
      const testsupport::ProcessResult from_home = testsupport::RunProcess(options);
      EXPECT_EQ(from_home.exit_status, 0) << from_home.err;
      EXPECT_EQ(from_home.out.find("Trash/files"), std::string::npos) << from_home.out;
      EXPECT_EQ(Entries(home_trash_).size(), held);
    }
    if (as_mount) {
      EXPECT_EQ(std::system(("cp -a " + trash_q + "/. '" + saved + "' && umount " + trash_q +
                             " && cp -a '" + saved + "'/. " + trash_q).c_str()),
                0);
    }
  }

  // Nor is what lies in it trashed again, or deleted, by a run started
  // inside it, also where the data folder is named through a link: its
  // entries would be left without their files.
  testsupport::MakeLink(home_ + "/data", home_ + "/data-link");
  for (const char* data_home : {"/data", "/data-link"}) {
    for (const bool trashing : {true, false}) {
      SCOPED_TRACE(std::string(data_home) + (trashing ? " --trash" : ""));
      testsupport::ProcessOptions options;
      options.argv = {BUILDSWEEP_BINARY, "-y"};
      if (trashing) options.argv.push_back("--trash");
      options.cwd = home_trash_ + "/files";
      options.env = {{"HOME", home_}, {"XDG_DATA_HOME", home_ + data_home}};
      const testsupport::ProcessResult inside = testsupport::RunProcess(options);
      EXPECT_EQ(inside.exit_status, 2);
      EXPECT_EQ(inside.err, "Error: the current folder is part of the trash '" + home_trash_ +
                                "', where nothing is deleted\n");
      EXPECT_EQ(Entries(home_trash_).size(), held);
    }
  }
  // Nor what lies in another trash, whose information would be left behind.
  const std::string other_trash = root_ + "/.Trash-4321";
  MakeFile(other_trash + "/files/old.obj");
  MakeFile(other_trash + "/info/old.obj.trashinfo", "[Trash Info]\nPath=/x/old.obj\n");
  const testsupport::ProcessResult in_other = RunTrash({}, other_trash + "/files");
  EXPECT_EQ(in_other.exit_status, 2);
  EXPECT_EQ(in_other.err, "Error: the current folder is part of the trash '" + other_trash +
                              "', where nothing is deleted\n");
  const testsupport::ProcessResult chosen = RunTrash({other_trash + "/files"});
  EXPECT_EQ(chosen.exit_status, 2);
  EXPECT_NE(chosen.err.find("is part of the trash '" + other_trash + "', where nothing is deleted"),
            std::string::npos) << chosen.err;
  EXPECT_TRUE(testsupport::Exists(other_trash + "/files/old.obj"));
  EXPECT_EQ(Entries(home_trash_).size(), held);
  testsupport::RemoveTree(other_trash);
  // Nor another home trash (another user's, or this one's under another
  // XDG_DATA_HOME), which a run from above passes by, trashing or not.
  const std::string other_home_trash = root_ + "/alice/.local/share/Trash";
  MakeFile(other_home_trash + "/files/old.obj");
  MakeFile(other_home_trash + "/info/old.obj.trashinfo", "[Trash Info]\nPath=/x/old.obj\n");
  for (const bool trashing : {true, false}) {
    const testsupport::ProcessResult above =
        trashing ? RunTrash({}, root_ + "/alice") : RunTool({BUILDSWEEP_BINARY, "-y", root_ + "/alice"});
    EXPECT_EQ(above.out.find(other_home_trash), std::string::npos) << above.out;
    EXPECT_TRUE(testsupport::Exists(other_home_trash + "/files/old.obj"));
  }
  // Nor is a run started in it, or given it.
  const testsupport::ProcessResult in_home = RunTrash({}, other_home_trash + "/files");
  EXPECT_EQ(in_home.err, "Error: the current folder is part of the trash '" + other_home_trash +
                             "', where nothing is deleted\n");
  const testsupport::ProcessResult given = RunTrash({other_home_trash});
  EXPECT_NE(given.err.find("is part of the trash '" + other_home_trash + "'"), std::string::npos)
      << given.err;
  EXPECT_TRUE(testsupport::Exists(other_home_trash + "/files/old.obj"));
  EXPECT_EQ(Entries(home_trash_).size(), held);
  testsupport::RemoveTree(root_ + "/alice");

  // No room for the information file (`ulimit -f 0`): the files stay (the
  // one restored among them). Under ThreadSanitizer that limit ends even a
  // plain run with SIGXFSZ before the program's own code runs.
#if !defined(__SANITIZE_THREAD__)
  MakeFile("kept.obj");
  const testsupport::ProcessResult full = RunTool(
      {"/bin/sh", "-c", "ulimit -f 0 && exec \"$0\" --trash -y", BUILDSWEEP_BINARY});
  EXPECT_EQ(full.exit_status, 2);
  std::string expected_err;
  for (const char* name : {"100%.log", "kept.obj"}) {
    expected_err += "Error: cannot trash '" + root_ + "/" + name + "': cannot write its trash "
                    "information into '" + home_trash_ + "/info': File too large\n";
  }
  EXPECT_EQ(full.err, expected_err);
  EXPECT_TRUE(testsupport::Exists("kept.obj"));
  EXPECT_TRUE(testsupport::Exists("100%.log"));
  EXPECT_EQ(Entries(home_trash_).size(), held);
#endif
}

TEST_F(TrashTest, AHomeTrashThatCannotBeMadeFailsTheDryRunAsTheRealRun) {
  struct Case {
    std::string name;
    std::string prepare;    // shell commands run in the home first
    std::string data_home;  // from the home
    std::string reason;
    bool as_nobody = false;
  };
  const Case cases[] = {
      {"missing below a folder the user may not write", "chmod 755 .", "data/more",
       "Permission denied", true},
      {"a file", "echo > file", "file", "Not a directory"},
      {"missing below a file", "echo > file", "file/data", "Not a directory"},
      {"a link to nothing", "ln -s gone link", "link", "No such file or directory"},
      // Foreseen past the first folder to make, and nothing made in vain.
      {"a name too long below a missing folder", "true", "data/" + std::string(300, 'L'),
       "File name too long"},
  };
  std::string why_not;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::SetMode(root_, 0777);
    if (c.as_nobody && !RunAsNobody(root_, &why_not)) continue;
    ASSERT_EQ(std::system(("cd '" + home_ + "' && rm -rf ./* && " + c.prepare).c_str()), 0);
    MakeFile("a.obj");
    env_ = {{"HOME", home_}, {"XDG_DATA_HOME", home_ + "/" + c.data_home}};
    const testsupport::ProcessResult dry = RunTrash({"-n"});
    const testsupport::ProcessResult run = RunTrash({});
    program_ = {BUILDSWEEP_BINARY};
    EXPECT_EQ(dry.err, run.err);
    EXPECT_EQ(dry.exit_status, run.exit_status);
    EXPECT_EQ(run.err, "Error: cannot trash '" + root_ + "/a.obj': cannot make the home trash '" +
                           home_ + "/" + c.data_home + "/Trash': " + c.reason + "\n");
    EXPECT_TRUE(testsupport::Exists("a.obj"));
    EXPECT_FALSE(testsupport::Exists(home_ + "/data"));
  }
  // The home trash may be a link, as file managers take it: its files go
  // where it leads. One that leads nowhere fails both runs alike.
  ASSERT_EQ(std::system(("cd '" + home_ + "' && rm -rf ./* && mkdir -p data elsewhere && " +
                         "ln -s ../elsewhere data/Trash").c_str()), 0);
  env_ = {{"HOME", home_}, {"XDG_DATA_HOME", home_ + "/data"}};
  const testsupport::ProcessResult linked = RunTrash({});
  EXPECT_EQ(linked.exit_status, 0) << linked.err;
  EXPECT_EQ(Entries(home_ + "/elsewhere"),
            (std::map<std::string, std::string>{{"a.obj", root_ + "/a.obj"}}));
  // A run started where it leads is in the trash, as one started in it.
  MakeFile(home_ + "/elsewhere/files/c.obj");
  const testsupport::ProcessResult inside = RunTrash({}, home_ + "/elsewhere/files");
  EXPECT_EQ(inside.exit_status, 2);
  EXPECT_EQ(inside.err, "Error: the current folder is part of the trash '" + home_ +
                            "/elsewhere', where nothing is deleted\n");
  EXPECT_TRUE(testsupport::Exists(home_ + "/elsewhere/files/c.obj"));
  ASSERT_EQ(std::system(("ln -sfn ../gone '" + home_ + "/data/Trash'").c_str()), 0);
  MakeFile("b.obj");
  const testsupport::ProcessResult dry = RunTrash({"-n"});
  const testsupport::ProcessResult run = RunTrash({});
  EXPECT_EQ(dry.err, run.err);
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.err, "Error: cannot trash '" + root_ + "/b.obj': cannot use the home trash: cannot use '" +
                         home_ + "/data/Trash': No such file or directory\n");
  EXPECT_TRUE(testsupport::Exists("b.obj"));
  // A file whose path is too long for any tool to put it back by stays,
  // and says so.
  env_ = {{"HOME", home_}, {"XDG_DATA_HOME", home_ + "/fresh"}};
  testsupport::RemoveTree(root_ + "/b.obj");
  testsupport::MakeChain(root_, 21, std::string(200, 'd'), "deep.obj");
  const testsupport::ProcessResult deep = RunTrash({});
  EXPECT_EQ(deep.exit_status, 2);
  EXPECT_NE(deep.err.find("/deep.obj': its path is too long for the trash to put it back\n"),
            std::string::npos) << deep.err;
  EXPECT_TRUE(testsupport::InspectChain(root_, std::string(200, 'd'), "deep.obj").leaf_present);
  // So does one whose entry in the trash would have such a path: a trash
  // deep enough for its folders, not for `info/s.obj.trashinfo`.
  std::string data_home = home_;
  while (data_home.size() < 4064) {
    data_home += "/" + std::string(std::min<std::size_t>(200, 4063 - data_home.size()), 'h');
  }
  std::filesystem::create_directories(data_home);
  env_ = {{"HOME", home_}, {"XDG_DATA_HOME", data_home}};
  MakeFile("s.obj");
  const testsupport::ProcessResult dry_entry = RunTrash({"-n"});
  const testsupport::ProcessResult entry = RunTrash({});
  EXPECT_EQ(dry_entry.err, entry.err);
  EXPECT_EQ(entry.exit_status, 2);
  EXPECT_NE(entry.err.find("/s.obj': its entry in the trash '" + data_home + "/Trash' would have "
                           "too long a path for the trash to put it back\n"),
            std::string::npos) << entry.err;
  EXPECT_TRUE(testsupport::Exists("s.obj"));
  // A home trash to be made inside the tree: the folders made for it (on
  // the way there too) are walked no more than the trash, so the report is
  // the dry run's.
  MakeFile(root_ + "/t/src/m.obj");
  env_ = {{"HOME", home_}, {"XDG_DATA_HOME", root_ + "/t/q/../data/more"}};
  const testsupport::ProcessResult dry_made = RunTrash({"-n"}, root_ + "/t");
  const testsupport::ProcessResult made = RunTrash({}, root_ + "/t");
  EXPECT_EQ(made.exit_status, 0) << made.err;
  const std::string foreseen =
      std::regex_replace(dry_made.out, std::regex("Would trash : "), "Trash : ");
  EXPECT_EQ(made.out, foreseen.substr(0, foreseen.find("Total Size")));
  EXPECT_TRUE(testsupport::Exists(root_ + "/t/data/more/Trash/files/m.obj"));
  if (!why_not.empty()) GTEST_SKIP() << "not run as another user: " << why_not;
}

// A second file system: a small tmpfs, mounted for the test (root only).
class MountTrashTest : public TrashTest {
 protected:
  void SetUp() override {
    mount_ = scratch_.path().string() + "/mnt";
    testsupport::MakeFolders(mount_);
    if (::geteuid() != 0 || Shell("mount -t tmpfs -o size=1m,mode=755 tmpfs '" + mount_ + "'")) {
      mount_.clear();
      GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    project_ = mount_ + "/p";
    user_ = std::to_string(::geteuid());
  }
  void TearDown() override {
    if (!mount_.empty()) Shell("umount -R '" + mount_ + "'");
  }

  static int Shell(const std::string& command) { return std::system(command.c_str()); }

  // x.obj and q/y.log in the project on the mount.
  void MakeProject() {
    MakeFile(project_ + "/x.obj", "x");
    MakeFile(project_ + "/q/y.log", "y");
  }

  std::string mount_;
  std::string project_;
  std::string user_;
};

TEST_F(MountTrashTest, EachFileSystemHasItsOwnTrashAndAFileWithoutOneStays) {
  struct Case {
    std::string name;
    std::string prepare;  // shell commands run in the mount first
    std::string trash;    // where the files go, from the mount's top; empty: kept
    std::string reason;   // then why
    bool as_nobody = false;
    std::string project = "p";  // from the mount's top
  };
  std::string why_not;
  const Case cases[] = {
      {"no shared trash", "", ".Trash-" + user_, ""},
      {"a shared trash", "mkdir -m 1777 .Trash", ".Trash/" + user_, ""},
      {"a shared trash without the sticky bit", "mkdir -m 777 .Trash", ".Trash-" + user_, ""},
      {"a shared trash that is a link", "mkdir -m 1777 elsewhere && ln -s elsewhere .Trash",
       ".Trash-" + user_, ""},
      {"a trash that is read-only",
       "mkdir -p .Trash-U/files .Trash-U/info && mount --bind .Trash-U .Trash-U && "
       "mount -o remount,ro,bind .Trash-U",
       "", "cannot write its trash information into '" + mount_ + "/.Trash-" + user_ +
               "/info': Read-only file system"},
      {"a trash that is a link", "mkdir elsewhere && ln -s elsewhere .Trash-U", "",
       "no trash can be had on its file system: cannot use '" + mount_ + "/.Trash-" + user_ +
           "': it is a symbolic link"},
      {"a trash of another user", "mkdir -m 700 .Trash-U && chown 12345 .Trash-U", "",
       "no trash can be had on its file system: cannot use '" + mount_ + "/.Trash-" + user_ +
           "': it belongs to another user"},
      // A user needs only to pass through what lies above the trash.
      {"a shared trash that can't be listed",
       "chmod 1777 . && mkdir -m 1733 .Trash && mkdir -m 700 .Trash/65534 && "
       "chown -R 65534 .Trash/65534 p",
       ".Trash/65534", "", true},
      {"a folder on the way to the top that can't be listed",
       "chmod 1777 . && chmod 711 d && chown -R 65534 d/p", ".Trash-65534", "", true, "d/p"},
      // Refused its trash, the real run says what the dry run said.
      {"a top the user may not make a trash in", "chown -R 65534 p", "",
       "no trash can be had on its file system: cannot make '" + mount_ +
           "/.Trash-65534': Permission denied",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Shell("umount -R '" + mount_ + "'/.Trash-* 2>/dev/null; rm -rf '" + mount_ + "'/.[!.]* '" +
          mount_ + "'/*; chmod 755 '" + mount_ + "'");
    project_ = mount_ + "/" + c.project;
    MakeProject();
    std::string prepare = c.prepare;
    prepare = std::regex_replace(prepare, std::regex("Trash-U"), "Trash-" + user_);
    ASSERT_EQ(Shell("cd '" + mount_ + "' && " + (prepare.empty() ? "true" : prepare)), 0);
    const std::set<std::string> made_before = testsupport::FilesBelow(mount_);
    if (c.as_nobody && !RunAsNobody(project_, &why_not)) continue;

    // The dry run foresees the real run, and makes nothing.
    const testsupport::ProcessResult dry = RunTrash({"-n", "--json", project_});
    EXPECT_EQ(testsupport::FilesBelow(mount_), made_before);
    EXPECT_FALSE(!c.trash.empty() && testsupport::Exists(mount_ + "/" + c.trash + "/info"))
        << "a dry run made the trash";
    const testsupport::ProcessResult run = RunTrash({"--json", project_});
    program_ = {BUILDSWEEP_BINARY};
    EXPECT_EQ(dry.err, run.err);
    EXPECT_EQ(dry.exit_status, run.exit_status);
    std::string foreseen = std::regex_replace(dry.out, std::regex("would_trash"), "trash");
    foreseen = std::regex_replace(foreseen, std::regex(",\"size\":\\d+"), "");
    foreseen = std::regex_replace(foreseen, std::regex("\"dry_run\":true"), "\"dry_run\":false");
    std::string done = std::regex_replace(run.out, std::regex(",\"trashed_as\":\"[^\"]*\""), "");
    EXPECT_EQ(std::regex_replace(foreseen, std::regex(",\"freed\":\\d+"), ""), done);

    if (c.trash.empty()) {
      EXPECT_EQ(run.exit_status, 2);
      EXPECT_EQ(run.err, "Error: cannot trash '" + project_ + "/q/y.log': " + c.reason + "\n" +
                         "Error: cannot trash '" + project_ + "/x.obj': " + c.reason + "\n");
      EXPECT_TRUE(testsupport::Exists(project_ + "/x.obj"));
      EXPECT_TRUE(testsupport::Exists(project_ + "/q/y.log"));
      continue;
    }
    const std::string trash = mount_ + "/" + c.trash;
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find("{\"type\":\"trash\",\"path\":\"" + project_ + "/x.obj\",\"trash\":\"" +
                           trash + "\",\"trashed_as\":\"" + trash + "/files/x.obj\"}\n"),
              std::string::npos) << run.out;
    EXPECT_NE(run.out.find(",\"trashed\":2}\n"), std::string::npos);
    // Paths relative to the mount's top, as the trash may move with it.
    const std::map<std::string, std::string> expected = {{"x.obj", c.project + "/x.obj"},
                                                         {"y.log", c.project + "/q/y.log"}};
    EXPECT_EQ(Entries(trash), expected);
    struct stat st;
    ASSERT_EQ(::lstat(trash.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_FALSE(testsupport::Exists(mount_ + "/elsewhere/" + user_));
    // The mount's trash is no more walked into than the home trash.
    for (const bool trash_again : {true, false}) {
      testsupport::ProcessOptions options;
      options.argv = {BUILDSWEEP_BINARY, "-y", mount_};
      if (trash_again) options.argv.push_back("--trash");
      options.cwd = root_;
      options.env = env_;
      EXPECT_EQ(testsupport::RunProcess(options).exit_status, 0);
      EXPECT_EQ(Entries(trash), expected);
    }
  }
  // A file that may not leave its folder: its own fault, not the trash's,
  // in the real run as in the dry run.
  Shell("rm -rf '" + mount_ + "'/.[!.]* '" + mount_ + "'/*; chmod 1777 '" + mount_ + "'");
  project_ = mount_ + "/p";
  MakeProject();
  MakeFile(project_ + "/st/z.obj", "z");  // root's, in a sticky folder of root's
  Shell("chown -R 65534 '" + project_ + "' && chmod 555 '" + project_ + "/q' && chown -R 0 '" +
        project_ + "/st' && chmod 1777 '" + project_ + "/st'");
  if (RunAsNobody(project_, &why_not)) {
    const testsupport::ProcessResult dry = RunTrash({"-n", project_});
    const testsupport::ProcessResult run = RunTrash({project_});
    program_ = {BUILDSWEEP_BINARY};
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(dry.err, run.err);
    EXPECT_EQ(run.err, "Error: cannot trash '" + project_ + "/q/y.log': Permission denied\n" +
                           "Error: cannot trash '" + project_ + "/st/z.obj': Operation not permitted\n");
  }
  Shell("chmod 755 '" + project_ + "/q'");
  // Short of descriptors, the walk holds every one the process can spare
  // (deep levels, folders whose subfolders wait): an information file
  // borrows one of those kept for trashes found later, and every file goes.
  Shell("rm -rf '" + mount_ + "'/.[!.]* '" + mount_ + "'/*");
  for (std::string level = mount_ + "/deep"; level.size() < mount_.size() + 85; level += "/d") {
    MakeFile(level + "/x.obj", "x");
    MakeFile(level + "/side/s.obj", "s");
  }
  program_ = {"/bin/sh", "-c", "ulimit -n 24 && exec \"$0\" \"$@\"", BUILDSWEEP_BINARY};
  const testsupport::ProcessResult scarce = RunTrash({"-j", "8", mount_ + "/deep"});
  program_ = {BUILDSWEEP_BINARY};
  EXPECT_EQ(scarce.exit_status, 0) << scarce.err;
  EXPECT_EQ(Entries(mount_ + "/.Trash-" + user_).size(), 80u);
  // A full file system has no room for the information file.
  project_ = mount_ + "/p";
  Shell("rm -rf '" + mount_ + "'/.[!.]*; dd if=/dev/zero of='" + mount_ +
        "/fill' bs=4k 2>/dev/null");
  MakeProject();
  const testsupport::ProcessResult full = RunTrash({project_});
  EXPECT_EQ(full.exit_status, 2);
  EXPECT_NE(full.err.find("'" + project_ + "/x.obj': cannot write its trash information into '" +
                          mount_ + "/.Trash-" + user_ + "/info': No space left on device\n"),
            std::string::npos) << full.err;
  EXPECT_TRUE(testsupport::Exists(project_ + "/x.obj"));
  EXPECT_TRUE(testsupport::ListFolder(mount_ + "/.Trash-" + user_ + "/info").empty());
  // The file system shown twice in the tree, part of it through a bind
  // mount met first: each mount trashes into its own top's trash (a rename
  // can't cross from one to the other), and a folder reached both ways
  // loses its files once, said once, with any number of threads.
  Shell("rm -rf '" + mount_ + "'/.[!.]* '" + mount_ + "'/*");
  MakeFile(mount_ + "/p/top.obj", "t");
  MakeFile(mount_ + "/p/src/g.obj", "g");
  MakeFile(mount_ + "/p/src/h.log", "h");
  const std::string tree = scratch_.path().string() + "/twice";
  testsupport::MakeFolders(tree + "/a-bind");
  testsupport::MakeFolders(tree + "/m");
  for (const char* jobs : {"1", "8"}) {
    SCOPED_TRACE(std::string("-j ") + jobs);
    BindMount whole(mount_, tree + "/m");
    BindMount part(mount_ + "/p/src", tree + "/a-bind");
    ASSERT_EQ(whole.error() + part.error(), "");
    const testsupport::ProcessResult twice = RunTrash({"-j", jobs, tree});
    EXPECT_EQ(twice.exit_status, 0);
    EXPECT_EQ(twice.err, "");
    std::map<std::string, std::string> top = Entries(mount_ + "/.Trash-" + user_);
    const std::map<std::string, std::string> src = Entries(mount_ + "/p/src/.Trash-" + user_);
    EXPECT_EQ(top.size() + src.size(), 3u);
    // One thread meets the part through the bind first, and takes it all.
    if (std::string(jobs) == "1") {
      EXPECT_EQ(src, (std::map<std::string, std::string>{{"g.obj", "g.obj"}, {"h.log", "h.log"}}));
    }
    top.insert(src.begin(), src.end());
    EXPECT_EQ(top.count("top.obj"), 1u);
    Shell("rm -rf '" + mount_ + "'/.Trash-* '" + mount_ + "'/p/src/.Trash-*");
    MakeFile(mount_ + "/p/top.obj", "t");
    MakeFile(mount_ + "/p/src/g.obj", "g");
    MakeFile(mount_ + "/p/src/h.log", "h");
  }
  // A bind mount within its own file system, and one of the home trash's:
  // the same devices, other mounts. Each trashes into its own top's trash,
  // as the dry run foresees: never past it, nor to the home trash.
  testsupport::MakeFolders(mount_ + "/p/nest");
  const std::string beside_home = scratch_.path().string() + "/beside-home";
  testsupport::MakeFolders(beside_home);
  MakeFile(root_ + "/bound/k.obj", "k");
  {
    BindMount nested(mount_ + "/p/src", mount_ + "/p/nest");
    BindMount beside(root_ + "/bound", beside_home);
    ASSERT_EQ(nested.error() + beside.error(), "");
    // Beside the home again with its data folder still to be made: the
    // dry run knows the mount it will be made on, not only the device.
    for (int pass = 0; pass < 3; ++pass) {
      const std::string where = pass == 0 ? mount_ + "/p/nest" : beside_home;
      SCOPED_TRACE(where);
      MakeFile(root_ + "/bound/k.obj", "k");
      if (pass == 2) env_ = {{"HOME", home_}, {"XDG_DATA_HOME", home_ + "/fresh"}};
      const testsupport::ProcessResult dry = RunTrash({"-n", where});
      const testsupport::ProcessResult run = RunTrash({where});
      EXPECT_EQ(run.exit_status, 0) << run.err;
      EXPECT_EQ(dry.err, run.err);
      const std::string foreseen = std::regex_replace(dry.out, std::regex("Would trash : "), "Trash : ");
      EXPECT_EQ(run.out, foreseen.substr(0, foreseen.find("Total Size")));
    }
    EXPECT_EQ(Entries(mount_ + "/p/nest/.Trash-" + user_),
              (std::map<std::string, std::string>{{"g.obj", "g.obj"}, {"h.log", "h.log"}}));
    EXPECT_EQ(Entries(beside_home + "/.Trash-" + user_),
              (std::map<std::string, std::string>{{"k.obj", "k.obj"}, {"k.obj.2", "k.obj"}}));
  }
  if (!why_not.empty()) GTEST_SKIP() << "not run as another user: " << why_not;
}

}  // namespace
