// What git tracks, read from repositories that real git made: every index
// version, split and sparse indexes, worktrees, submodules, case-blind
// repositories, damaged indexes and bare clones, each checked against what
// `git ls-files` says. Skipped where git is not installed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "driver/vcs_databases.h"
#include "engine/git_index.h"
#include "engine/git_work_tree.h"
#include "platform/file_system.h"
#include "tests/support/child_process.h"
#include "tests/support/git_index_writer.h"
#include "tests/support/scratch_tree.h"

namespace {

using testsupport::EnterFolder;
using testsupport::MakeFile;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class GitIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::ProcessOptions probe;
    probe.argv = {"git", "--version"};
    probe.cwd = root_;
    if (testsupport::RunProcess(probe).exit_status != 0) GTEST_SKIP() << "git is not installed";
  }

  // Runs git in `folder` (relative to the scratch folder) with a config of
  // its own: no user's or system's settings, a fixed identity, and local
  // submodules allowed.
  std::string Git(const std::string& folder, std::vector<std::string> arguments) {
    const testsupport::ProcessResult run = RawGit(folder, arguments);
    EXPECT_EQ(run.exit_status, 0) << "git " << arguments[0] << ": " << run.err;
    return run.out;
  }
  // The same, with `env` set too, whatever its outcome.
  testsupport::ProcessResult RawGit(const std::string& folder,
                                    const std::vector<std::string>& arguments,
                                    const std::vector<std::pair<std::string, std::string>>& env = {}) {
    testsupport::ProcessOptions options;
    options.argv = {"git", "-c", "safe.directory=*", "-c", "init.defaultBranch=main",
                    "-c", "protocol.file.allow=always", "-c", "advice.detachedHead=false"};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.cwd = Path(folder);
    options.env = {{"HOME", root_}, {"GIT_CONFIG_NOSYSTEM", "1"}, {"GIT_AUTHOR_NAME", "t"},
                   {"GIT_AUTHOR_EMAIL", "t@t"}, {"GIT_COMMITTER_NAME", "t"},
                   {"GIT_COMMITTER_EMAIL", "t@t"}};
    options.env.insert(options.env.end(), env.begin(), env.end());
    return testsupport::RunProcess(options);
  }

  // A fresh repository `name` holding `files`, all committed.
  void MakeRepository(const std::string& name, const std::vector<std::string>& files) {
    testsupport::MakeFolders(Path(name));
    Git(name, {"init", "-q"});
    // Relative to the repository, so that a path of 4095 bytes fits.
    EnterFolder(Path(name));
    for (const std::string& file : files) MakeFile(file, file);
    EnterFolder(root_);
    Git(name, {"add", "-A"});
    Git(name, {"commit", "-q", "-m", "start"});
  }

  // What `git ls-files` lists in `folder`, sparse folders as folders.
  std::vector<std::string> LsFiles(const std::string& folder) {
    std::vector<std::string> paths;
    std::istringstream listed(Git(folder, {"ls-files", "-z", "--sparse"}));
    for (std::string path; std::getline(listed, path, '\0');) paths.push_back(path);
    return paths;
  }

  // What the reader makes of the index of the work tree `folder`.
  std::shared_ptr<const engine::TrackedFiles> Load(const std::string& folder) {
    platform::Dir dir;
    platform::FolderInfo info;
    std::string error;
    EnterFolder(Path(folder));
    EXPECT_TRUE(fs_.OpenCurrentDirectory(&dir, &info, &error)) << error;
    EnterFolder(root_);
    return engine::LoadTrackedFiles(fs_, dir);
  }

  // Reads the index of `folder` as ParseGitIndex does and compares it with
  // `git ls-files`: every path and nothing else.
  void ExpectIndexListsWhatGitLists(const std::string& folder, std::uint32_t version) {
    const std::string git_dir = Path(folder + "/.git/");
    const std::string bytes = ReadFile(git_dir + "index");
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[7]), version);
    engine::GitIndexContent content;
    std::string error;
    std::string shared_bytes;
    const engine::SharedIndexReader shared = [&](std::string_view hex, std::string_view* out,
                                                 std::string*) {
      shared_bytes = ReadFile(git_dir + "sharedindex." + std::string(hex));
      *out = shared_bytes;
      return true;
    };
    ASSERT_TRUE(engine::ParseGitIndex(bytes, shared, &content, &error)) << error;
    std::vector<std::string> read;
    for (std::size_t i = 0; i < content.paths.size(); ++i) read.emplace_back(content.paths[i]);
    for (std::size_t i = 0; i < content.sparse_folders.size(); ++i) {
      read.emplace_back(content.sparse_folders[i]);
    }
    std::vector<std::string> listed = LsFiles(folder);
    std::sort(read.begin(), read.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(read, listed);
    const auto tracked = Load(folder);
    EXPECT_TRUE(tracked->readable()) << tracked->unreadable_reason();
    for (const std::string& path : listed) {
      EXPECT_TRUE(tracked->Tracks(path) || !tracked->SparseFolderOf(path).empty()) << path;
    }
  }

  std::string Path(const std::string& relative) const {
    return relative.empty() ? root_ : root_ + "/" + relative;
  }

  testsupport::ScratchDir scratch_;
  const std::string root_ = scratch_.path().string();
  platform::FileSystem& fs_ = platform::NativeFileSystem();
};

// Names that take every branch of the name field: spaces, UTF-8, shared
// prefixes for version 4, and a path of 4095 bytes, too long for the
// length in the flags.
std::vector<std::string> AwkwardNames() {
  std::string deep;
  for (int i = 0; i < 15; ++i) deep += std::string(255, static_cast<char>('a' + i)) + "/";
  return {"a.log", "a b/c d.obj", "\xed\x95\x9c/\xea\xb8\x80.tmp", "lib/x.map", "lib/xy.map",
          "lib/xyz/w.bak", deep + std::string(4095 - deep.size(), 'z')};
}

TEST_F(GitIndexTest, VersionsTwoThreeAndFourListWhatGitListsAndNothingElse) {
  MakeRepository("r", AwkwardNames());
  MakeFile(Path("r/untracked.log"));
  MakeFile(Path("r/lib/new.map"));
  WriteFile(Path("r/a.log"), "edited since the commit");  // modified, still tracked
  ExpectIndexListsWhatGitLists("r", 2);
  // An intent-to-add entry needs extended flags, which need version 3; so
  // does a skip-worktree one.
  MakeFile(Path("r/intent.obj"));
  Git("r", {"add", "-N", "intent.obj"});
  Git("r", {"update-index", "--skip-worktree", "lib/x.map"});
  ExpectIndexListsWhatGitLists("r", 3);
  Git("r", {"update-index", "--index-version", "4"});
  ExpectIndexListsWhatGitLists("r", 4);
  const auto tracked = Load("r");
  for (const char* untracked : {"untracked.log", "lib/new.map", "lib", "lib/x", "A.LOG", "a.log/"}) {
    EXPECT_FALSE(tracked->Tracks(untracked)) << untracked;
  }
  EXPECT_EQ(tracked->size(), AwkwardNames().size() + 1);
}

TEST_F(GitIndexTest, SplitIndexAppliesItsChangesToTheSharedIndex) {
  std::vector<std::string> files;
  for (int i = 0; i < 60; ++i) files.push_back("f" + std::to_string(i) + ".obj");
  MakeRepository("r", files);
  Git("r", {"update-index", "--split-index"});
  // Few changes, so that git keeps them in the split index: deletions,
  // replacements (a changed entry) and additions.
  Git("r", {"rm", "-q", "--cached", "f3.obj", "f40.obj"});
  WriteFile(Path("r/f7.obj"), "changed");
  MakeFile(Path("r/new.log"));
  Git("r", {"add", "f7.obj", "new.log"});
  ASSERT_NE(ReadFile(Path("r/.git/index")).find("link"), std::string::npos);
  ExpectIndexListsWhatGitLists("r", 2);
  auto tracked = Load("r");
  EXPECT_FALSE(tracked->Tracks("f3.obj"));
  EXPECT_TRUE(tracked->Tracks("new.log"));
  EXPECT_EQ(tracked->size(), 59u);
  // Its shared index damaged, or gone: nothing can be told.
  std::string shared_name;
  for (const std::string& name : testsupport::ListFolder(Path("r/.git"))) {
    if (name.rfind("sharedindex.", 0) == 0) shared_name = name;
  }
  ASSERT_FALSE(shared_name.empty());
  std::string shared = ReadFile(Path("r/.git/" + shared_name));
  shared[40] ^= 1;
  WriteFile(Path("r/.git/" + shared_name), shared);
  tracked = Load("r");
  EXPECT_FALSE(tracked->readable());
  EXPECT_EQ(tracked->unreadable_reason(),
            "cannot use '.git/index': its shared index: its checksum does not match; it is damaged");
  EXPECT_TRUE(tracked->Tracks("untracked.obj"));
  testsupport::RemoveTree(Path("r/.git/" + shared_name));
  EXPECT_EQ(Load("r")->unreadable_reason(), "cannot use '.git/index': its shared index '.git/" +
                                                shared_name + "' is missing");
}

// A sparse index's folder entry stands for a tree whose files it does not
// list: below it, tracked or not can't be told from the index.
TEST_F(GitIndexTest, SparseIndexFolderEntriesLeaveWhatLiesBelowUnknown) {
  MakeRepository("r", {"in/a.log", "out/sub/b.obj", "out/c.tmp", "top.bak"});
  Git("r", {"sparse-checkout", "init", "--cone", "--sparse-index"});
  Git("r", {"sparse-checkout", "set", "in"});
  ExpectIndexListsWhatGitLists("r", 3);
  const auto tracked = Load("r");
  for (const std::string path : {"out/sub/b.obj", "out/anything/made/later.log"}) {
    EXPECT_FALSE(tracked->Tracks(path)) << path;
    EXPECT_EQ(tracked->SparseFolderOf(path), "out/") << path;
  }
  EXPECT_TRUE(tracked->Tracks("in/a.log"));
  for (const std::string path : {"in/new.log", "outside.log", "out"}) {
    EXPECT_FALSE(tracked->Tracks(path)) << path;
    EXPECT_EQ(tracked->SparseFolderOf(path), "") << path;
  }
}

TEST_F(GitIndexTest, WorktreesAndSubmodulesAreReadThroughTheirGitFiles) {
  MakeRepository("lib", {"lib.obj", "deep/x.log"});
  MakeRepository("app", {"main.obj"});
  Git("app", {"submodule", "add", "-q", "../lib", "lib"});
  Git("app", {"commit", "-q", "-m", "lib"});
  Git("app", {"worktree", "add", "-q", "../wt"});
  MakeFile(Path("wt/only-here.log"));
  Git("wt", {"add", "only-here.log"});
  // The outer index holds the submodule as one gitlink entry; the files
  // below are the submodule's own index's to judge.
  const auto app = Load("app");
  EXPECT_TRUE(app->Tracks("lib"));
  EXPECT_FALSE(app->Tracks("lib/lib.obj"));
  EXPECT_FALSE(app->Tracks("only-here.log"));
  const auto submodule = Load("app/lib");
  EXPECT_TRUE(submodule->readable()) << submodule->unreadable_reason();
  EXPECT_TRUE(submodule->Tracks("deep/x.log"));
  EXPECT_FALSE(submodule->Tracks("main.obj"));
  const auto worktree = Load("wt");
  EXPECT_TRUE(worktree->readable()) << worktree->unreadable_reason();
  EXPECT_TRUE(worktree->Tracks("only-here.log"));
  EXPECT_TRUE(worktree->Tracks("main.obj"));
  // From a folder deep inside, the nearest work tree above is found, and
  // the one around it.
  testsupport::MakeFolders(Path("app/lib/deep/er"));
  EnterFolder(Path("app/lib/deep/er"));
  platform::Dir start;
  platform::FolderInfo info;
  std::string error;
  ASSERT_TRUE(fs_.OpenCurrentDirectory(&start, &info, &error)) << error;
  const engine::GitSurroundings around =
      engine::DiscoverGitAround(fs_, start, Path("app/lib/deep/er"), {});
  ASSERT_GE(around.work_trees.size(), 2u);
  const engine::EnclosingWorkTree& found = around.work_trees[0];
  EXPECT_EQ(found.relative_path, "deep/er");
  EXPECT_EQ(found.top_path, Path("app/lib"));
  EXPECT_TRUE(found.tracked->Tracks("deep/x.log"));
  EXPECT_EQ(around.work_trees[1].top_path, Path("app"));
  EXPECT_EQ(around.work_trees[1].relative_path, "lib/deep/er");
  EXPECT_EQ(around.database_levels, -1);
  EnterFolder(root_);
}

TEST_F(GitIndexTest, IgnoreCaseMakesComparisonsCaseBlind) {
  MakeRepository("r", {"Src/Main.OBJ", "b.log"});
  EXPECT_FALSE(Load("r")->Tracks("src/main.obj"));
  Git("r", {"config", "core.ignorecase", "true"});
  const auto tracked = Load("r");
  EXPECT_TRUE(tracked->Tracks("src/main.obj"));
  EXPECT_TRUE(tracked->Tracks("B.LOG"));
  EXPECT_FALSE(tracked->Tracks("c.log"));
  // The main work tree's own settings count too, once they are turned on.
  MakeRepository("w", {"Src/Main.OBJ"});
  Git("w", {"config", "extensions.worktreeConfig", "true"});
  Git("w", {"config", "--worktree", "core.ignorecase", "true"});
  EXPECT_TRUE(Load("w")->Tracks("src/main.obj"));
  // Files the config includes count in their place. A condition is not
  // weighed: what it would set is taken only where it keeps more.
  MakeRepository("i", {"Src/Main.OBJ"});
  WriteFile(Path("i/.git/on.cfg"), "[core]\n\tignorecase = true\n");
  WriteFile(Path("i/.git/off.cfg"), "[core]\n\tignorecase = false\n");
  const auto include = [&](const std::string& section, const std::string& file) {
    std::ofstream(Path("i/.git/config"), std::ios::app) << section << "\n\tpath = " << file << "\n";
  };
  include("[include]", "on.cfg");
  include("[includeIf \"onbranch:elsewhere\"]", "off.cfg");
  EXPECT_TRUE(Load("i")->Tracks("src/main.obj"));
  include("[include]", "../.git/off.cfg");
  EXPECT_FALSE(Load("i")->Tracks("src/main.obj"));
  include("[include]", "missing.cfg");  // skipped, as git skips it
  include("[include]", "~nobody-known/x.cfg");  // can't be told: taken as case-blind
  EXPECT_TRUE(Load("i")->Tracks("src/main.obj"));
  include("[include]", "off.cfg");
  include("[includeIf \"gitdir:/elsewhere/\"]", Path("i/.git/on.cfg"));
  EXPECT_TRUE(Load("i")->Tracks("src/main.obj"));
  WriteFile(Path("i/.git/loop.cfg"), "[include]\n\tpath = loop.cfg\n");
  include("[include]", "loop.cfg");
  EXPECT_FALSE(Load("i")->readable());
  // Around the repository's own settings: the system's and the user's
  // before them, those given in the environment after them.
  platform::Dir here;
  platform::FolderInfo here_info;
  std::string open_error;
  ASSERT_TRUE(fs_.OpenCurrentDirectory(&here, &here_info, &open_error)) << open_error;
  struct Restore {
    ~Restore() { engine::SetGitUserConfig(fs, dir, {}); }
    platform::FileSystem& fs;
    platform::Dir& dir;
  } restore{fs_, here};
  WriteFile(Path("user.cfg"), "[core]\n\tignorecase = true\n");
  WriteFile(Path("broken.cfg"), "[core\n");
  MakeRepository("u", {"Src/Main.OBJ"});
  engine::GitUserConfig user;
  user.files = {Path("none.cfg"), Path("user.cfg")};
  engine::SetGitUserConfig(fs_, here, user);
  EXPECT_TRUE(Load("u")->Tracks("src/main.obj"));
  Git("u", {"config", "core.ignorecase", "false"});
  EXPECT_FALSE(Load("u")->Tracks("src/main.obj"));
  user.settings = {{"core.ignoreCase", "", false}};
  engine::SetGitUserConfig(fs_, here, user);
  EXPECT_TRUE(Load("u")->Tracks("src/main.obj"));
  user.settings.push_back({"CORE.IGNORECASE", "off"});
  engine::SetGitUserConfig(fs_, here, user);
  EXPECT_FALSE(Load("u")->Tracks("src/main.obj"));
  // `git -c include.path=…` includes as a file does; a relative one git
  // refuses there, so it can't be told.
  user.settings.push_back({"include.path", Path("user.cfg")});
  engine::SetGitUserConfig(fs_, here, user);
  EXPECT_TRUE(Load("u")->Tracks("src/main.obj"));
  WriteFile(Path("off-user.cfg"), "[core]\n\tignorecase = false\n");
  user.settings = {{"core.ignorecase", "0"}, {"include.path", "off-user.cfg"}};
  engine::SetGitUserConfig(fs_, here, user);
  EXPECT_TRUE(Load("u")->Tracks("src/main.obj"));
  // A condition is not weighed: a file turning it off is not taken.
  user.settings = {{"core.ignorecase", "1"}, {"includeIf.onbranch:x.path", Path("off-user.cfg")}};
  engine::SetGitUserConfig(fs_, here, user);
  EXPECT_TRUE(Load("u")->Tracks("src/main.obj"));
  user.settings.resize(1);
  user.unsure = true;  // a broken GIT_CONFIG_COUNT, say
  engine::SetGitUserConfig(fs_, here, user);
  EXPECT_TRUE(Load("u")->Tracks("src/main.obj"));
  // One git can't use: it fails, and tells nothing; kept either way.
  user.files = {Path("broken.cfg")};
  engine::SetGitUserConfig(fs_, here, user);
  EXPECT_TRUE(Load("u")->Tracks("src/main.obj"));
  // Settings are read as git reads them, and only these two.
  const std::pair<std::string, bool> ignore_case[] = {
      {"[core]\n\tignorecase = true\n", true},
      {"[Core] IgnoreCase\n", true},
      {"[core]\nignorecase = yes ; a comment\n[core]\nignoreCase=0\n", false},
      {"[core \"x\"]\nignorecase = true\n[core.y]\nignorecase = true\n", false},
      {"[core]\n  ignorecase = \"tr\\\nue\"  # quoted, continued\n", true},
      {"[include]\npath = elsewhere\n[core]\n\tbare = false\n", false},
      {"\xef\xbb\xbf[core]ignorecase\n", true},
      // Numbers as git reads them, units and all.
      {"[core]\nignorecase = -1\n", true},
      {"[core]\nignorecase = 0x0\n", false},
      {"[core]\nignorecase = 1k\n", true},
  };
  for (const auto& [text, expected] : ignore_case) {
    engine::GitConfig config;
    std::string error;
    EXPECT_TRUE(engine::ParseGitConfig(text, &config, &error)) << text << error;
    EXPECT_EQ(config.ignore_case, expected) << text;
  }
  engine::GitConfig config;
  std::string error;
  EXPECT_FALSE(engine::ParseGitConfig("[core]\nignorecase = maybe\n", &config, &error));
  EXPECT_EQ(error, "its setting core.ignorecase is no boolean");
  EXPECT_FALSE(engine::ParseGitConfig("[core\nignorecase\n", &config, &error));
  // What git refuses too: an octal 8, a blank before "]", an empty include.
  EXPECT_FALSE(engine::ParseGitConfig("[core]\nignorecase = 08\n", &config, &error));
  EXPECT_FALSE(engine::ParseGitConfig("[core ]\nignorecase\n", &config, &error));
  EXPECT_FALSE(engine::ParseGitConfig("[include]\npath\n", &config, &error));
}

TEST_F(GitIndexTest, IndexesThatCantBeReadKeepEverythingAndSayWhy) {
  MakeRepository("r", {"a.obj", "b/c.log"});
  const std::string index_path = Path("r/.git/index");
  const std::string good = ReadFile(index_path);
  struct Case {
    std::string bytes;
    std::string reason;
  };
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x20;
  std::string version5 = good;
  version5[7] = 5;
  const Case cases[] = {
      {flipped, "its checksum does not match; it is damaged"},
      {good.substr(0, good.size() - 1), "its checksum does not match; it is damaged"},
      {good.substr(0, 20), "it is too short to be an index"},
      {testsupport::WithChecksum(version5), "it is of version 5, which this program does not know"},
      {testsupport::WithChecksum(good.substr(0, good.size() - 20) +
                                 testsupport::IndexExtension("abcd", "") + std::string(20, '\0')),
       "it needs the extension 'abcd', which this program does not know"},
  };
  for (const Case& c : cases) {
    WriteFile(index_path, c.bytes);
    const auto tracked = Load("r");
    EXPECT_FALSE(tracked->readable());
    EXPECT_EQ(tracked->unreadable_reason(), "cannot use '.git/index': " + c.reason);
    EXPECT_TRUE(tracked->Tracks("anything.obj"));
  }
  // An optional extension it does not know is passed over.
  WriteFile(index_path, testsupport::WithChecksum(good.substr(0, good.size() - 20) +
                                                  testsupport::IndexExtension("ZZZZ", "x") +
                                                  std::string(20, '\0')));
  EXPECT_TRUE(Load("r")->Tracks("b/c.log"));
  // No index while HEAD names a commit: lost, and what was committed can't
  // be told, loose ref or packed. In a repository with no commit yet,
  // nothing is tracked. A fifo in the index's place is never waited on.
  testsupport::RemoveTree(index_path);
  EXPECT_EQ(Load("r")->unreadable_reason(), "'.git/index' is missing, yet HEAD may name a commit");
  Git("r", {"pack-refs", "--all"});
  ASSERT_FALSE(testsupport::Exists(Path("r/.git/refs/heads/main")));
  EXPECT_TRUE(Load("r")->Tracks("a.obj"));
  testsupport::MakeFolders(Path("fresh"));
  Git("fresh", {"init", "-q"});
  EXPECT_TRUE(Load("fresh")->readable());
  EXPECT_FALSE(Load("fresh")->Tracks("a.obj"));
  testsupport::ProcessOptions mkfifo;
  mkfifo.argv = {"mkfifo", index_path};
  mkfifo.cwd = root_;
  ASSERT_EQ(testsupport::RunProcess(mkfifo).exit_status, 0);
  EXPECT_EQ(Load("r")->unreadable_reason(), "cannot read '.git/index': it is not a regular file");
  // A `.git` file that names no git dir, and a repository of SHA-256 objects.
  MakeFile(Path("odd/.git"), "not a pointer\n");
  EXPECT_EQ(Load("odd")->unreadable_reason(), "'.git' is a file that does not name a git dir");
  testsupport::MakeFolders(Path("new"));
  Git("new", {"init", "-q", "--object-format=sha256"});
  EXPECT_EQ(Load("new")->unreadable_reason(),
            "its repository uses the object format 'sha256', whose index this program does not read");
}

TEST_F(GitIndexTest, BareClonesAreDatabasesWithNoWorkTree) {
  MakeRepository("r", {"a.obj"});
  Git("", {"clone", "-q", "--bare", "r", "bare.git"});
  const std::vector<std::pair<const char*, int>> levels = {
      {"bare.git", 0}, {"bare.git/refs/heads", 2}, {"r/.git/refs", 1}};
  for (const auto& [inside, database_levels] : levels) {
    SCOPED_TRACE(inside);
    EnterFolder(Path(inside));
    platform::Dir dir;
    platform::FolderInfo info;
    std::string error;
    ASSERT_TRUE(fs_.OpenCurrentDirectory(&dir, &info, &error)) << error;
    const std::string database = driver::DatabaseAround(fs_, dir, Path(inside));
    EXPECT_EQ(database, inside[0] == 'b' ? "the git repository '" + Path("bare.git") + "'"
                                         : "the git database '" + Path("r/.git") + "'");
    // Without the path, the repository is still found by what it holds.
    EXPECT_NE(driver::DatabaseAround(fs_, dir, ""), "");
    const engine::GitSurroundings around = engine::DiscoverGitAround(fs_, dir, Path(inside), {});
    EXPECT_EQ(around.database_levels, database_levels);
    EXPECT_EQ(around.database_doubt, "");
    // The program started there deletes nothing and says so.
    testsupport::ProcessOptions run;
    run.argv = {BUILDSWEEP_BINARY, "-n"};
    run.cwd = Path(inside);
    const testsupport::ProcessResult result = testsupport::RunProcess(run);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error: the current folder is part of " + database +
                              ", where nothing is deleted\n");
    EXPECT_EQ(result.exit_status, 2);
  }
  EnterFolder(root_);
  // Branches linked into the work tree: a run started there, or below,
  // learns only from the repository around it that it stands in git's data.
  testsupport::MakeFolders(Path("r/data/sub"));
  testsupport::MakeLink(Path("r/data"), Path("r/.git/refs/heads/feature"));
  Git("r", {"update-ref", "refs/heads/feature/wip.bak", "HEAD"});
  Git("r", {"update-ref", "refs/heads/feature/sub/fix.obj", "HEAD"});
  for (const char* start : {"r/data", "r/data/sub"}) {
    SCOPED_TRACE(start);
    testsupport::ProcessOptions run;
    run.argv = {BUILDSWEEP_BINARY, "-y"};
    run.cwd = Path(start);
    const testsupport::ProcessResult result = testsupport::RunProcess(run);
    EXPECT_NE(result.out.find("Left alone (git database) : " + Path(start) + " \n"), std::string::npos)
        << result.out;
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(testsupport::Exists(Path("r/data/wip.bak")));
    EXPECT_TRUE(testsupport::Exists(Path("r/data/sub/fix.obj")));
  }
}

// Whole runs in a work tree with a submodule and a nested repository: what
// any of their indexes tracks stays, modified or not, with one thread or
// the default number; the rest goes, and git then sees no file deleted.
TEST_F(GitIndexTest, RunsKeepWhatEachWorkTreeTracksAndDeleteTheRest) {
  MakeRepository("lib", {"lib.obj", "deep/x.log"});
  MakeRepository("app", {"app.manifest", "src/level.map", "src/main.cpp"});
  Git("app", {"submodule", "add", "-q", "../lib", "lib"});
  Git("app", {"commit", "-q", "-m", "lib"});
  testsupport::MakeFolders(Path("app/vendor/other"));
  Git("app/vendor/other", {"init", "-q"});
  for (const char* file : {"app/vendor/other/kept.tlb", "app/vendor/other/junk.obj",
                           "app/src/main.obj", "app/lib/deep/y.log", "app/build.log"}) {
    MakeFile(Path(file));
  }
  Git("app/vendor/other", {"add", "kept.tlb"});
  MakeFile(Path("app/src/level.map"), "edited, not committed");
  const auto run = [&](const std::string& folder, std::vector<std::string> arguments) {
    testsupport::ProcessOptions options;
    options.argv = {BUILDSWEEP_BINARY};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.cwd = Path(folder);
    return testsupport::RunProcess(options);
  };
  const std::string kept[] = {"app/app.manifest", "app/src/level.map", "app/lib/lib.obj",
                              "app/lib/deep/x.log", "app/vendor/other/kept.tlb"};
  const std::string gone[] = {"app/src/main.obj", "app/lib/deep/y.log", "app/build.log",
                              "app/vendor/other/junk.obj"};
  const testsupport::ProcessResult one = run("app", {"-n", "-j", "1"});
  EXPECT_EQ(one.exit_status, 0) << one.err;
  EXPECT_EQ(run("app", {"-n"}).out, one.out);
  for (const std::string& file : kept) {
    EXPECT_NE(one.out.find("\nKept (tracked) : " + Path(file) + " \n"), std::string::npos) << file;
  }
  for (const std::string& file : gone) {
    EXPECT_NE(one.out.find("\nWould delete : " + Path(file) + " \n"), std::string::npos) << file;
  }
  EXPECT_NE(one.out.find("\nTotal Kept (tracked) : 5\n"), std::string::npos) << one.out;
  // Turned off, tracked files are listed like any other.
  const testsupport::ProcessResult all = run("app", {"-n", "--include-tracked"});
  EXPECT_EQ(all.out.find("Kept (tracked)"), std::string::npos);
  EXPECT_NE(all.out.find("\nWould delete : " + Path("app/src/level.map") + " \n"),
            std::string::npos);
  // Started inside the work tree, the path in it is taken from its top.
  EXPECT_NE(run("app/src", {"-n"}).out.find("Kept (tracked) : " + Path("app/src/level.map")),
            std::string::npos);

  const testsupport::ProcessResult real = run("app", {"-y"});
  EXPECT_EQ(real.exit_status, 0) << real.err;
  EXPECT_NE(real.out.find("\nTotal Remove File : 4\nTotal Kept (tracked) : 5\n"),
            std::string::npos) << real.out;
  for (const std::string& file : kept) EXPECT_TRUE(testsupport::Exists(Path(file))) << file;
  for (const std::string& file : gone) EXPECT_FALSE(testsupport::Exists(Path(file))) << file;
  EXPECT_EQ(Git("app", {"status", "--porcelain", "--untracked-files=no"}), " M src/level.map\n");

  // An index that can't be read keeps every listed file of its work tree.
  MakeFile(Path("app/vendor/other/junk.obj"));
  MakeFile(Path("app/vendor/other/.git/index"), "not an index");
  const testsupport::ProcessResult damaged = run("app", {"-y"});
  EXPECT_EQ(damaged.exit_status, 2);
  EXPECT_EQ(damaged.err.rfind("Error: cannot tell what git tracks in '" +
                                  Path("app/vendor/other") + "': ", 0),
            0u) << damaged.err;
  EXPECT_EQ(std::count(damaged.err.begin(), damaged.err.end(), '\n'), 1);
  EXPECT_TRUE(testsupport::Exists(Path("app/vendor/other/junk.obj")));
  EXPECT_TRUE(testsupport::Exists(Path("app/vendor/other/kept.tlb")));
}

// Hostile layouts, each judged by real git in the same layout and
// environment: run from the top and from inside, no file that `git
// ls-files` lists for a repository around and no file inside a git
// database (`git rev-parse`) is ever among those a run would delete. Where
// buildsweep can't tell what git tracks, it keeps the files and ends with
// status 2.
TEST_F(GitIndexTest, HostileLayoutsNeverLoseWhatGitKeeps) {
  enum Outcome { kClean, kDoubt, kEither };
  struct Layout {
    std::string name;
    std::function<void(const std::string& top)> make;
    std::vector<std::string> starts;        // each gets an untracked junk.obj
    std::vector<std::string> repositories;  // where git is asked
    Outcome outcome = kClean;
    std::vector<std::pair<std::string, std::string>> env = {};
    int descriptors = 0;  // ulimit -n, when not 0
    bool as_nobody = false;
    std::vector<std::string> hidden = {};  // where git itself sees no repository
    // A repository whose core.worktree names a folder outside it: a run
    // from the top finds it only on the way down, and says so.
    std::string found_late = "";
    std::vector<std::string> arguments = {};  // after -n
    // Files that stay though git, the layout being damaged, can't say so;
    // or git says so at another path of theirs.
    std::vector<std::string> keeps = {};
    // Folders bind-mounted (folder, where it is shown too) for the run
    // alone, in a mount namespace of its own; root only.
    std::vector<std::pair<std::string, std::string>> binds = {};
  };
  const auto commit = [&](const std::string& repo, const std::vector<std::string>& files) {
    testsupport::MakeFolders(Path(repo));
    Git(repo, {"init", "-q"});
    for (const std::string& file : files) MakeFile(Path(repo + "/" + file));
    Git(repo, {"add", "-A"});
    Git(repo, {"commit", "-q", "-m", "start"});
  };
  const auto outer_over = [&](const std::string& top) {
    testsupport::MakeFolders(Path(top + "/sub"));
    commit(top, {"sub/y.log", "t.log"});
  };
  // A repository in `repo` whose core.worktree (relative to its git dir,
  // as git takes it) is `work_tree`, tracking `files` (paths from `repo`).
  const auto elsewhere = [&](const std::string& repo, const std::string& work_tree,
                             const std::vector<std::string>& files) {
    testsupport::MakeFolders(Path(repo));
    Git(repo, {"init", "-q"});
    Git(repo, {"config", "core.worktree", work_tree});
    for (const std::string& file : files) {
      const std::filesystem::path at = Path(repo + "/" + file);
      testsupport::MakeFolders(at.parent_path().string());
      MakeFile(at.string());
    }
    Git(repo, {"add", "-A"});
    Git(repo, {"commit", "-q", "-m", "start"});
  };
  const std::string dotrepo = Path("env/dotrepo");
  const auto bound = [&](const std::string& top) {
    commit(top + "/r", {"sub/a.obj", "sub/deep/b.obj"});
    Git(top + "/r", {"branch", "x.log"});
    for (const char* folder : {"/r/mnt", "/r/view", "/s"}) testsupport::MakeFolders(Path(top + folder));
    WriteFile(Path(top + "/r/.git/info/exclude"), "/mnt/\n/view/\n");
  };
  const std::vector<std::pair<std::string, std::string>> binds = {{"r/sub", "r/mnt"},
                                                                  {"r/.git/refs", "r/view"}};
  const auto data_away = [&](const std::string& top) {
    commit(top + "/w", {"a.txt"});
    Git(top + "/w", {"branch", "build.log"});
    Git(top + "/w", {"tag", "v1.bak"});
    Git(top + "/w", {"update-ref", "-m", "log", "refs/heads/build.log", "HEAD"});
    for (const std::string data : {"refs", "logs"}) {
      testsupport::MakeFolders(Path(top + "/w/shared"));
      std::filesystem::rename(Path(top + "/w/.git/" + data), Path(top + "/w/shared/" + data));
      testsupport::MakeLink("../shared/" + data, Path(top + "/w/.git/" + data));
    }
    // Its index through two links, the first into another repository.
    commit(top + "/other", {"a.txt"});
    std::filesystem::rename(Path(top + "/w/.git/index"), Path(top + "/w/shared/index.tmp"));
    testsupport::MakeLink("../../w/shared/index.tmp", Path(top + "/other/.git/w-index"));
    testsupport::MakeLink("../../other/.git/w-index", Path(top + "/w/.git/index"));
    commit(top + "/v", {"a.txt"});
    Git(top + "/v", {"branch", "wip.bak"});
    Git(top + "/v", {"tag", "v2.bak"});
    Git(top + "/v", {"pack-refs", "--all"});
    Git(top + "/v", {"branch", "wip2.bak"});
    testsupport::MakeFolders(Path(top + "/v/store"));
    std::filesystem::rename(Path(top + "/v/.git/refs/heads"), Path(top + "/v/store/heads"));
    testsupport::MakeLink("../../store/heads", Path(top + "/v/.git/refs/heads"));
    std::filesystem::rename(Path(top + "/v/.git/packed-refs"), Path(top + "/v/store/packed.bak"));
    testsupport::MakeLink("../store/packed.bak", Path(top + "/v/.git/packed-refs"));
    commit(top + "/tree/src", {"a.txt"});
    Git(top + "/tree/src", {"branch", "wt.log"});
    Git(top + "/tree/src", {"worktree", "add", "-q", "../x", "wt.log"});
    std::filesystem::rename(Path(top + "/tree/src/.git"), Path(top + "/tree/store"));
    std::filesystem::rename(Path(top + "/tree/store/worktrees/x"), Path(top + "/admin"));
    testsupport::RemoveTree(Path(top + "/tree/store/HEAD"));
    WriteFile(Path(top + "/admin/commondir"), "../tree/store\n");
    WriteFile(Path(top + "/tree/x/.git"), "gitdir: " + Path(top + "/admin") + "\n");
    testsupport::MakeFolders(Path(top + "/plain/objects/pack"));
    testsupport::MakeFolders(Path(top + "/plain/refs/heads"));
  };
  const std::vector<std::string> data_away_kept = {
      "w/shared/refs/heads/build.log", "w/shared/refs/tags/v1.bak",
      "w/shared/logs/refs/heads/build.log", "w/shared/index.tmp", "v/store/heads/wip2.bak",
      "v/store/packed.bak"};
  // The repository `repo` keeps its branches, their reflogs and (where
  // `packed`) its packed refs in `store`, through links from its git dir.
  const auto refs_in = [&](const std::string& repo, const std::string& store, bool packed) {
    commit(repo, {"a.txt"});
    Git(repo, {"branch", "wip.bak"});
    Git(repo, {"pack-refs", "--all"});
    Git(repo, {"branch", "wip2.bak"});
    testsupport::MakeFolders(Path(store));
    for (const std::string data : {"refs", "logs"}) {
      std::filesystem::rename(Path(repo + "/.git/" + data), Path(store + "/" + data));
      testsupport::MakeLink(Path(store + "/" + data), Path(repo + "/.git/" + data));
    }
    if (!packed) return;
    std::filesystem::rename(Path(repo + "/.git/packed-refs"), Path(store + "/packed.bak"));
    testsupport::MakeLink(Path(store + "/packed.bak"), Path(repo + "/.git/packed-refs"));
  };
  const auto refs_before = [&](const std::string& top) {
    refs_in(top + "/zrepo", top + "/a-store", true);
  };
  // Left alone by their shape wherever the walk meets them; the packed
  // refs only once the repository is known.
  const std::vector<std::string> refs_kept = {"a-store/refs/heads/wip2.bak",
                                              "a-store/logs/refs/heads/wip2.bak"};
  const auto deep_links = [&](const std::string& top) {
    commit(top + "/repo", {"a.txt"});
    const std::string git_dir = top + "/repo/.git";
    testsupport::MakeFolders(Path(top + "/z-data/feature"));
    testsupport::MakeFolders(Path(top + "/z-data/notes"));
    testsupport::MakeLink(Path(top + "/z-data/feature"), Path(git_dir + "/refs/heads/feature"));
    testsupport::MakeLink(Path(top + "/z-data/notes"), Path(git_dir + "/refs/notes"));
    Git(top + "/repo", {"update-ref", "refs/heads/feature/wip.bak", "HEAD"});
    Git(top + "/repo", {"update-ref", "refs/notes/build.log", "HEAD"});
    std::string branch = RawGit(top + "/repo", {"symbolic-ref", "--short", "HEAD"}, {}).out;
    branch.pop_back();
    const std::string reflog = git_dir + "/logs/refs/heads/" + branch;
    std::filesystem::rename(Path(reflog), Path(top + "/z-data/main.log"));
    testsupport::MakeLink(Path(top + "/z-data/main.log"), Path(reflog));
    // Links to folders the repository lies in hold no refs (git would go
    // round in them): not looked through, never the whole disk.
    testsupport::MakeLink("/", Path(git_dir + "/refs/tags/slash"));
    testsupport::MakeLink("../..", Path(git_dir + "/logs/up"));
  };
  const std::vector<std::string> deep_kept = {"z-data/feature/wip.bak", "z-data/notes/build.log",
                                              "z-data/main.log"};
  const auto dotfiles = [&](const std::string& top) {
    const std::string repo = top + "/.local/share/yadm/repo.git";
    testsupport::MakeFolders(Path(repo));
    Git(repo, {"init", "-q", "--bare"});
    Git(repo, {"config", "core.bare", "false"});
    Git(repo, {"config", "core.worktree", Path(top)});
    MakeFile(Path(top + "/a.bak"));
    MakeFile(Path(top + "/zz/notes.bak"));
    Git(repo, {"add", Path(top + "/a.bak"), Path(top + "/zz/notes.bak")});
  };
  const auto module_refs = [&](const std::string& top, bool linked) {
    commit(top + "/lib", {"a.txt"});
    commit(top + "/super", {"s.txt"});
    Git(top + "/super", {"submodule", "add", "-q", "../lib", "lib"});
    Git(top + "/super", {"commit", "-q", "-m", "lib"});
    testsupport::MakeFolders(Path(top + "/super/releases"));
    testsupport::MakeLink(Path(top + "/super/releases"),
                          Path(top + "/super/.git/modules/lib/refs/heads/rel"));
    Git(top + "/super/lib", {"update-ref", "refs/heads/rel/v1.bak", "HEAD"});
    Git(top + "/super", {"submodule", "deinit", "-q", "-f", "lib"});
    // A link to itself, which git passes over: no doubt for that.
    testsupport::MakeLink("self", Path(top + "/super/.git/refs/heads/self"));
    if (!linked) return;
    // Its git dir kept elsewhere, linked in.
    std::filesystem::rename(Path(top + "/super/.git/modules/lib"), Path(top + "/lib.git"));
    testsupport::MakeLink(Path(top + "/lib.git"), Path(top + "/super/.git/modules/lib"));
  };
  const std::vector<Layout> layouts = {
      {"databases",
       [&](const std::string& top) {
         Git(top, {"init", "-q", "--separate-git-dir=gd", "ws"});
         commit(top + "/ws", {"a.txt"});
         Git(top + "/ws", {"branch", "feature.log"});
         Git(top, {"init", "-q", "--bare", "mirror.git"});
         Git(top + "/ws", {"push", "-q", "../mirror.git", "HEAD:refs/heads/hotfix.tmp"});
       },
       {"", "ws"}, {"ws", "mirror.git"}},
      {"moved",
       [&](const std::string& top) {
         commit(top + "/main", {"app.manifest"});
         Git(top + "/main", {"worktree", "add", "-q", "../wt"});
         std::filesystem::rename(Path(top + "/main"), Path(top + "/main-moved"));
       },
       {"wt", ""}, {"main-moved"}, kDoubt},
      {"nowhere", [&](const std::string& top) { MakeFile(Path(top + "/.git"), "gitdir: /proc/self/fd\n"); },
       {""}, {}, kDoubt},
      // A `.git` file's path ends only at its line end: "store.git " is
      // not the other repository "store.git".
      {"gitfileblank",
       [&](const std::string& top) {
         commit(top + "/w", {"t.log"});
         std::filesystem::rename(Path(top + "/w/.git"), Path(top + "/store.git "));
         Git(top, {"init", "-q", "--bare", "store.git"});
         MakeFile(Path(top + "/w/.git"), "gitdir: ../store.git \n");
       },
       {"w"}, {"w"}},
      // HEAD kept as a link (core.preferSymlinkRefs) to a branch that only
      // packed-refs holds: it leads nowhere, yet git reads the branch from
      // its text. The work tree and a bare copy, met from above.
      {"headlink",
       [&](const std::string& top) {
         commit(top + "/r", {"t.log"});
         Git(top, {"clone", "-q", "--bare", "r", "b.git"});
         for (const std::string repo : {"r/.git", "b.git"}) {
           const std::string head = Path(top + "/" + repo + "/HEAD");
           const std::string branch = testsupport::ReadAll(head).substr(5);
           Git(top + "/" + repo, {"pack-refs", "--all"});
           testsupport::RemoveTree(head);
           testsupport::MakeLink(branch.substr(0, branch.size() - 1), head);
         }
         MakeFile(Path(top + "/b.git/refs/heads/y.log"),
                  testsupport::ReadAll(Path(top + "/b.git/packed-refs")).substr(0, 40) + "\n");
         // A link is its text to git, even one that leads to a folder.
         commit(top + "/d", {"t.log"});
         testsupport::RemoveTree(Path(top + "/d/.git/HEAD"));
         testsupport::MakeLink("refs/heads", Path(top + "/d/.git/HEAD"));
       },
       {"", "r", "d"}, {"r", "b.git", "d"}},
      // Git asks of `objects` only that it may search it: a file it may
      // run makes a repository folder too.
      {"objectsfile",
       [&](const std::string& top) {
         Git(top, {"init", "-q", "--bare", "v.git"});
         testsupport::RemoveTree(Path(top + "/v.git/objects"));
         MakeFile(Path(top + "/v.git/objects"));
         testsupport::SetMode(Path(top + "/v.git/objects"), 0755);
         MakeFile(Path(top + "/v.git/junk.tmp"));
       },
       {""}, {"v.git"}},
      {"empty", [&](const std::string& top) { outer_over(top); testsupport::MakeFolders(Path(top + "/sub/.git")); },
       {"", "sub"}, {"", "sub"}},
      {"headonly",
       [&](const std::string& top) {
         outer_over(top);
         MakeFile(Path(top + "/sub/.git/HEAD"), "ref: refs/heads/main\n");
       },
       {"", "sub"}, {"", "sub"}, kDoubt},
      {"nested", [&](const std::string& top) { outer_over(top); Git(top + "/sub", {"init", "-q"}); },
       {"", "sub"}, {"", "sub"}},
      {"env",
       [&](const std::string& top) {
         Git(top, {"init", "-q", "--bare", "dotrepo"});
         MakeFile(Path(top + "/home/build.log"));
         RawGit(top + "/home", {"add", "build.log"}, {{"GIT_DIR", dotrepo}, {"GIT_WORK_TREE", "."}});
       },
       {"home"}, {"home"}, kClean, {{"GIT_DIR", "../dotrepo"}, {"GIT_WORK_TREE", "."}}},
      {"indexfile",
       [&](const std::string& top) {
         commit(top + "/r", {"t.log"});
         MakeFile(Path(top + "/r/other.log"));
         RawGit(top + "/r", {"add", "other.log"}, {{"GIT_INDEX_FILE", Path(top + "/alt")}});
       },
       {"r"}, {"r"}, kClean, {{"GIT_INDEX_FILE", Path("indexfile/alt")}}},
      // A folder named HEAD makes no repository of the folder above the
      // start: git sees none there, and the run goes on.
      {"headfolder", [&](const std::string& top) { testsupport::MakeFolders(Path(top + "/HEAD")); },
       {"proj"}, {}, kClean, {}, 0, false, {"proj"}},
      // GIT_DIR naming a `.git` file: git follows it to the git dir it names.
      {"gitdirfile",
       [&](const std::string& top) {
         Git(top, {"init", "-q", "--separate-git-dir=store", "w"});
         commit(top + "/w", {"t.log"});
       },
       {"w"}, {"w"}, kClean, {{"GIT_DIR", Path("gitdirfile/w/.git")}}},
      // A relative GIT_INDEX_FILE is read from the work tree's top, where
      // git has moved before it reads: not the subfolder it was started in,
      // which holds an empty index of that name. The index itself is git's,
      // whatever its name.
      {"indexrelative",
       [&](const std::string& top) {
         commit(top + "/r", {"t.log"});
         MakeFile(Path(top + "/r/s/u.obj"));
         RawGit(top + "/r", {"add", "s/u.obj"}, {{"GIT_INDEX_FILE", Path(top + "/r/alt.tmp")}});
         RawGit(top + "/r", {"read-tree", "--empty"}, {{"GIT_INDEX_FILE", Path(top + "/r/s/alt.tmp")}});
       },
       {"r/s", "r"}, {"r"}, kClean, {{"GIT_INDEX_FILE", "alt.tmp"}}, 0, false, {}, "", {}, {"r/alt.tmp"}},
      // Relative too where the work tree is named: read from its top, which
      // the start lies above.
      {"indexworktree",
       [&](const std::string& top) {
         Git(top, {"init", "-q", "--bare", "repo.git"});
         MakeFile(Path(top + "/wt/f.c"));
         RawGit(top + "/wt", {"add", "f.c"},
                {{"GIT_DIR", Path(top + "/repo.git")}, {"GIT_WORK_TREE", Path(top + "/wt")},
                 {"GIT_INDEX_FILE", "stage.bak"}});
       },
       {""}, {"wt"}, kClean,
       {{"GIT_DIR", Path("indexworktree/repo.git")}, {"GIT_WORK_TREE", Path("indexworktree/wt")},
        {"GIT_INDEX_FILE", "stage.bak"}},
       0, false, {}, "", {}, {"wt/stage.bak"}},
      {"worktree",
       [&](const std::string& top) {
         Git(top, {"init", "-q", "--bare", "cw.git"});
         Git(top, {"--git-dir=cw.git", "config", "core.bare", "false"});
         Git(top, {"--git-dir=cw.git", "config", "core.worktree", "../tree"});
         MakeFile(Path(top + "/tree/sub/c.log"));
         RawGit(top + "/tree", {"add", "sub/c.log"}, {{"GIT_DIR", Path(top + "/cw.git")}});
       },
       {"tree", "tree/sub"}, {"tree"}, kClean, {{"GIT_DIR", Path("worktree/cw.git")}}},
      // Branches and reflogs kept beside the work tree, `.git/refs` and
      // `.git/logs` links to them (or `.git/refs/heads` alone); and a
      // linked worktree whose common dir lies in the tree with no HEAD of
      // its own, its git dir outside, met before the work tree that leads
      // to it. A project's own `objects` and `refs` are no git's.
      {"dataaway", data_away, {"w", "v", "tree", "plain", "plain/objects"}, {"w", "v", "tree/x"},
       kClean, {}, 0, false, {}, "", {}, data_away_kept},
      // Links to folders the walk meets before the repository: said.
      {"linklate", refs_before, {"", "zrepo"}, {"zrepo"}, kClean, {}, 0, false, {}, "zrepo", {},
       refs_kept},
      // Met beside the repository by another thread, or before it: left
      // alone all the same.
      {"linkrace",
       [&](const std::string& top) {
         refs_in(top + "/r", top + "/z-store", false);
         refs_in(top + "/s", top + "/a-store", false);
       },
       {""}, {"r", "s"}, kClean, {}, 0, false, {}, "", {"-j", "8"},
       {"z-store/refs/heads/wip2.bak", "z-store/logs/refs/heads/wip2.bak", "a-store/refs/heads/wip2.bak",
        "a-store/logs/refs/heads/wip2.bak"}},
      // Found on the way down in a later chosen folder: said.
      {"linkafter",
       [&](const std::string& top) {
         refs_in(top + "/b/zrepo", top + "/a-store", true);
       },
       {""}, {"b/zrepo"}, kClean, {}, 0, false, {}, "b/zrepo",
       {Path("linkafter/a-store"), Path("linkafter/b")}, refs_kept},
      // Known before, given both, tracked files or not.
      {"linkchosen", refs_before, {"a-store"}, {"zrepo"}, kClean, {}, 0, false, {}, "",
       {"--include-tracked", Path("linkchosen/a-store"), Path("linkchosen/zrepo")},
       {"a-store/refs/heads/wip2.bak", "a-store/logs/refs/heads/wip2.bak", "a-store/packed.bak"}},
      // A work tree whose git dir links its data into another's `.git`
      // (git-new-workdir): nothing the walk could reach first.
      {"newworkdir",
       [&](const std::string& top) {
         commit(top + "/orig", {"a.txt"});
         testsupport::MakeFolders(Path(top + "/nwd/.git"));
         for (const std::string data : {"config", "refs", "logs", "objects", "packed-refs"}) {
           testsupport::MakeLink("../../orig/.git/" + data, Path(top + "/nwd/.git/" + data));
         }
         WriteFile(Path(top + "/nwd/.git/HEAD"), testsupport::ReadAll(Path(top + "/orig/.git/HEAD")));
         Git(top + "/nwd", {"read-tree", "HEAD"});
         // A config a dotfiles manager links in, named as no by-product is.
         commit(top + "/proj", {"a.txt"});
         testsupport::MakeFolders(Path(top + "/dot"));
         std::filesystem::rename(Path(top + "/proj/.git/config"), Path(top + "/dot/proj.gitconfig"));
         testsupport::MakeLink("../../dot/proj.gitconfig", Path(top + "/proj/.git/config"));
       },
       {""}, {"orig", "nwd", "proj"}},
      // The same, tracked files or not: git's data stays.
      {"dataawayall", data_away, {"w", "v", "tree"}, {"w", "v", "tree/x"}, kClean, {}, 0, false,
       {}, "", {"--include-tracked"}, data_away_kept},
      // An empty `.git` is no repository, with GIT_WORK_TREE set or not.
      {"emptydotgit",
       [&](const std::string& top) { testsupport::MakeFolders(Path(top + "/.git")); },
       {""}, {}, kClean, {{"GIT_WORK_TREE", Path("emptydotgit")}}, 0, false, {""}},
      // The same, its core.worktree named through a link.
      {"worktreelink",
       [&](const std::string& top) {
         Git(top, {"init", "-q", "--bare", "cw.git"});
         Git(top, {"--git-dir=cw.git", "config", "core.bare", "false"});
         Git(top, {"--git-dir=cw.git", "config", "core.worktree", "../link/tree"});
         MakeFile(Path(top + "/real/tree/sub/c.log"));
         testsupport::MakeLink(Path(top + "/real"), Path(top + "/link"));
         RawGit(top + "/real/tree", {"add", "sub/c.log"}, {{"GIT_DIR", Path(top + "/cw.git")}});
       },
       {"real/tree", "real/tree/sub"}, {"real/tree"}, kClean,
       {{"GIT_DIR", Path("worktreelink/cw.git")}}},
      // And through a link then "..": git changes into the link first, so
      // the ".." leaves the folder it leads to, not the link's own.
      {"worktreelinkup",
       [&](const std::string& top) {
         Git(top, {"init", "-q", "--bare", "cw.git"});
         Git(top, {"--git-dir=cw.git", "config", "core.bare", "false"});
         Git(top, {"--git-dir=cw.git", "config", "core.worktree", "../link/.."});
         MakeFile(Path(top + "/real/sub/c.log"));
         testsupport::MakeFolders(Path(top + "/real/deep"));
         testsupport::MakeLink(Path(top + "/real/deep"), Path(top + "/link"));
         RawGit(top + "/real", {"add", "sub/c.log"}, {{"GIT_DIR", Path(top + "/cw.git")}});
       },
       {"real", "real/sub"}, {"real"}, kClean, {{"GIT_DIR", Path("worktreelinkup/cw.git")}}},
      // A linked work tree's git dir named by GIT_DIR: git takes no
      // core.worktree from the shared settings there, so the work tree is
      // where it was started.
      {"commonworktree",
       [&](const std::string& top) {
         commit(top + "/main", {"m.txt"});
         Git(top + "/main", {"worktree", "add", "-q", "../wt", "-b", "wb"});
         MakeFile(Path(top + "/wt/t.log"));
         Git(top + "/wt", {"add", "t.log"});
         Git(top + "/wt", {"commit", "-q", "-m", "t"});
         Git(top + "/main", {"config", "core.worktree", Path(top + "/main")});
         MakeFile(Path(top + "/export/t.log"));
       },
       {"export"}, {"export"}, kClean, {{"GIT_DIR", Path("commonworktree/main/.git/worktrees/wt")}}},
      {"worktreeenv",
       [&](const std::string& top) {
         commit(top + "/r", {"t.log"});
         MakeFile(Path(top + "/r/sub/w.log"));
         RawGit(top + "/r", {"add", "w.log"}, {{"GIT_WORK_TREE", Path(top + "/r/sub")}});
       },
       {"r"}, {"r"}, kClean, {{"GIT_WORK_TREE", Path("worktreeenv/r/sub")}}},
      {"ceiling", [&](const std::string& top) { commit(top + "/r", {"a/t.log", "u.log"}); },
       {"r", "r/a"}, {"r", "r/a"}, kClean, {{"GIT_CEILING_DIRECTORIES", Path("ceiling/r")}}, 0,
       false, {"r/a"}},
      {"cwparent",
       [&](const std::string& top) {
         // The start a repository of its own too, which tracks none of them.
         commit(top, {"own.txt"});
         elsewhere(top + "/repo", "../..", {"../y.log", "../other/z.log", "x.log", "s/w.log"});
       },
       {"repo", "repo/s", ""}, {"repo"}, kClean, {}, 0, false, {}, "repo"},
      {"cwaside",
       [&](const std::string& top) {
         elsewhere(top + "/repo", "../../aside", {"../aside/a.log", "../aside/d/b.log"});
       },
       {"repo", ""}, {"repo"}, kClean, {}, 0, false, {}, "repo"},
      // The work tree met after the repository, in one thread: known by
      // then, though the run can't say so for every order.
      {"cwafter",
       [&](const std::string& top) {
         elsewhere(top + "/repo", "../../wt", {"../wt/a.log", "../wt/d/b.log"});
       },
       {""}, {"repo"}, kEither, {}, 0, false, {}, "", {"-j", "1"}},
      {"cwexcluded",
       [&](const std::string& top) {
         elsewhere(top + "/repo", "../../wt", {"../wt/a.log", "../wt/d/b.log"});
       },
       {""}, {"repo"}, kEither, {}, 0, false, {}, "", {"-j", "1", "-x", "repo"}},
      // Never entered, its index that can't be read tells nothing outside.
      {"excludedindex",
       [&](const std::string& top) {
         commit(top + "/repo", {"a.obj"});
         testsupport::SetMode(Path(top + "/repo/.git/index"), 0);
         MakeFile(Path(top + "/moved/.git"), "gitdir: /nowhere/modules/moved\n");
         testsupport::MakeFolders(Path(top + "/sha"));
         Git(top + "/sha", {"init", "-q", "--object-format=sha256"});
         testsupport::SetMode(Path(top), 0777);
       },
       {""}, {}, kClean, {}, 0, true, {}, "", {"-x", "repo", "-x", "moved", "-x", "sha"}},
      // Both chosen, the work tree first: known before it is cleaned.
      {"cwchosen",
       [&](const std::string& top) {
         elsewhere(top + "/repo", "../../aside", {"../aside/a.log", "../aside/d/b.log"});
       },
       {"aside", "repo"}, {"repo"}, kClean, {}, 0, false, {}, "",
       {Path("cwchosen/aside"), Path("cwchosen/repo")}},
      // The same, that folder reached through a bind mount of one above it.
      {"cwbind",
       [&](const std::string& top) {
         elsewhere(top + "/repo", "../../p/w", {"../p/w/a.log"});
         testsupport::MakeFolders(Path(top + "/bm"));
       },
       {"repo"}, {"repo"}, kClean, {}, 0, false, {}, "",
       {Path("cwbind/repo"), Path("cwbind/bm")}, {"bm/w/a.log"}, {{"p", "bm"}}},
      // The same, the other chosen folder in a repository that can't be
      // read, below the one that names the work tree: looked past.
      {"cwunreadable",
       [&](const std::string& top) {
         elsewhere(top + "/repo", "../../aside", {"../aside/a.log"});
         MakeFile(Path(top + "/repo/inner/.git"), "gitdir: /nowhere\n");
       },
       {"aside"}, {"repo"}, kEither, {}, 0, false, {}, "",
       {Path("cwunreadable/aside"), Path("cwunreadable/repo/inner")}},
      // A dotfiles repository (yadm's): a repository folder found by its
      // content whose core.worktree is the home folder, the start.
      {"dotfiles", dotfiles,
       {""}, {".local/share/yadm/repo.git"}, kClean, {}, 0, false, {}, ".local/share/yadm/repo.git"},
      // The same, its folder never entered (-x): judged all the same.
      {"dotfilesexcluded", dotfiles, {""}, {".local/share/yadm/repo.git"}, kClean, {}, 0, false, {},
       ".local/share/yadm/repo.git", {"-x", "repo.git"}},
      // Its own `.git` leads to such a repository folder in the tree, found
      // from the start whatever the walk's order; and a bare mirror whose
      // core.worktree git ignores.
      {"dotfilesknown",
       [&](const std::string& top) {
         Git(top, {"init", "-q", "--separate-git-dir=.gitdata", "."});
         Git(top, {"config", "core.worktree", ".."});
         MakeFile(Path(top + "/t.obj"));
         Git(top, {"add", "t.obj"});
         commit(top + "/src", {"a.txt"});
         Git(top, {"clone", "-q", "--bare", "src", "mirrors/m.git"});
         Git(top + "/mirrors/m.git", {"config", "core.worktree", Path(top + "/w")});
         MakeFile(Path(top + "/w/u.obj"));
       },
       {"", "w"}, {""}},
      // Two repositories taking the start as their work tree: it keeps what
      // each tracks.
      {"cwtwo",
       [&](const std::string& top) {
         elsewhere(top + "/a", "../..", {"../one.log"});
         elsewhere(top + "/b", "../..", {"../two.log"});
       },
       {""}, {"a", "b"}, kClean, {}, 0, false, {}, "a"},
      // The same, with an index git reads though its checksum is off.
      {"cwdamaged",
       [&](const std::string& top) {
         elsewhere(top + "/sub", "../..", {"../a.log"});
         const std::string index = Path(top + "/sub/.git/index");
         std::string bytes = testsupport::ReadAll(index);
         bytes.back() = static_cast<char>(bytes.back() ^ 1);
         WriteFile(index, bytes);
       },
       {""}, {"sub"}, kClean, {}, 0, false, {}, "sub"},
      {"cwbelow",
       [&](const std::string& top) {
         elsewhere(top + "/repo", "../src", {"src/c.log", "src/d/e.log", "f.log"});
       },
       {"repo", "repo/src/d", ""}, {"repo"}},
      // A `.git` file naming a bare repository, with work trees beside it:
      // git works in none at the top, so nothing there is tracked.
      {"barefile",
       [&](const std::string& top) {
         commit(top + "/src", {"t.obj"});
         Git(top, {"clone", "-q", "--bare", "src", "proj/.bare"});
         MakeFile(Path(top + "/proj/.git"), "gitdir: ./.bare\n");
         Git(top + "/proj", {"worktree", "add", "-q", "main"});
       },
       {"proj", "proj/main"}, {"proj", "proj/main"}},
      // A work tree inside a bare repository is refused as the rest of it:
      // git may keep its own data in any folder of a repository (a ref
      // `git update-ref` writes into that work tree).
      {"bareworktree",
       [&](const std::string& top) {
         commit(top + "/src", {"t.obj"});
         Git(top, {"clone", "-q", "--bare", "src", "repo.git"});
         Git(top + "/repo.git", {"worktree", "add", "-q", "main"});
         Git(top + "/repo.git", {"update-ref", "main/build.log", "HEAD"});
       },
       {"repo.git/main"}, {}, kEither, {}, 0, false, {}, "", {}, {"repo.git/main/build.log"}},
      {"missing",
       [&](const std::string& top) {
         commit(top, {"t.log"});
         testsupport::RemoveTree(Path(top + "/.git/index"));
       },
       {""}, {}, kDoubt},
      // The same with its branch only in packed-refs, as `git gc` leaves it.
      {"missingpacked",
       [&](const std::string& top) {
         commit(top, {"t.log"});
         Git(top, {"pack-refs", "--all"});
         testsupport::RemoveTree(Path(top + "/.git/index"));
       },
       {""}, {}, kDoubt},
      {"bigconfig",
       [&](const std::string& top) {
         commit(top, {"t.log"});
         std::ofstream(Path(top + "/.git/config"), std::ios::app)
             << "[x]\n" << std::string(2 << 20, ' ') << "y = z\n";
       },
       {""}, {""}},
      // With no format version in its config, git takes no core.worktree
      // from it: the work tree is where GIT_DIR was used, not `other`.
      {"noversion",
       [&](const std::string& top) {
         Git(top, {"init", "-q", "--bare", "store.git"});
         testsupport::MakeFolders(Path(top + "/other"));
         WriteFile(Path(top + "/store.git/config"), "[core]\n\tbare = false\n\tworktree = ../other\n");
         MakeFile(Path(top + "/w/a.obj"));
         RawGit(top + "/w", {"add", "a.obj"}, {{"GIT_DIR", Path(top + "/store.git")}});
       },
       {"w"}, {"w"}, kClean, {{"GIT_DIR", Path("noversion/store.git")}}},
      // Blanks in a value as git reads them: a tab between words is a
      // space, a blank after an empty "" at the start is dropped.
      {"valueblanks",
       [&](const std::string& top) {
         for (const std::string value : {"../w\tx", "\"\" ../w x"}) {
           const std::string repo = top + (value[0] == '"' ? "/q" : "/t");
           commit(repo, {"u.txt"});
           WriteFile(Path(repo + "/.git/config"),
                     "[core]\n\trepositoryformatversion = 0\n\tworktree = " + value + "\n");
           MakeFile(Path(repo + "/w x/a.obj"));
           Git(repo + "/w x", {"add", "a.obj"});
         }
       },
       {"t/w x", "t", "q/w x", "q"}, {"t/w x", "q/w x"}},
      // A mirror whose HEAD was emptied (a crash, a full disk), one whose
      // objects lead nowhere: git sees no repository until they are
      // mended, and then their branches are all there.
      {"damaged",
       [&](const std::string& top) {
         commit(top + "/r", {"u.txt"});
         for (const std::string mirror : {"h.git", "o.git"}) {
           Git(top, {"clone", "-q", "--mirror", "r", mirror});
           Git(top + "/" + mirror, {"branch", "wip.bak"});
         }
         WriteFile(Path(top + "/h.git/HEAD"), "");
         std::filesystem::rename(Path(top + "/o.git/objects"), Path(top + "/objects.moved"));
         testsupport::MakeLink("/nonexistent/objects", Path(top + "/o.git/objects"));
       },
       {"", "h.git/refs/heads"}, {"r"}, kEither, {}, 0, false, {"h.git", "o.git"}, "", {},
       {"h.git/refs/heads/wip.bak", "o.git/refs/heads/wip.bak"}},
      // A chosen folder is cleaned as a run started in it: GIT_DIR with no
      // work tree makes that folder the top.
      {"gitdirfolder",
       [&](const std::string& top) {
         Git(top, {"init", "-q", "--bare", "store.git"});
         Git(top, {"--git-dir=store.git", "config", "core.bare", "false"});
         MakeFile(Path(top + "/w/sub/a.obj"));
         RawGit(top + "/w", {"add", "sub/a.obj"}, {{"GIT_DIR", Path(top + "/store.git")}});
         testsupport::MakeFolders(Path(top + "/s"));
       },
       {"s"}, {"w"}, kClean, {{"GIT_DIR", Path("gitdirfolder/store.git")}}, 0, false, {}, "",
       {".", "../w"}},
      // core.ignorecase set where git reads it beside the repository's own
      // config: in the user's, through an include, by GIT_CONFIG_COUNT or
      // `git -c`. A file that differs from a tracked one in case alone is
      // the tracked one to git then (`git clean` keeps it).
      {"ignorecase",
       [&](const std::string& top) {
         for (const std::string repo : {"g", "i"}) {
           commit(top + "/" + repo, {"Build.LOG", "Docs/x.log"});
           std::filesystem::rename(Path(top + "/" + repo + "/Build.LOG"), Path(top + "/" + repo + "/build.log"));
           std::filesystem::rename(Path(top + "/" + repo + "/Docs"), Path(top + "/" + repo + "/docs"));
         }
         testsupport::MakeFolders(Path(top + "/home"));
         WriteFile(Path(top + "/home/.gitconfig"), "[includeIf \"gitdir:**/g/\"]\n\tpath = case.cfg\n");
         WriteFile(Path(top + "/home/case.cfg"), "[core]\n\tignorecase\n");
         std::ofstream(Path(top + "/i/.git/config"), std::ios::app) << "[include]\n\tpath = ~/case.cfg\n";
       },
       {"g", "i"}, {"g", "i"}, kClean, {{"HOME", Path("ignorecase/home")}},
       0, false, {}, "", {},
       {"g/build.log", "g/docs/x.log", "i/build.log", "i/docs/x.log"}},
      {"ignorecaseenv",
       [&](const std::string& top) {
         commit(top + "/c", {"Docs/x.log"});
         std::filesystem::rename(Path(top + "/c/Docs"), Path(top + "/c/docs"));
       },
       {"c", "c/docs"}, {"c"}, kClean,
       {{"GIT_CONFIG_COUNT", "1"}, {"GIT_CONFIG_KEY_0", "core.ignoreCase"}, {"GIT_CONFIG_VALUE_0", "yes"}},
       0, false, {}, "", {}, {"c/docs/x.log"}},
      // A count git refuses: it runs no command, and its setting can't be told.
      {"ignorecasecount",
       [&](const std::string& top) {
         commit(top + "/c", {"Docs/x.log"});
         Git(top + "/c", {"config", "core.ignorecase", "true"});
         std::filesystem::rename(Path(top + "/c/Docs"), Path(top + "/c/docs"));
       },
       {"c", "c/docs"}, {}, kClean,
       {{"GIT_CONFIG_COUNT", "1x"}, {"GIT_CONFIG_KEY_0", "core.ignorecase"}, {"GIT_CONFIG_VALUE_0", "no"}},
       0, false, {}, "", {}, {"c/docs/x.log"}},
      {"ignorecasec",
       [&](const std::string& top) {
         commit(top + "/p", {"Docs/x.log"});
         std::filesystem::rename(Path(top + "/p/Docs"), Path(top + "/p/docs"));
       },
       {"p/docs"}, {"p"}, kClean,
       {{"GIT_CONFIG_PARAMETERS", "'x.y'='it'\\''s' 'core.ignorecase'="}},
       0, false, {}, "", {}, {"p/docs/x.log"}},
      // Git looks for every repository's objects where GIT_OBJECT_DIRECTORY
      // says, and for its objects and refs where GIT_COMMON_DIR says: a
      // folder without them of its own is a repository all the same.
      {"objectdir",
       [&](const std::string& top) {
         commit(top + "/w", {"a.c"});
         Git(top, {"clone", "-q", "--bare", "w", "r.git"});
         Git(top + "/r.git", {"branch", "x.log"});
         std::filesystem::rename(Path(top + "/r.git/objects"), Path(top + "/objs"));
       },
       {""}, {"r.git"}, kClean, {{"GIT_OBJECT_DIRECTORY", Path("objectdir/objs")}}},
      {"commondir",
       [&](const std::string& top) {
         commit(top + "/main", {"a.c"});
         testsupport::MakeFolders(Path(top + "/admin/refs/worktree"));
         const std::string head = Git(top + "/main", {"rev-parse", "HEAD"});
         WriteFile(Path(top + "/admin/HEAD"), head);
         WriteFile(Path(top + "/admin/refs/worktree/x.log"), head);
       },
       {""}, {"admin"}, kClean, {{"GIT_COMMON_DIR", Path("commondir/main/.git")}}},
      // A folder shown at a second path by a bind mount, an ignored one met
      // first: tracked at one path, or git's data, it is so at both; also
      // for a FOLDER below the mount point.
      {"bind", bound, {"r", ""}, {"r"}, kClean, {}, 0, false, {}, "", {},
       {"r/mnt/a.obj", "r/mnt/deep/b.obj", "r/view/heads/x.log"}, binds},
      {"bindfolder", bound, {"s"}, {"r"}, kClean, {}, 0, false, {}, "",
       {".", Path("bindfolder/r/mnt/deep")}, {"r/mnt/deep/b.obj"}, binds},
      // A by-product below a sparse index's folder entry: git may track it
      // or not, which only that tree's objects tell.
      {"sparse",
       [&](const std::string& top) {
         commit(top, {"a/keep.obj", "b/top.log"});
         Git(top, {"sparse-checkout", "init", "--cone", "--sparse-index"});
         Git(top, {"sparse-checkout", "set", "a"});
         MakeFile(Path(top + "/b/new.obj"));
       },
       {""}, {""}, kDoubt, {}, 0, false, {}, "", {}, {"b/new.obj"}},
      // A linked worktree's own refs, kept in its git dir, linked away: met
      // after the worktree, in one thread.
      {"worktreerefs",
       [&](const std::string& top) {
         commit(top + "/main", {"a.txt"});
         Git(top + "/main", {"worktree", "add", "-q", "../wt", "-b", "wb"});
         Git(top + "/wt", {"update-ref", "refs/worktree/keep.bak", "HEAD"});
         const std::string git_dir = top + "/main/.git/worktrees/wt";
         testsupport::MakeFolders(Path(top + "/zzz-store"));
         std::filesystem::rename(Path(git_dir + "/refs"), Path(top + "/zzz-store/refs"));
         testsupport::MakeLink(Path(top + "/zzz-store/refs"), Path(git_dir + "/refs"));
       },
       {""}, {"main", "wt"}, kClean, {}, 0, false, {}, "wt", {"-j", "1"},
       {"zzz-store/refs/worktree/keep.bak"}},
      // The same with the worktree outside the tree, so that only the
      // repository tells: its reflogs met before it (said), its refs after.
      {"worktreeaway",
       [&](const std::string& top) {
         commit(top + "/main", {"a.txt"});
         Git(top + "/main", {"worktree", "add", "-q", Path(top + "-wt"), "-b", "wb"});
         Git(top + "-wt", {"-c", "core.logAllRefUpdates=always", "update-ref",
                           "refs/worktree/keep.bak", "HEAD"});
         const std::string git_dir = top + "/main/.git/worktrees/" + top.substr(top.rfind('/') + 1) + "-wt";
         for (const std::string store : {"a-store/logs", "z-store/refs"}) {
           testsupport::MakeFolders(Path(top + "/" + store.substr(0, 7)));
           std::filesystem::rename(Path(git_dir + store.substr(7)), Path(top + "/" + store));
           testsupport::MakeLink(Path(top + "/" + store), Path(git_dir + store.substr(7)));
         }
       },
       {""}, {"main"}, kClean, {}, 0, false, {}, "main", {"-j", "1"},
       {"z-store/refs/worktree/keep.bak"}},
      // Links deeper in: a branch folder, notes, one reflog file.
      {"deeplinks", deep_links,
       {""}, {"repo"}, kClean, {}, 0, false, {}, "repo", {"-j", "1"}, deep_kept},
      // A submodule's git dir, kept in the superproject's after `git
      // submodule deinit`, whose branches lie in the superproject's tree.
      {"modulerefs", [&](const std::string& top) { module_refs(top, false); },
       {"super"}, {"super"}, kClean, {}, 0, false, {}, "", {}, {"super/releases/v1.bak"}},
      {"modulelinked", [&](const std::string& top) { module_refs(top, true); },
       {"super"}, {"super"}, kClean, {}, 0, false, {}, "", {}, {"super/releases/v1.bak"}},
      // One that is a linked worktree's git dir of a repository outside the
      // tree, whose branches (read through its commondir) lie in the tree.
      {"moduleworktree",
       [&](const std::string& top) {
         commit(top + "-libmain", {"l.txt"});
         commit(top + "/super", {"s.txt"});
         Git(top + "-libmain", {"worktree", "add", "-q", "--detach", Path(top + "/super/lib")});
         testsupport::MakeFolders(Path(top + "/super/.git/modules"));
         testsupport::MakeLink(Path(top + "-libmain/.git/worktrees/lib"),
                               Path(top + "/super/.git/modules/lib"));
         testsupport::RemoveTree(Path(top + "/super/lib"));
         testsupport::MakeFolders(Path(top + "/super/zz"));
         testsupport::MakeLink(Path(top + "/super/zz"), Path(top + "-libmain/.git/refs/heads/rel"));
         Git(top + "/super/.git/modules/lib", {"update-ref", "refs/heads/rel/v1.bak", "HEAD"});
       },
       {"super"}, {"super"}, kClean, {}, 0, false, {}, "", {}, {"super/zz/v1.bak"}},
      // A refs folder that can't be listed: the links found are kept all
      // the same.
      {"deepunknown",
       [&](const std::string& top) {
         deep_links(top);
         Git(top + "/repo", {"update-ref", "refs/heads/priv/x", "HEAD"});
         testsupport::SetMode(Path(top + "/repo/.git/refs/heads/priv"), 0700);
         testsupport::SetMode(Path(top), 0777);
       },
       {""}, {"repo"}, kDoubt, {}, 0, true, {}, "repo", {"-j", "1"}, deep_kept},
      // The same, the repository never entered (-x): judged all the same.
      {"deepexcluded", deep_links, {""}, {"repo"}, kClean, {}, 0, false, {}, "repo",
       {"-j", "1", "-x", "repo"}, deep_kept},
      // Folders named as git's are no git data beside a `.git`, nor is a
      // HEAD that can't be read beside a `refs` of no such shape.
      {"gitnames",
       [&](const std::string& top) {
         commit(top + "/proj", {"heads/a.txt", "tags/b.txt"});
         MakeFile(Path(top + "/fixtures/HEAD"));
         testsupport::SetMode(Path(top + "/fixtures/HEAD"), 0);
         testsupport::MakeFolders(Path(top + "/fixtures/refs"));
         for (const std::string start : {"", "/proj", "/proj/heads"}) {
           testsupport::SetMode(Path(top + start), 0777);  // nobody runs there
         }
       },
       {"", "proj", "proj/heads"}, {"proj"}, kClean, {}, 0, true},
      {"searchonly",
       [&](const std::string& top) {
         commit(top, {"p/q/x.log"});
         testsupport::SetMode(Path(top + "/p"), 0711);
         testsupport::SetMode(Path(top + "/p/q"), 0777);
       },
       {"p/q"}, {""}, kClean, {}, 0, true},
  };
  std::vector<Layout> all = layouts;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // (A sanitizer's runtime needs descriptors of its own to report.)
  for (int descriptors = 5; descriptors <= 8; ++descriptors) {
    Layout scarce{"ulimit" + std::to_string(descriptors),
                  [&](const std::string& top) { commit(top, {"a/b/t.log"}); },
                  {"a/b", ""}, {""}, kEither};
    scarce.descriptors = descriptors;
    all.push_back(scarce);
  }
  // Started inside a bare repository, given as a FOLDER, with no
  // descriptor to spare for its HEAD: a database all the same.
  for (int descriptors = 5; descriptors <= 6; ++descriptors) {
    Layout scarce{"ulimitdb" + std::to_string(descriptors),
                  [&](const std::string& top) {
                    Git(top, {"init", "-q", "--bare", "mirror.git"});
                    MakeFile(Path(top + "/mirror.git/refs/heads/hotfix.tmp"));
                  },
                  {"mirror.git/refs/heads"}, {"mirror.git"}, kEither};
    scarce.descriptors = descriptors;
    scarce.arguments = {"."};
    all.push_back(scarce);
  }
#endif
  // Runs as nobody use a copy of the program that nobody may run.
  testsupport::SetMode(root_, 0755);
  const std::string program = Path("buildsweep");
  std::filesystem::copy_file(BUILDSWEEP_BINARY, program);
  for (const Layout& layout : all) {
    SCOPED_TRACE(layout.name);
    testsupport::MakeFolders(Path(layout.name));
    layout.make(layout.name);
    // What git keeps: every file any repository around lists, and every
    // git dir and common dir.
    std::set<std::string> tracked;
    std::vector<std::string> databases;
    for (const std::string& repository : layout.repositories) {
      const std::string at = layout.name + (repository.empty() ? "" : "/" + repository);
      for (const char* which : {"--absolute-git-dir", "--git-common-dir"}) {
        const auto dir = RawGit(at, {"rev-parse", "--path-format=absolute", which}, layout.env);
        if (dir.exit_status == 0) databases.push_back(dir.out.substr(0, dir.out.size() - 1));
      }
      const auto top = RawGit(at, {"rev-parse", "--show-toplevel"}, layout.env);
      const auto listed = RawGit(at, {"ls-files", "-z", "--full-name", ":/"}, layout.env);
      if (top.exit_status != 0 || listed.exit_status != 0) continue;
      std::istringstream paths(listed.out);
      for (std::string path; std::getline(paths, path, '\0');) {
        tracked.insert(top.out.substr(0, top.out.size() - 1) + "/" + path);
      }
    }
    // Git itself, in that environment, sees none there: kept all the same.
    for (const std::string& folder : layout.hidden) {
      EXPECT_NE(RawGit(layout.name + "/" + folder, {"rev-parse", "--git-dir"}, layout.env).exit_status, 0)
          << folder;
    }
    for (const std::string& start : layout.starts) {
      const std::string folder = Path(layout.name + (start.empty() ? "" : "/" + start));
      MakeFile(folder + "/junk.obj");
      testsupport::SetMode(folder + "/junk.obj", 0666);
    }
    for (const std::string& start : layout.starts) {
      SCOPED_TRACE("from '" + start + "'");
      const std::string folder = Path(layout.name + (start.empty() ? "" : "/" + start));
      testsupport::ProcessOptions run;
      run.argv = {program, "-n"};
      if (layout.descriptors != 0) {
        run.argv = {"sh", "-c", "ulimit -n " + std::to_string(layout.descriptors) + " && exec \"$0\" -n \"$@\"",
                    program};
      }
      if (!layout.binds.empty()) {
        if (::geteuid() != 0) continue;  // mounting needs root
        std::string mounts;
        for (const auto& [source, shown] : layout.binds) {
          mounts += "mount --bind '" + Path(layout.name + "/" + source) + "' '" +
                    Path(layout.name + "/" + shown) + "' && ";
        }
        run.argv = {"unshare", "-m", "sh", "-c", mounts + "exec \"$0\" -n \"$@\"", program};
      }
      run.argv.insert(run.argv.end(), layout.arguments.begin(), layout.arguments.end());
      if (layout.as_nobody) {
        std::string why_not;
        run.argv = testsupport::AsUnprivilegedUser(run.argv, folder, &why_not);
        if (run.argv.empty()) continue;  // runs as nobody are for root alone
      }
      run.cwd = folder;
      run.env = layout.env;
      const testsupport::ProcessResult result = testsupport::RunProcess(run);
      // From the top, the repository that names a folder outside it is
      // found only on the way down: what it tracks there may be listed,
      // but never without saying so, and never in the start folder itself,
      // cleaned after every other.
      const bool late = !layout.found_late.empty() && start.empty();
      const std::string late_repository = Path(layout.name + "/" + layout.found_late);
      if (late) {
        EXPECT_EQ(result.exit_status, 2);
        EXPECT_NE(result.err.find("but was found only on the way down"), std::string::npos)
            << result.err;
      }
      std::istringstream lines(result.out);
      for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Would delete : ", 0) != 0) continue;
        const std::string path = line.substr(15, line.size() - 16);
        const bool in_start = path.rfind(folder + "/", 0) == 0 &&
                              path.find('/', folder.size() + 1) == std::string::npos;
        for (const std::string& kept : layout.keeps) {
          EXPECT_NE(path, Path(layout.name + "/" + kept)) << path << " is git's";
        }
        if (late && path.rfind(late_repository + "/", 0) != 0 && !in_start) continue;
        EXPECT_EQ(tracked.count(path), 0u) << path << " is tracked";
        for (const std::string& database : databases) {
          EXPECT_NE(path.rfind(database + "/", 0), 0u) << path << " is in " << database;
        }
      }
      const bool junk_goes =
          result.out.find("Would delete : " + folder + "/junk.obj \n") != std::string::npos;
      if (late) {
        // The start, cleaned last, knows by then what the repository found
        // late tracks in it: its untracked junk goes (unless other folders
        // are chosen, or that index can't be read: then it is kept as
        // unknown), its tracked files stay (above).
        const bool junk_unknown =
            result.out.find("Kept (unknown) : " + folder + "/junk.obj \n") != std::string::npos;
        const bool index_unreadable =
            result.err.find("and what it tracks can't be told") != std::string::npos;
        if (layout.arguments.empty()) {
          EXPECT_EQ(junk_goes, !index_unreadable) << result.out;
          EXPECT_EQ(junk_unknown, index_unreadable) << result.out;
        }
      } else if (layout.outcome == kClean || (layout.outcome == kEither && result.exit_status == 0)) {
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_TRUE(junk_goes) << result.out;
        EXPECT_EQ(result.err, "");
      } else if (layout.outcome == kEither) {
        // Too few descriptors for the walk itself: said, and nothing lost.
        EXPECT_EQ(result.exit_status, 2);
        EXPECT_NE(result.err, "");
      } else {
        EXPECT_EQ(result.exit_status, 2);
        EXPECT_NE(result.err.find("Error: cannot tell wh"), std::string::npos) << result.err;
        EXPECT_NE(result.out.find("Kept (unknown) : "), std::string::npos) << result.out;
      }
    }
  }
}

}  // namespace
