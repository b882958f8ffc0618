// The contract of the native file system, checked on real folders. Written
// against the seam only, so the same tests run on every system (the Windows
// build runs them under wine).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "engine/trash.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/trash.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// Korean, Chinese (simplified, outside the Korean code page) and Japanese
// names, in UTF-8.
const std::string kKoreanName = "\xed\x95\x9c\xea\xb8\x80.obj";
const std::string kChineseName = "\xe7\xae\x80\xe4\xbd\x93.obj";
const std::string kJapaneseName = "\xe6\x97\xa5\xe6\x9c\xac.log";

/// Runs each test in a fresh folder that is the current directory.
class NativeFileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    old_cwd_ = fs::current_path();
    root_ = fs::temp_directory_path() / (std::string("buildsweep-platform-") + test->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    fs::current_path(root_);
  }
  void TearDown() override {
    fs::current_path(old_cwd_);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  static void MakeFile(const std::string& utf8_name) {
    std::ofstream(fs::u8path(utf8_name)) << "x";
  }
  static bool Exists(const std::string& utf8_name) { return fs::exists(fs::u8path(utf8_name)); }

  Dir OpenRoot(FolderInfo* info) {
    Dir dir;
    std::string error;
    EXPECT_TRUE(fs_.OpenCurrentDirectory(&dir, info, &error)) << error;
    return dir;
  }

  std::string open_error_;  // why an open failed, when it did

  std::set<std::pair<std::string, EntryKind>> List(const Dir& dir) {
    EntryList list;
    std::string error;
    EXPECT_TRUE(fs_.ListEntries(dir, &list, &error)) << error;
    std::set<std::pair<std::string, EntryKind>> entries;
    for (const Entry& entry : list.entries) entries.emplace(std::string(list.NameOf(entry)), entry.kind);
    return entries;
  }

  FileSystem& fs_ = NativeFileSystem();
  fs::path old_cwd_;
  fs::path root_;
};

TEST_F(NativeFileSystemTest, CurrentDirectoryIsWhereTheProcessStands) {
  std::string path;
  std::string error;
  ASSERT_TRUE(fs_.CurrentDirectory(&path, &error)) << error;
  EXPECT_EQ(path, fs::current_path().u8string());
}

TEST_F(NativeFileSystemTest, ListsEveryEntryOnceWithItsKindAndExactName) {
  fs::create_directory("sub");
  fs::create_directory("build.obj");
  for (const std::string& name :
       {std::string("main.obj"), std::string("log"), kKoreanName, kChineseName, kJapaneseName}) {
    MakeFile(name);
  }
  FolderInfo info;
  const Dir root = OpenRoot(&info);
  const std::set<std::pair<std::string, EntryKind>> expected = {
      {"sub", EntryKind::kFolder},      {"build.obj", EntryKind::kFolder},
      {"main.obj", EntryKind::kFile},   {"log", EntryKind::kFile},
      {kKoreanName, EntryKind::kFile},  {kChineseName, EntryKind::kFile},
      {kJapaneseName, EntryKind::kFile},
  };
  EXPECT_EQ(List(root), expected);
}

TEST_F(NativeFileSystemTest, AnEmptyFolderListsNothing) {
  fs::create_directory("empty");
  FolderInfo root_info;
  const Dir root = OpenRoot(&root_info);
  Dir empty;
  FolderInfo info;
  ASSERT_EQ(fs_.OpenChild(root, "empty", &empty, &info, &open_error_), OpenResult::kOpened);
  EXPECT_TRUE(List(empty).empty());
}

TEST_F(NativeFileSystemTest, OpensRealFoldersOnlyAndTellsThemApart) {
  fs::create_directories(fs::u8path("a/" + kKoreanName + "/deeper"));
  MakeFile("file.obj");
  FolderInfo root_info;
  const Dir root = OpenRoot(&root_info);

  Dir a;
  FolderInfo a_info;
  ASSERT_EQ(fs_.OpenChild(root, "a", &a, &a_info, &open_error_), OpenResult::kOpened);
  EXPECT_NE(a_info.id, root_info.id);
  Dir again;
  FolderInfo again_info;
  ASSERT_EQ(fs_.OpenChild(root, "a", &again, &again_info, &open_error_), OpenResult::kOpened);
  EXPECT_EQ(again_info.id, a_info.id);

  Dir korean;
  FolderInfo korean_info;
  ASSERT_EQ(fs_.OpenChild(a, kKoreanName, &korean, &korean_info, &open_error_), OpenResult::kOpened) << "a folder named like a target";
  EXPECT_EQ(List(korean), (std::set<std::pair<std::string, EntryKind>>{{"deeper", EntryKind::kFolder}}));

  Dir refused;
  FolderInfo refused_info;
  EXPECT_EQ(fs_.OpenChild(root, "file.obj", &refused, &refused_info, &open_error_), OpenResult::kGone) << "a file is no folder";
  EXPECT_EQ(fs_.OpenChild(root, "missing", &refused, &refused_info, &open_error_), OpenResult::kGone);
  EXPECT_FALSE(refused.is_open());
}

TEST_F(NativeFileSystemTest, ClimbsBackToTheSameParent) {
  fs::create_directories("a/b");
  FolderInfo root_info;
  const Dir root = OpenRoot(&root_info);
  Dir a;
  Dir b;
  FolderInfo a_info;
  FolderInfo b_info;
  ASSERT_EQ(fs_.OpenChild(root, "a", &a, &a_info, &open_error_), OpenResult::kOpened);
  ASSERT_EQ(fs_.OpenChild(a, "b", &b, &b_info, &open_error_), OpenResult::kOpened);

  Dir parent;
  FolderInfo parent_info;
  ASSERT_TRUE(fs_.OpenParent(b, &parent, &parent_info));
  EXPECT_EQ(parent_info.id, a_info.id);
  ASSERT_TRUE(fs_.OpenParent(parent, &parent, &parent_info)) << "reopening into the same Dir";
  EXPECT_EQ(parent_info.id, root_info.id);
}

TEST_F(NativeFileSystemTest, RemovesFilesAndSaysWhyNot) {
  MakeFile("main.obj");
  MakeFile(kChineseName);
  fs::create_directory("folder.obj");
  FolderInfo info;
  const Dir root = OpenRoot(&info);
  std::string error;

  EXPECT_EQ(fs_.RemoveFile(root, "main.obj", &error), RemoveResult::kRemoved);
  EXPECT_FALSE(Exists("main.obj"));
  EXPECT_EQ(fs_.RemoveFile(root, kChineseName, &error), RemoveResult::kRemoved);
  EXPECT_FALSE(Exists(kChineseName));

  EXPECT_EQ(fs_.RemoveFile(root, "main.obj", &error), RemoveResult::kMissing) << "already gone";
  EXPECT_EQ(fs_.RemoveFile(root, "folder.obj", &error), RemoveResult::kIsFolder);
  EXPECT_TRUE(fs::is_directory("folder.obj")) << "folders are never removed";
}

// Git's metadata is read through these: an entry looked at without
// following it, and a whole file (read or mapped) reached by a relative path
// with "..", by an absolute one, or through a link.
TEST_F(NativeFileSystemTest, LooksUpEntriesAndReadsWholeFilesByRelativeOrAbsolutePaths) {
  fs::create_directories("repo/.git/refs");
  fs::create_directories("repo/sub");
  std::ofstream("repo/.git/HEAD", std::ios::binary) << "ref: refs/heads/main\n";
  std::ofstream("repo/.git/empty", std::ios::binary);
  MakeFile("repo/sub/" + kKoreanName);
  FolderInfo info;
  const Dir root = OpenRoot(&info);
  Dir repo;
  std::string error;
  ASSERT_EQ(fs_.OpenChild(root, "repo", &repo, &info, &error), OpenResult::kOpened) << error;
  EntryKind kind = EntryKind::kLink;
  EXPECT_EQ(fs_.LookUpEntry(repo, ".git", &kind, &error), LookupResult::kFound) << error;
  EXPECT_EQ(kind, EntryKind::kFolder);
  EXPECT_EQ(fs_.LookUpEntry(repo, "sub", &kind, &error), LookupResult::kFound);
  EXPECT_EQ(fs_.LookUpEntry(repo, "missing", &kind, &error), LookupResult::kMissing);
  std::string content;
  const std::string absolute = (root_ / "repo" / ".git" / "HEAD").u8string();
  for (const std::string& path :
       {std::string(".git/HEAD"), std::string("sub/../.git/./HEAD"), std::string("../repo/.git/HEAD"),
        absolute}) {
    content.clear();
    EXPECT_EQ(fs_.ReadWholeFile(repo, path, 1000, &content, &error), LookupResult::kFound)
        << path << ": " << error;
    EXPECT_EQ(content, "ref: refs/heads/main\n") << path;
  }
  EXPECT_TRUE(IsAbsolutePath(absolute));
  EXPECT_FALSE(IsAbsolutePath("../repo/.git/HEAD"));
  // A path looked up as it is read, with the identity of what it names:
  // ".." from the folder is the folder it was opened from.
  FolderId id;
  EXPECT_EQ(fs_.LookUpPath(repo, "sub/../.git/HEAD", &kind, &id, &error), LookupResult::kFound);
  EXPECT_EQ(kind, EntryKind::kFile);
  FolderInfo root_info;
  OpenRoot(&root_info);
  EXPECT_EQ(fs_.LookUpPath(repo, "..", &kind, &id, &error), LookupResult::kFound) << error;
  EXPECT_EQ(kind, EntryKind::kFolder);
  if (root_info.id.IsKnown()) {
    EXPECT_EQ(id, root_info.id);
  }
  EXPECT_EQ(fs_.LookUpPath(repo, absolute, &kind, &id, &error), LookupResult::kFound);
  EXPECT_EQ(fs_.LookUpPath(repo, "nowhere/HEAD", &kind, &id, &error), LookupResult::kMissing);
  EXPECT_EQ(fs_.ReadWholeFile(repo, "sub/" + kKoreanName, 1000, &content, &error), LookupResult::kFound);
  EXPECT_EQ(content, "x");
  EXPECT_EQ(fs_.ReadWholeFile(repo, ".git/index", 1000, &content, &error), LookupResult::kMissing);
  EXPECT_EQ(fs_.ReadWholeFile(repo, "nowhere/HEAD", 1000, &content, &error), LookupResult::kMissing);
  // Too large, or a folder: refused with a reason.
  error.clear();
  EXPECT_EQ(fs_.ReadWholeFile(repo, ".git/HEAD", 5, &content, &error), LookupResult::kFailed);
  EXPECT_EQ(error, "it is larger than 5 bytes");
  error.clear();
  EXPECT_EQ(fs_.ReadWholeFile(repo, ".git/refs", 1000, &content, &error), LookupResult::kFailed);
  EXPECT_FALSE(error.empty());
  // Mapped, the same bytes and the same refusals; an empty file too.
  std::unique_ptr<FileSystem::FileBytes> bytes;
  for (const std::string& path : {std::string("../repo/.git/HEAD"), absolute}) {
    ASSERT_EQ(fs_.MapWholeFile(repo, path, 1000, &bytes, &error), LookupResult::kFound) << error;
    EXPECT_EQ(bytes->bytes(), "ref: refs/heads/main\n") << path;
  }
  ASSERT_EQ(fs_.MapWholeFile(repo, ".git/empty", 1000, &bytes, &error), LookupResult::kFound) << error;
  EXPECT_EQ(bytes->bytes(), "");
  EXPECT_EQ(fs_.MapWholeFile(repo, ".git/index", 1000, &bytes, &error), LookupResult::kMissing);
  EXPECT_EQ(fs_.MapWholeFile(repo, ".git/HEAD", 5, &bytes, &error), LookupResult::kFailed);
  EXPECT_EQ(error, "it is larger than 5 bytes");
  error.clear();
  EXPECT_EQ(fs_.MapWholeFile(repo, ".git/refs", 1000, &bytes, &error), LookupResult::kFailed);
  EXPECT_FALSE(error.empty());
}

// The system's trash with a step put in where asked.
class StagedTrash : public TrashSystem {
 public:
  std::string Unsupported() override { return real_.Unsupported(); }
  OpenResult OpenFolderAt(std::string_view path, bool make, Dir* dir, FolderInfo* info,
                          std::vector<FolderId>* made, std::string* error) override {
    return real_.OpenFolderAt(path, make, dir, info, made, error);
  }
  std::uint64_t MountOf(const Dir& dir) override { return real_.MountOf(dir); }
  FolderId NearestExistingFolder(std::string_view path, std::uint64_t* mount) override {
    return real_.NearestExistingFolder(path, mount);
  }
  OpenResult OpenMountTop(const Dir& dir, Dir* top, FolderInfo* info, std::size_t* levels,
                          std::string* error) override {
    if (mount_top.empty()) return real_.OpenMountTop(dir, top, info, levels, error);
    *levels = mount_top_levels;
    return real_.OpenFolderAt(mount_top, false, top, info, nullptr, error);
  }
  SharedTrash OpenSharedTrash(const Dir& top, std::string_view name, Dir* shared,
                              std::string* reason) override {
    if (shared_trash_short_of_handles == 0) return real_.OpenSharedTrash(top, name, shared, reason);
    --shared_trash_short_of_handles;
    *reason = "Too many open files";
    return SharedTrash::kNoHandles;
  }
  OpenResult OpenPrivateFolder(const Dir& parent, std::string_view name, bool make,
                               bool follow_link, std::uint64_t user, Dir* dir, FolderInfo* info,
                               std::string* error) override {
    return real_.OpenPrivateFolder(parent, name, make, follow_link, user, dir, info, error);
  }
  bool MayWriteIn(const Dir& dir, std::string* reason) override {
    return real_.MayWriteIn(dir, reason);
  }
  bool MayLeave(const Dir& dir, std::string_view name, std::string* reason) override {
    return real_.MayLeave(dir, name, reason);
  }
  TrashStep CreateExclusive(const Dir& dir, std::string_view name, std::string_view content,
                            std::string* error) override {
    return real_.CreateExclusive(dir, name, content, error);
  }
  void RemoveCreated(const Dir& dir, std::string_view name) override {
    real_.RemoveCreated(dir, name);
  }
  TrashStep MoveNoReplace(const Dir& from, std::string_view name, const Dir& to,
                          std::string_view to_name, std::string* error) override {
    if (!folder_left) return real_.MoveNoReplace(from, name, to, to_name, error);
    if (real_.MoveNoReplace(from, name, to, to_name, error) != TrashStep::kDone) {
      return TrashStep::kFailed;
    }
    *error = "a folder took the file's place and could not be moved back";
    return TrashStep::kFolderLeft;
  }
  void ReserveHandles(std::size_t count) override { real_.ReserveHandles(count); }
  void ReleaseHandles() override { real_.ReleaseHandles(); }
  void LocalTimeNow(std::string* out) override { real_.LocalTimeNow(out); }

  /// The move does move, then says a folder had taken the file's place and
  /// could not go back.
  bool folder_left = false;
  /// Where not empty, the folder that is the top of every file system,
  /// this many levels above the folder climbed from.
  std::string mount_top;
  std::size_t mount_top_levels = 0;
  /// How many times a shared trash is not looked at for want of descriptors.
  int shared_trash_short_of_handles = 0;

 private:
  TrashSystem& real_ = NativeTrashSystem();
};

// A move into the trash fails only as it should: a file gone is kMissing,
// but a trash folder removed meanwhile leaves the file and says so (taken
// for a file gone, every file would have stayed unreported, status 0); and
// a folder left in the trash keeps its information file, so that the
// desktop's tools can put it back.
TEST_F(NativeFileSystemTest, TrashMovesTellAFileGoneFromATrashGoneAndKeepWhatTheyLeave) {
  TrashSystem& trash = NativeTrashSystem();
  if (!trash.Unsupported().empty()) GTEST_SKIP() << trash.Unsupported();
  const std::string here = fs::current_path().string();
  fs::create_directories("src");
  fs::create_directories("gone");
  MakeFile("src/a.obj");
  Dir src, gone;
  FolderInfo src_info, gone_info;
  std::string error;
  ASSERT_EQ(trash.OpenFolderAt(here + "/src", false, &src, &src_info, nullptr, &error), OpenResult::kOpened);
  ASSERT_EQ(trash.OpenFolderAt(here + "/gone", false, &gone, &gone_info, nullptr, &error),
            OpenResult::kOpened);
  fs::remove("gone");
  EXPECT_EQ(trash.MoveNoReplace(src, "a.obj", gone, "a.obj", &error), TrashStep::kFailed);
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(Exists("src/a.obj"));
  EXPECT_EQ(trash.MoveNoReplace(src, "none.obj", gone, "none.obj", &error), TrashStep::kMissing);
  // A folder where the listing saw a file goes back where it was.
  fs::create_directories("src/d.obj/inner");
  fs::create_directories("bin");
  Dir bin;
  ASSERT_EQ(trash.OpenFolderAt(here + "/bin", false, &bin, &gone_info, nullptr, &error), OpenResult::kOpened);
  EXPECT_EQ(trash.MoveNoReplace(src, "d.obj", bin, "d.obj", &error), TrashStep::kIsFolder);
  EXPECT_TRUE(Exists("src/d.obj/inner"));
  EXPECT_FALSE(Exists("bin/d.obj"));

  StagedTrash left;
  left.folder_left = true;
  engine::TrashSettings settings;
  settings.data_home = here + "/data";
  settings.user = CurrentUserId();
  engine::Trash put(left, settings);
  put.Prepare();
  engine::Trash::Placed placed;
  EXPECT_EQ(put.Put(src, src_info.id.device, here + "/src", "a.obj", &placed, &error),
            RemoveResult::kFailed);
  EXPECT_NE(error.find("it is in the trash as '" + here + "/data/Trash/files/a.obj'"),
            std::string::npos)
      << error;
  EXPECT_TRUE(Exists("data/Trash/files/a.obj"));
  EXPECT_TRUE(Exists("data/Trash/info/a.obj.trashinfo"));
}

// Out of descriptors at a file system's shared trash, whether it would take
// the user is not known: the file stays, and the next file looks again; the
// user's own trash beside it is never made meanwhile.
TEST_F(NativeFileSystemTest, TrashShortOfHandlesAtASharedTrashLooksAgainAtTheNextFile) {
  StagedTrash trash;
  if (!trash.Unsupported().empty()) GTEST_SKIP() << trash.Unsupported();
  const std::string here = fs::current_path().string();
  fs::create_directories("top/.Trash");
  fs::create_directories("top/src");
  fs::permissions("top/.Trash", fs::perms::all | fs::perms::sticky_bit);
  MakeFile("top/src/a.obj");
  MakeFile("top/src/b.obj");
  trash.mount_top = here + "/top";
  trash.mount_top_levels = 1;
  trash.shared_trash_short_of_handles = 1;
  Dir src;
  FolderInfo info;
  std::string error;
  ASSERT_EQ(trash.OpenFolderAt(here + "/top/src", false, &src, &info, nullptr, &error), OpenResult::kOpened);
  engine::TrashSettings settings;
  settings.user = CurrentUserId();
  const std::string user = std::to_string(settings.user);
  engine::Trash put(trash, settings);
  put.Prepare();
  engine::Trash::Placed placed;
  EXPECT_EQ(put.Put(src, info.id.device, here + "/top/src", "a.obj", &placed, &error),
            RemoveResult::kFailed);
  EXPECT_EQ(error, "no trash can be had on its file system: Too many open files");
  EXPECT_FALSE(Exists("top/.Trash-" + user));
  EXPECT_EQ(put.Put(src, info.id.device, here + "/top/src", "b.obj", &placed, &error),
            RemoveResult::kRemoved) << error;
  EXPECT_EQ(placed.entry, here + "/top/.Trash/" + user + "/files/b.obj");
  EXPECT_TRUE(Exists("top/src/a.obj"));
}

}  // namespace
}  // namespace platform
