// Real folder trees for tests, made and removed through the OS so that trees
// far deeper than PATH_MAX can be built and taken apart. The OS calls live in
// scratch_tree_posix.cc, so tests that only build trees need no OS headers.
#ifndef BUILDSWEEP_TESTS_SUPPORT_SCRATCH_TREE_H_
#define BUILDSWEEP_TESTS_SUPPORT_SCRATCH_TREE_H_

#include <cstddef>
#include <filesystem>
#include <initializer_list>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

/// Where a ScratchDir is made.
enum class Storage { kTmpDir, kMemoryIfAvailable };

/// A fresh folder under $TMPDIR (or /tmp) that is the current directory for
/// the object's lifetime; the previous current directory is restored and the
/// whole tree removed afterwards, however deep it has become and whatever
/// folders in it a test locked.
class ScratchDir {
 public:
  /// Trees of tens of thousands of files take seconds to create on a disk;
  /// kMemoryIfAvailable makes them in /dev/shm where the system has one.
  explicit ScratchDir(Storage storage = Storage::kTmpDir);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  /// The absolute, canonical path of the scratch folder.
  const std::filesystem::path& path() const { return path_; }

 private:
  void EnterAgain() const;

  std::filesystem::path path_;
  int previous_cwd_;
};

/// Makes the folder `path` the current directory.
void EnterFolder(const std::string& path);
/// Creates the folder `path` and any missing parents (like mkdir -p).
void MakeFolders(const std::string& path);
/// Creates (or truncates) the file `path`, creating missing parent folders.
void MakeFile(const std::string& path, const std::string& contents = "");
/// Creates `count` empty files named `<prefix><i><suffix>` in the folder
/// `folder`, creating it if missing.
void MakeFiles(const std::string& folder, std::string_view prefix, std::string_view suffix,
               std::size_t count);
/// 60,000 by-products in 300 folders below `root`: a report of a few
/// megabytes, written in many blocks, so a signal or a lost reader can meet
/// the cleaning while it surely goes on.
void MakeBigTree(const std::string& root);
/// Creates the symbolic link `link` pointing at `target`.
void MakeLink(const std::string& target, const std::string& link);
/// Whether anything (a dangling link included) exists at `path`.
bool Exists(const std::string& path);
/// Renames `from` to `to`.
void Rename(const std::string& from, const std::string& to);
/// Sets the permission bits of `path`.
void SetMode(const std::string& path, unsigned mode);
/// Removes `path` and everything below it, without following links.
void RemoveTree(const std::string& path);
/// The names in folder `path`, sorted, without "." and "..".
std::vector<std::string> ListFolder(const std::string& path);
/// `root`/`name` for each of `names`, as full paths.
std::set<std::string> Paths(const std::string& root, std::initializer_list<const char*> names);
/// Every entry below `root` that is not a folder, links included, as full
/// paths; folders that can't be read are passed over.
std::set<std::string> FilesBelow(const std::string& root);

/// Creates `depth` nested folders below the existing folder `base`, each
/// named `name`, and a file `leaf_file` in the deepest. Works relative to
/// open descriptors, so the total path length is not limited.
void MakeChain(const std::string& base, std::size_t depth, const std::string& name,
               const std::string& leaf_file);
/// What is left of a chain made by MakeChain.
struct ChainState {
  /// How many folders deep the chain still goes.
  std::size_t depth = 0;
  /// Whether its deepest folder still holds the leaf file.
  bool leaf_present = false;
};
/// Walks the chain of folders named `name` below `base` and reports it.
ChainState InspectChain(const std::string& base, const std::string& name,
                        const std::string& leaf_file);
/// Makes the folder `levels` steps down the chain below `base` the current
/// directory (a path that may exceed PATH_MAX).
void EnterChain(const std::string& base, std::size_t levels, const std::string& name);

}  // namespace testsupport

#endif  // BUILDSWEEP_TESTS_SUPPORT_SCRATCH_TREE_H_
