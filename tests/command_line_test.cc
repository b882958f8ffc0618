// The command line: how arguments are read, and what the built program does
// with each option and each wrong command line.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "driver/options.h"
#include "engine/dry_run.h"
#include "tests/support/child_process.h"
#include "tests/support/expected_run.h"
#include "tests/support/scratch_tree.h"

namespace {

using testsupport::Exists;
using testsupport::FolderBlock;
using testsupport::MakeFile;
using testsupport::RootBlock;
using testsupport::RootLine;

TEST(ParseCommandLineTest, ReadsOptionsTheWayUnixToolsDo) {
  struct Case {
    std::vector<std::string> arguments;
    // What the options came to, as flags "hVny" and the lists.
    std::string flags;
    std::vector<std::string> folders;
    std::vector<std::string> exclusions;
    unsigned jobs = 0;
    bool include_tracked = false;
    long long older_than_seconds = -1;
  };
  const Case cases[] = {
      {{}, "", {}, {}},
      {{"-j", "3", "-nj12"}, "n", {}, {}, 12},
      {{"--jobs=1024"}, "", {}, {}, 1024},
      {{"--jobs", "07"}, "", {}, {}, 7},
      {{"-ny"}, "ny", {}, {}},
      {{"--dry-run", "--yes", "--help", "--version"}, "hVny", {}, {}},
      {{"--dry", "--y", "--h"}, "hny", {}, {}},  // unambiguous prefixes
      {{"-nyx", "*.o", "-x*.log", "--exclude=a", "--exclude", "-n"}, "ny", {}, {"*.o", "*.log", "a", "-n"}},
      {{"p", "-n", "q"}, "n", {"p", "q"}, {}},  // options after folders
      {{"--", "-n", "--help", "--"}, "", {"-n", "--help", "--"}, {}},
      {{"-", "/?"}, "", {"-", "/?"}, {}},  // "/?" asks for help on Windows only
      {{"--include-tracked", "-n"}, "n", {}, {}, 0, true},
      {{"--inc"}, "", {}, {}, 0, true},
      // Ages: every unit, none at all, the largest, and the flags beside.
      {{"--older-than", "45s"}, "", {}, {}, 0, false, 45},
      {{"--older-than=90m", "--json"}, "J", {}, {}, 0, false, 5400},
      {{"--older=36h", "--ask", "-n"}, "nA", {}, {}, 0, false, 129600},
      {{"--older-than", "7d"}, "", {}, {}, 0, false, 604800},
      {{"--older-than=2w"}, "", {}, {}, 0, false, 1209600},
      {{"--older-than=0s"}, "", {}, {}, 0, false, 0},
      {{"--older-than=009000000000s"}, "", {}, {}, 0, false, 9000000000},
      {{"--older-than=14880w"}, "", {}, {}, 0, false, 8999424000},
      {{"--trash", "-n"}, "nT", {}, {}},
      {{"--tr", "--json"}, "JT", {}, {}},
  };
  for (const Case& c : cases) {
    std::string trace;
    for (const std::string& argument : c.arguments) trace += "[" + argument + "] ";
    SCOPED_TRACE(trace);
    const driver::ParsedCommandLine parsed = driver::ParseCommandLine(c.arguments);
    EXPECT_EQ(parsed.error, "");
    const driver::Options& o = parsed.options;
    std::string flags;
    if (o.show_help) flags += 'h';
    if (o.show_version) flags += 'V';
    if (o.dry_run) flags += 'n';
    if (o.no_prompts) flags += 'y';
    if (o.json) flags += 'J';
    if (o.ask) flags += 'A';
    if (o.trash) flags += 'T';
    EXPECT_EQ(flags, c.flags);
    EXPECT_EQ(o.older_than_seconds, c.older_than_seconds);
    EXPECT_EQ(o.folders, c.folders);
    EXPECT_EQ(o.exclusions, c.exclusions);
    EXPECT_EQ(o.jobs, c.jobs);
    EXPECT_EQ(o.include_tracked, c.include_tracked);
  }
}

TEST(ReadableSizeTest, OneDecimalInTheLargestUnitThatFits) {
  const std::pair<std::uint64_t, std::string> cases[] = {
      {0, ""},
      {1023, ""},
      {1024, "1.0 KiB"},
      {1234567, "1.2 MiB"},
      {1048575, "1.0 MiB"},  // 1023.999 KiB would read "1024.0 KiB"
      {std::uint64_t{5} << 40, "5.0 TiB"},
      {~std::uint64_t{0}, "16.0 EiB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(engine::ReadableSize(bytes), text) << bytes;
}

// The built program, started in "proj" inside a scratch folder.
class CommandLineTest : public ::testing::Test {
 protected:
  CommandLineTest() : root_(scratch_.path().string() + "/proj") {
    testsupport::MakeFolders(root_);
    testsupport::EnterFolder(root_);
  }

  testsupport::ProcessResult Run(std::vector<std::string> arguments, const std::string& input = "",
                                 const std::string& cwd = "") {
    testsupport::ProcessOptions options;
    options.argv = {BUILDSWEEP_BINARY};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.input = input;
    options.cwd = cwd.empty() ? root_ : cwd;
    options.timeout_seconds = 30;
    testsupport::ProcessResult result = testsupport::RunProcess(options);
    EXPECT_FALSE(result.timed_out) << "the program waited for input";
    return result;
  }

  // The extension line alone: runs that ask nothing show no prompt.
  static std::string ExtensionLine() {
    const std::string header = testsupport::Header();
    return header.substr(0, header.find('\n') + 1);
  }

  testsupport::ScratchDir scratch_;
  const std::string root_;
};

TEST_F(CommandLineTest, HelpAndVersionReadAndDeleteNothing) {
  MakeFile("a.obj");
  const std::string version = std::string("buildsweep ") + BUILDSWEEP_VERSION + "\n";
  struct Case {
    std::vector<std::string> arguments;
    std::string out;
    int status;
  };
  const Case cases[] = {
      {{"--help"}, driver::HelpText(), 0},
      {{"-n", "missing", "-h"}, driver::HelpText(), 0},  // folders are not looked at
      {{"-V"}, version, 0},
      {{"--version", "."}, version, 0},
      {{"-h", "-x"}, "", 2},  // a wrong command line wins over help
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments[0]);
    const testsupport::ProcessResult run = Run(c.arguments, "\n\n");
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.exit_status, c.status);
  }
  EXPECT_EQ(driver::HelpText().rfind("Usage: buildsweep [OPTION]... [FOLDER]...\n", 0), 0u);
  // The help is the program's own text, so hold it to naming every option.
  for (const char* option : {"  -n, --dry-run ", "  -y, --yes ", "  -x, --exclude=GLOB ",
                             "  -j, --jobs=N ", "      --include-tracked\n",
                             "      --older-than=AGE ", "      --json ", "      --ask ", "  -h, --help ",
                             "  -V, --version "}) {
    EXPECT_NE(driver::HelpText().find(std::string("\n") + option), std::string::npos) << option;
  }
  EXPECT_TRUE(Exists("a.obj"));
}

TEST_F(CommandLineTest, WrongCommandLineIsUsageErrorBeforeAnythingIsShown) {
  MakeFile("a/x.obj");
  MakeFile("b/y.obj");
  MakeFile("file.txt");
  testsupport::MakeLink("a", "link-to-a");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"-nq"}, "unknown option '-q'"},
      {{"--=x"}, "ambiguous option '--'"},
      {{"-n", "-x"}, "option '-x' needs a value"},
      {{"a", "--excl"}, "option '--exclude' needs a value"},
      {{"--yes=no"}, "option '--yes' takes no value"},
      {{"-j0"}, "the number of threads must be from 1 to 1024, not '0'"},
      {{"--jobs=1025"}, "the number of threads must be from 1 to 1024, not '1025'"},
      {{"-j", "2x"}, "the number of threads must be from 1 to 1024, not '2x'"},
      {{"-j", "99999999999999999999"},
       "the number of threads must be from 1 to 1024, not '99999999999999999999'"},
      {{"-n", "-j"}, "option '-j' needs a value"},
      {{"--older-than", "7"}, "age '7' must be a whole number followed by s, m, h, d or w (as in 90m or 7d)"},
      {{"--older-than=7x"}, "age '7x' must be a whole number followed by s, m, h, d or w (as in 90m or 7d)"},
      {{"--older-than=d"}, "age 'd' must be a whole number followed by s, m, h, d or w (as in 90m or 7d)"},
      {{"--older-than="}, "age '' must be a whole number followed by s, m, h, d or w (as in 90m or 7d)"},
      {{"--older-than=-1d"}, "age '-1d' must be a whole number followed by s, m, h, d or w (as in 90m or 7d)"},
      {{"--older-than=1.5h"}, "age '1.5h' must be a whole number followed by s, m, h, d or w (as in 90m or 7d)"},
      {{"--older-than=9999999999x9s"}, "age '9999999999x9s' must be a whole number followed by s, m, h, d or w (as in 90m or 7d)"},
      {{"--older-than=7D"}, "age '7D' must be a whole number followed by s, m, h, d or w (as in 90m or 7d)"},
      {{"--older-than=9000000001s"}, "age '9000000001s' is too large"},
      {{"--older-than=14881w"}, "age '14881w' is too large"},
      {{"--older-than=99999999999999999999999d"}, "age '99999999999999999999999d' is too large"},
      {{"-n", "--older-than"}, "option '--older-than' needs a value"},
      {{"--json=yes"}, "option '--json' takes no value"},
      {{"--trash=yes"}, "option '--trash' takes no value"},
      {{"--ask", "-y"}, "options '--ask' and '--yes' contradict each other"},
      {{"--exclude="}, "exclusion '' is empty; it would match no name"},
      {{"-x", ""}, "exclusion '' is empty; it would match no name"},
      {{"-x", "a/x.obj"},
       "exclusion 'a/x.obj' holds a path separator; it is matched against names alone"},
      {{"b", "missing"}, "cannot clean 'missing': No such file or directory"},
      {{"file.txt"}, "cannot clean 'file.txt': Not a directory"},
      {{"ctl\x1b[31m\n"}, "cannot clean 'ctl\\x1b[31m\\n': No such file or directory"},
      {{"a", "b", "a/"}, "'a' and 'a/' are the same folder"},
      {{"link-to-a", "b", "a"}, "'link-to-a' and 'a' are the same folder"},
      {{".", "b"}, "'b' is inside '.'"},
      {{"link-to-a/..", "a"}, "'a' is inside 'link-to-a/..'"},  // ".." taken after the link
  };
  for (const auto& [arguments, problem] : cases) {
    SCOPED_TRACE(arguments.back());
    const testsupport::ProcessResult run = Run(arguments, "\n\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "buildsweep: " + problem + "\nTry 'buildsweep --help'.\n");
    EXPECT_EQ(run.exit_status, 2);
  }
  EXPECT_TRUE(Exists("a/x.obj"));
  EXPECT_TRUE(Exists("b/y.obj"));
}

TEST_F(CommandLineTest, ChosenFoldersAreCleanedAsRunsStartedInThem) {
  MakeFile("a/sub/x.obj");
  MakeFile("a/z.tmp");
  MakeFile("b/y.obj");
  MakeFile("top.obj");
  testsupport::MakeLink(root_ + "/b", scratch_.path().string() + "/to-b");
  const std::string expected =
      testsupport::Header() + RootLine(root_ + "/a") + FolderBlock(root_ + "/a/sub", {"x.obj"}) +
      RootBlock(root_ + "/a", {"z.tmp"}) + RootLine(root_ + "/b") + RootBlock(root_ + "/b", {"y.obj"}) +
      testsupport::Footer(3);
  // A link given on the command line is resolved like cd -P.
  const testsupport::ProcessResult run = Run({"a", "../to-b"}, "\n\n");
  EXPECT_EQ(run.out, expected);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_TRUE(Exists("top.obj"));
  EXPECT_FALSE(Exists("b/y.obj"));
}

TEST_F(CommandLineTest, YesAsksNothingAndExclusionsAreLeftAlone) {
  for (const char* name :
       {"keep/x.obj", "keep.obj", "a.obj", "sub/c.log", "sub/e.obj", "\xff\xfe/f.obj"}) {
    MakeFile(name);
  }
  // Names match exactly on POSIX: "*.LOG" leaves c.log to the rule.
  const testsupport::ProcessResult run =
      Run({"-y", "-x", "keep*", "--exclude", "*.LOG", "-x[e]*"}, /*input=*/"");
  EXPECT_EQ(run.out, ExtensionLine() + RootLine(root_) + FolderBlock(root_ + "/sub", {"c.log"}) +
                         FolderBlock(root_ + "/\xff\xfe", {"f.obj"}) + RootBlock(root_, {"a.obj"}) +
                         "Total Remove File : 3\n");
  EXPECT_EQ(run.exit_status, 0);  // input was at its end, so nothing was read
  for (const char* name : {"keep/x.obj", "keep.obj", "sub/e.obj"}) EXPECT_TRUE(Exists(name)) << name;
  // A folder name that is not valid text is still a folder to clean.
  MakeFile("\xff\xfe/g.obj");
  EXPECT_EQ(Run({"-y", "\xff\xfe"}).out, ExtensionLine() + RootLine(root_ + "/\xff\xfe") +
                                            RootBlock(root_ + "/\xff\xfe", {"g.obj"}) +
                                            "Total Remove File : 1\n");
}

// A version-control database is never cleaned from the inside: given as a
// folder, it is a usage error; as the current folder, one line and status
// 2. Either way nothing is shown, read or deleted.
TEST_F(CommandLineTest, RunsStartedInVersionControlDatabasesDeleteNothing) {
  // Branches and logs named like by-products, as git, Mercurial, Subversion
  // and Bazaar keep them, in a work tree's database and a bare repository.
  const std::vector<std::string> kept = {
      "r/.git/refs/heads/tmp", "r/.git/logs/HEAD.log", "r/.git/objects/x.obj",
      "srv/bare/refs/heads/bak", "srv/bare/objects/pack/p.tmp", "h/.hg/store/data/a.log",
      "s/.svn/tmp/x.tmp", "z/.bzr/y.bak"};
  for (const std::string& name : kept) MakeFile(name);
  MakeFile("r/.git/HEAD", "ref: refs/heads/main\n");
  MakeFile("srv/bare/HEAD", "0123456789abcdef0123456789abcdef01234567\n");
  const std::string git = "the git database '" + root_ + "/r/.git'";
  const std::string bare = "the git repository '" + root_ + "/srv/bare'";
  const std::pair<std::vector<std::string>, std::string> given[] = {
      {{"-n", "r/.git"}, "'r/.git' is part of " + git},
      {{"r/.git/refs/heads"}, "'r/.git/refs/heads' is part of " + git},
      {{"-y", "srv/bare"}, "'srv/bare' is part of " + bare},
      {{"srv/bare/objects/pack"}, "'srv/bare/objects/pack' is part of " + bare},
      {{"h/.hg/store"}, "'h/.hg/store' is part of the Mercurial database '" + root_ + "/h/.hg'"},
      {{"s", "s/.svn"}, "'s/.svn' is part of the Subversion database '" + root_ + "/s/.svn'"},
  };
  for (const auto& [arguments, problem] : given) {
    SCOPED_TRACE(arguments.back());
    const testsupport::ProcessResult run = Run(arguments, "\n\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "buildsweep: " + problem + ", where nothing is deleted\n" +
                           "Try 'buildsweep --help'.\n");
    EXPECT_EQ(run.exit_status, 2);
  }
  const std::pair<std::string, std::string> started_in[] = {
      {"r/.git/refs", git},
      {"r/.git", git},
      {"srv/bare/refs/heads", bare},
      {"z/.bzr", "the Bazaar database '" + root_ + "/z/.bzr'"},
  };
  for (const auto& [folder, database] : started_in) {
    SCOPED_TRACE(folder);
    const std::string error =
        "Error: the current folder is part of " + database + ", where nothing is deleted";
    for (const char* option : {"-n", "-y", "--json"}) {
      const testsupport::ProcessResult run = Run({option}, "\n\n", root_ + "/" + folder);
      // A script's record says so too, between the run and its total.
      const std::string json = "\n{\"type\":\"error\",\"message\":\"" + error +
                               "\"}\n{\"type\":\"total\",\"deleted\":0,\"kept_tracked\":0}\n";
      if (std::string(option) == "--json") {
        EXPECT_EQ(run.out.substr(run.out.find('\n')), json);
      } else {
        EXPECT_EQ(run.out, "");
      }
      EXPECT_EQ(run.err, error + "\n");
      EXPECT_EQ(run.exit_status, 2);
    }
  }
  for (const std::string& name : kept) EXPECT_TRUE(Exists(name)) << name;
  // A work tree is no database, nor is a folder with only some of what a
  // repository holds.
  MakeFile("notrepo/HEAD", "ref: refs/heads/main\n");
  MakeFile("notrepo/objects/a.obj");
  MakeFile("r/b.obj");
  const testsupport::ProcessResult run = Run({"-y", "notrepo", "r"});
  EXPECT_EQ(run.out, ExtensionLine() + RootLine(root_ + "/notrepo") +
                         FolderBlock(root_ + "/notrepo/objects", {"a.obj"}) +
                         RootBlock(root_ + "/notrepo", {}) + RootLine(root_ + "/r") +
                         RootBlock(root_ + "/r", {"b.obj"}) + "Total Remove File : 2\n");
  EXPECT_EQ(run.exit_status, 0);
}

}  // namespace
