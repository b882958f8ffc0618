// Counts the writes a program makes to its standard output, for the test at
// a real terminal: loaded with LD_PRELOAD, it stands in front of the C
// library's write and, when the program ends, puts the count in the file
// named by BUILDSWEEP_WRITE_COUNT.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

namespace {

using WriteFunction = ssize_t (*)(int, const void*, size_t);

std::atomic<long> g_output_writes{0};

WriteFunction RealWrite() {
  static const WriteFunction real = reinterpret_cast<WriteFunction>(::dlsym(RTLD_NEXT, "write"));
  return real;
}

__attribute__((destructor)) void SaveCount() {
  const char* path = std::getenv("BUILDSWEEP_WRITE_COUNT");
  if (path == nullptr) return;
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return;
  const std::string count = std::to_string(g_output_writes.load()) + "\n";
  RealWrite()(fd, count.data(), count.size());
  ::close(fd);
}

}  // namespace

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  if (fd == STDOUT_FILENO) g_output_writes.fetch_add(1);
  return RealWrite()(fd, data, size);
}
