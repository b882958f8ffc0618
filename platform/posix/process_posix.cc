#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/process.h"

namespace platform {

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  // Kept as bytes: a name that is not valid in the locale is still a name.
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return arguments;
}

bool IsSystemHelpSwitch(std::string_view /*argument*/) { return false; }

bool ChangeDirectory(std::string_view path, std::string* error) {
  // chdir resolves every link on the way, so getcwd then gives the physical
  // path, as after `cd -P`.
  const std::string terminated(path);
  if (::chdir(terminated.c_str()) == 0) return true;
  *error = std::strerror(errno);
  return false;
}

bool RememberCurrentDirectory(Dir* dir, std::string* error) {
  // Only to come back to: a folder we may search but not read will do,
  // which O_PATH allows where it exists.
#if defined(O_PATH)
  const int fd = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
  const int fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  dir->Reset(fd);
  return true;
}

bool ReturnToFolder(const Dir& dir, std::string* error) {
  if (::fchdir(dir.native()) == 0) return true;
  *error = std::strerror(errno);
  return false;
}

namespace {

FolderId IdOf(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace

FolderId CurrentDirectoryId() {
  struct stat st;
  if (::stat(".", &st) != 0) return FolderId();
  return IdOf(st);
}

bool LookUpFolder(std::string_view path, std::string* physical, FolderId* id) {
  // stat and realpath need the right to search the folders above, not the
  // folder itself.
  const std::string terminated(path);
  struct stat st;
  if (::stat(terminated.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  *id = IdOf(st);
  physical->clear();
  if (char* resolved = ::realpath(terminated.c_str(), nullptr)) {
    physical->assign(resolved);
    std::free(resolved);
  }
  return true;
}

bool EnvironmentVariable(std::string_view name, std::string* value) {
  const char* set = ::getenv(std::string(name).c_str());
  if (set == nullptr) return false;
  value->assign(set);
  return true;
}

const char kPathListSeparator = ':';

std::uint64_t CurrentUserId() { return static_cast<std::uint64_t>(::geteuid()); }

}  // namespace platform
