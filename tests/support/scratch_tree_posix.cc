// Descriptor-relative tree building and removal: a chain 20,000 folders deep
// has a path far beyond PATH_MAX, so every step goes through an open parent.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "tests/support/scratch_tree.h"

namespace testsupport {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " '" + path + "': " + std::strerror(errno));
}

int OpenFolderAt(int at, const std::string& name) {
  return ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// A descriptor of its own for each listing, so the caller's offset is untouched.
std::vector<std::string> NamesIn(int folder) {
  const int copy = OpenFolderAt(folder, ".");
  DIR* stream = copy < 0 ? nullptr : ::fdopendir(copy);
  if (stream == nullptr) Fail("cannot list", ".");
  std::vector<std::string> names;
  while (const struct dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(stream);
  return names;
}

bool IsRealFolderAt(int folder, const std::string& name) {
  struct stat st;
  return ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Empties the folder open as `folder` of everything but folders; returns the
// name of one subfolder, or "" when none is left. Subfolders are made
// accessible first, so trees that tests locked can still be taken apart.
std::string RemoveFilesAndFindFolder(int folder) {
  for (const std::string& name : NamesIn(folder)) {
    if (IsRealFolderAt(folder, name)) {
      ::fchmodat(folder, name.c_str(), 0700, 0);
      return name;
    }
    if (::unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT) Fail("cannot remove", name);
  }
  return "";
}

}  // namespace

ScratchDir::ScratchDir(Storage storage) {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
  if (storage == Storage::kMemoryIfAvailable && ::access("/dev/shm", W_OK | X_OK) == 0) {
    base = "/dev/shm";
  }
  std::string pattern = base + "/buildsweep-test.XXXXXX";
  if (::mkdtemp(&pattern[0]) == nullptr) Fail("cannot create", pattern);
  // The program reports the real path, so compare against that.
  path_ = fs::canonical(pattern);
  previous_cwd_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EnterAgain();
}

ScratchDir::~ScratchDir() {
  if (previous_cwd_ >= 0) {
    if (::fchdir(previous_cwd_) != 0) std::perror("restoring the working directory");
    ::close(previous_cwd_);
  }
  try {
    RemoveTree(path_);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "leaving scratch tree behind: %s\n", e.what());
  }
}

void ScratchDir::EnterAgain() const { EnterFolder(path_.string()); }

void EnterFolder(const std::string& path) {
  if (::chdir(path.c_str()) != 0) Fail("cannot enter", path);
}

void MakeFolders(const std::string& path) { fs::create_directories(path); }

void MakeFile(const std::string& path, const std::string& contents) {
  const fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) fs::create_directories(parent);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) Fail("cannot write", path);
}

void MakeFiles(const std::string& folder, std::string_view prefix, std::string_view suffix,
               std::size_t count) {
  fs::create_directories(folder);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string file =
        folder + "/" + std::string(prefix) + std::to_string(i) + std::string(suffix);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) Fail("cannot create", file);
    ::close(fd);
  }
}

void MakeBigTree(const std::string& root) {
  for (int folder = 0; folder < 300; ++folder) {
    MakeFiles(root + "/module" + std::to_string(folder), "object", ".obj", 200);
  }
}

void MakeLink(const std::string& target, const std::string& link) {
  fs::create_symlink(target, link);
}

bool Exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

void Rename(const std::string& from, const std::string& to) { fs::rename(from, to); }

void SetMode(const std::string& path, unsigned mode) {
  if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) Fail("cannot chmod", path);
}

void RemoveTree(const std::string& path) {
  ::chmod(path.c_str(), 0700);
  const int top = OpenFolderAt(AT_FDCWD, path);
  if (top < 0) {
    if (errno == ENOENT) return;
    if (::unlink(path.c_str()) != 0) Fail("cannot remove", path);
    return;
  }
  // Go down to a folder without subfolders, empty it, step up through ".."
  // and remove it by the name we came down with; one descriptor at a time.
  std::vector<std::string> names_down;
  int current = ::dup(top);
  for (;;) {
    const std::string sub = RemoveFilesAndFindFolder(current);
    if (!sub.empty()) {
      const int child = OpenFolderAt(current, sub);
      if (child < 0) Fail("cannot open", sub);
      ::close(current);
      current = child;
      names_down.push_back(sub);
      continue;
    }
    if (names_down.empty()) break;
    const int parent = OpenFolderAt(current, "..");
    if (parent < 0) Fail("cannot climb from", names_down.back());
    ::close(current);
    current = parent;
    if (::unlinkat(current, names_down.back().c_str(), AT_REMOVEDIR) != 0) {
      Fail("cannot remove folder", names_down.back());
    }
    names_down.pop_back();
  }
  ::close(current);
  ::close(top);
  if (::rmdir(path.c_str()) != 0) Fail("cannot remove folder", path);
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::set<std::string> Paths(const std::string& root, std::initializer_list<const char*> names) {
  std::set<std::string> paths;
  for (const char* name : names) paths.insert(root + "/" + name);
  return paths;
}

std::set<std::string> FilesBelow(const std::string& root) {
  std::set<std::string> files;
  std::error_code ignored;
  // Without skip_permission_denied the walk would end at the first locked folder.
  for (auto it = fs::recursive_directory_iterator(
           root, fs::directory_options::skip_permission_denied, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_symlink(ignored) || !it->is_directory(ignored)) files.insert(it->path().string());
  }
  return files;
}

void MakeChain(const std::string& base, std::size_t depth, const std::string& name,
               const std::string& leaf_file) {
  int current = OpenFolderAt(AT_FDCWD, base);
  if (current < 0) Fail("cannot open", base);
  for (std::size_t level = 0; level < depth; ++level) {
    if (::mkdirat(current, name.c_str(), 0755) != 0) Fail("cannot create", name);
    const int child = OpenFolderAt(current, name);
    if (child < 0) Fail("cannot open", name);
    ::close(current);
    current = child;
  }
  const int file = ::openat(current, leaf_file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (file < 0) Fail("cannot create", leaf_file);
  ::close(file);
  ::close(current);
}

ChainState InspectChain(const std::string& base, const std::string& name,
                        const std::string& leaf_file) {
  ChainState state;
  int current = OpenFolderAt(AT_FDCWD, base);
  if (current < 0) Fail("cannot open", base);
  for (int child; (child = OpenFolderAt(current, name)) >= 0; ++state.depth) {
    ::close(current);
    current = child;
  }
  state.leaf_present = ::faccessat(current, leaf_file.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0;
  ::close(current);
  return state;
}

void EnterChain(const std::string& base, std::size_t levels, const std::string& name) {
  int current = OpenFolderAt(AT_FDCWD, base);
  for (std::size_t level = 0; current >= 0 && level < levels; ++level) {
    const int child = OpenFolderAt(current, name);
    ::close(current);
    current = child;
  }
  if (current < 0 || ::fchdir(current) != 0) Fail("cannot enter the chain below", base);
  ::close(current);
}

}  // namespace testsupport
