// How much the tracked-file check costs: loads a work tree's index the way
// the walk does (once per work tree) and asks it about every tracked path
// and as many untracked ones, then sets that against deleting as many
// files, the work each by-product costs anyway.
//
//   bench_tracked_files WORK_TREE [SCRATCH_FOLDER]
//
// SCRATCH_FOLDER (default /dev/shm) gets 80,000 empty files, made and
// deleted again to time deletion.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/git_index.h"
#include "engine/git_work_tree.h"
#include "platform/file_system.h"
#include "platform/process.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// The nanoseconds one deletion takes in `folder`, over `count` files.
double DeletionNanoseconds(const std::string& folder, int count) {
  const std::string scratch = folder + "/bench-tracked-files." + std::to_string(::getpid());
  if (::mkdir(scratch.c_str(), 0700) != 0) return 0;
  const int dir = ::open(scratch.c_str(), O_RDONLY | O_DIRECTORY);
  // The names are made before the clock starts: only the deletions count.
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    names.push_back("object" + std::to_string(i) + ".obj");
    ::close(::openat(dir, names.back().c_str(), O_WRONLY | O_CREAT, 0644));
  }
  const Clock::time_point start = Clock::now();
  for (const std::string& name : names) ::unlinkat(dir, name.c_str(), 0);
  const double seconds = Seconds(start);
  ::close(dir);
  ::rmdir(scratch.c_str());
  return seconds * 1e9 / count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s WORK_TREE [SCRATCH_FOLDER]\n", argv[0]);
    return 2;
  }
  platform::FileSystem& fs = platform::NativeFileSystem();
  std::string error;
  platform::Dir top;
  platform::FolderInfo info;
  if (!platform::ChangeDirectory(argv[1], &error) || !fs.OpenCurrentDirectory(&top, &info, &error)) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
    return 2;
  }
  constexpr int kLoads = 11;
  std::vector<double> loads;
  std::shared_ptr<const engine::TrackedFiles> tracked;
  for (int i = 0; i < kLoads; ++i) {
    const Clock::time_point start = Clock::now();
    tracked = engine::LoadTrackedFiles(fs, top);
    loads.push_back(Seconds(start));
  }
  if (!tracked->readable()) {
    std::fprintf(stderr, "%s\n", tracked->unreadable_reason().c_str());
    return 2;
  }
  // The first load is a run's: memory the process never had costs a page
  // fault each page, which later loads find freed and reuse.
  const double first_load = loads.front();
  std::sort(loads.begin(), loads.end());
  // The questions: every tracked path, and each with an extension more,
  // which is tracked by none.
  std::string bytes;
  engine::GitIndexContent content;
  if (fs.ReadWholeFile(top, ".git/index", engine::kMostGitIndexBytes, &bytes, &error) !=
          platform::LookupResult::kFound ||
      !engine::ParseGitIndex(bytes, nullptr, &content, &error) || content.paths.size() == 0) {
    std::fprintf(stderr, "%s/.git/index: no paths to ask about (%s)\n", argv[1], error.c_str());
    return 2;
  }
  std::vector<std::string> questions;
  for (std::size_t i = 0; i < content.paths.size(); ++i) {
    questions.emplace_back(content.paths[i]);
    questions.push_back(questions.back() + ".obj");
  }
  std::size_t yes = 0;
  constexpr int kRounds = 10;
  const Clock::time_point start = Clock::now();
  for (int round = 0; round < kRounds; ++round) {
    for (const std::string& question : questions) yes += tracked->Tracks(question) ? 1 : 0;
  }
  const double query_ns = Seconds(start) * 1e9 / (static_cast<double>(questions.size()) * kRounds);
  const double delete_ns = DeletionNanoseconds(argc > 2 ? argv[2] : "/dev/shm", 80000);
  std::printf("index: %zu bytes, %zu tracked paths\n", bytes.size(), tracked->size());
  std::printf("load: %.2f ms the first, %.2f ms the median of %d\n", first_load * 1e3,
              loads[kLoads / 2] * 1e3, kLoads);
  std::printf("Tracks(): %.0f ns a query (%zu of %zu tracked)\n", query_ns, yes / kRounds,
              questions.size());
  std::printf("deleting a file: %.0f ns; the check adds %.1f%% to each deletion\n", delete_ns,
              delete_ns > 0 ? 100 * query_ns / delete_ns : 0.0);
  return 0;
}
