// Trees built to break the walk or the report: names made of every byte
// there is, and one folder of a hundred thousand files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/support/expected_run.h"
#include "tests/support/fakes.h"
#include "tests/support/scratch_tree.h"

namespace testsupport {
namespace {

namespace fs = std::filesystem;

// Every line a run writes, but the fixed first two and the last, starts with
// one of its labels or is a banner or empty: a name can't forge a line.
void ExpectOnlyReportLines(const std::string& report) {
  static const char* const kStarts[] = {"Root Path = ", "Folder : ", "Delete : ",
                                        "Remove File Count = ", "Total Remove File : ", "====="};
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; at < report.size(); at = end + 1) {
    end = std::min(report.find('\n', at), report.size());  // a last line without its end too
    lines.push_back(report.substr(at, end - at));
  }
  ASSERT_GT(lines.size(), 3u);
  for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
    const std::string& line = lines[i];
    bool known = line.empty();
    for (const char* start : kStarts) known = known || line.rfind(start, 0) == 0;
    EXPECT_TRUE(known) << "line " << i << ": " << line;
  }
}

TEST(HostileTreeTest, NamesWithEveryByteAreCleanedAndNeverBreakALine) {
  ScratchDir tmp;
  const fs::path root = tmp.path() / "proj";
  std::set<std::string> targets;
  std::string low, high;
  for (int byte = 1; byte < 256; ++byte) {
    if (byte == '/') continue;
    const std::string b(1, static_cast<char>(byte));
    (byte < 128 ? low : high) += b;
    MakeFile(root / ("n" + b + ".obj"));
    targets.insert((root / ("n" + b + ".obj")).string());
    MakeFile(root / ("n" + b + ".txt"));
    if (byte == '.') continue;  // "." names the folder itself
    MakeFile(root / b / "t.obj");
    targets.insert((root / b / "t.obj").string());
  }
  for (const std::string& name : {low + ".obj", high + ".obj"}) {
    MakeFile(root / name);
    targets.insert((root / name).string());
  }
  const std::set<std::string> before = FilesBelow(root);
  const RunResult run = RunIn(root);

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(TotalOf(run.out), static_cast<long>(targets.size()));
  EXPECT_EQ(CountOf(run.out, "Delete : "), targets.size());
  std::set<std::string> kept;
  for (const std::string& file : before) {
    if (targets.count(file) == 0) kept.insert(file);
  }
  EXPECT_EQ(FilesBelow(root), kept);
  for (char c : run.out) {
    const auto byte = static_cast<unsigned char>(c);
    ASSERT_TRUE(byte == '\n' || (byte >= 0x20 && byte != 0x7f)) << "raw control byte " << int{byte};
  }
  ExpectOnlyReportLines(run.out);
}

TEST(HostileTreeTest, FolderOfAHundredThousandFilesIsCleanedCompletely) {
  ScratchDir tmp(Storage::kMemoryIfAvailable);
  const fs::path root = tmp.path() / "proj";
  MakeFiles(root / "huge", "by-product", ".obj", 50000);
  MakeFiles(root / "huge", "source", ".cpp", 50000);
  const RunResult run = RunIn(root);

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(TotalOf(run.out), 50000);
  EXPECT_EQ(CountOf(run.out, "Remove File Count = 50000\n"), 1u);
  EXPECT_EQ(FilesBelow(root).size(), 50000u);
  for (const std::string& file : FilesBelow(root)) {
    ASSERT_EQ(fs::path(file).extension(), ".cpp") << file;
  }
}

}  // namespace
}  // namespace testsupport
