// The output a run must produce, assembled from its pieces, so that tests
// compare whole standard output byte for byte.
#ifndef BUILDSWEEP_TESTS_SUPPORT_EXPECTED_RUN_H_
#define BUILDSWEEP_TESTS_SUPPORT_EXPECTED_RUN_H_

#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

/// The extension line and the start prompt, in UTF-8 or in CP949.
std::string Header(bool cp949 = false);
/// The line that announces the root.
std::string RootLine(const std::string& root);
/// A subfolder cleaned in full: banner, folder line, one line per deleted
/// name (in the order given), count line, closing banner and empty line.
std::string FolderBlock(const std::string& folder, const std::vector<std::string>& deleted);
/// A subfolder that could not be read, or was gone or no longer a real folder
/// when the run reached it.
std::string SilentBlock();
/// The root, cleaned last: like FolderBlock without the opening banner.
std::string RootBlock(const std::string& root, const std::vector<std::string>& deleted);
/// The total and the exit prompt.
std::string Footer(int total, bool cp949 = false);

/// Builds, in the current directory, the example project: Debug with
/// main.obj, proj.ilk and proj.pdb, an empty res, and main.cpp, proj.ncb and
/// proj.suo of its own.
void MakeExampleProject();
/// The whole standard output of the run on the example project at `root`,
/// written out in full.
std::string ExampleRunOutput(const std::string& root);

/// The paths that follow "Delete : " on each complete line of `report`.
std::set<std::string> DeletedPaths(std::string_view report);
/// The number after "Total Remove File : " in `report`; -1 without one.
long TotalOf(const std::string& report);
/// How many times `needle` occurs in `text`.
std::size_t CountOf(std::string_view text, std::string_view needle);
/// What a dry run prints where a real run with both prompts printed
/// `real_output` (UTF-8): no prompt lines, "Would delete : " for
/// "Delete : ", and after the total the lines of the apparent size `bytes`
/// and of the space `freed`.
std::string AsDryRun(const std::string& real_output, unsigned long long bytes,
                     unsigned long long freed);

}  // namespace testsupport

#endif  // BUILDSWEEP_TESTS_SUPPORT_EXPECTED_RUN_H_
