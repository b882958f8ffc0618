#include "driver/run.h"

#include "driver/parallel_sweep.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/chosen_folders.h"
#include "engine/dry_run.h"
#include "engine/extensions.h"
#include "engine/report.h"
#include "engine/walk.h"
#include "platform/process.h"

namespace driver {
namespace {

// "Extensions : "
constexpr engine::LocalizedText kExtensionLabel = {
    "\xed\x99\x95\xec\x9e\xa5\xec\x9e\x90 : ",
    "\xc8\xae\xc0\xe5\xc0\xda : ",
};
// "Press Enter to start deleting unneeded files."
constexpr engine::LocalizedText kStartPrompt = {
    "Enter\xeb\xa5\xbc \xec\xb9\x98\xeb\xa9\xb4 \xec\x93\xb8\xeb\x8d\xb0\xec\x97\x86\xeb\x8a\x94 "
    "\xed\x8c\x8c\xec\x9d\xbc \xec\x82\xad\xec\xa0\x9c\xeb\xa5\xbc \xec\x8b\x9c\xec\x9e\x91"
    "\xed\x95\xa9\xeb\x8b\x88\xeb\x8b\xa4.",
    "Enter\xb8\xa6 \xc4\xa1\xb8\xe9 \xbe\xb5\xb5\xa5\xbe\xf8\xb4\xc2 \xc6\xc4\xc0\xcf "
    "\xbb\xe8\xc1\xa6\xb8\xa6 \xbd\xc3\xc0\xdb\xc7\xd5\xb4\xcf\xb4\xd9.",
};
// "Press Enter to exit."
constexpr engine::LocalizedText kExitPrompt = {
    "Enter\xeb\xa5\xbc \xec\xb9\x98\xeb\xa9\xb4 \xec\xa2\x85\xeb\xa3\x8c\xed\x95\xa9\xeb\x8b\x88"
    "\xeb\x8b\xa4.",
    "Enter\xb8\xa6 \xc4\xa1\xb8\xe9 \xc1\xbe\xb7\xe1\xc7\xd5\xb4\xcf\xb4\xd9.",
};
// Each folder's block ends with the banner and an empty line.
constexpr std::string_view kClosingBanner =
    "================================================================\n";
constexpr std::string_view kBanner = kClosingBanner.substr(0, kClosingBanner.size() - 1);

void ShowExtensionLine(engine::Report& report, const engine::ExtensionList& extensions) {
  report.Text(kExtensionLabel);
  for (std::size_t i = 0; i < extensions.size(); ++i) {
    if (i > 0) report.Text(",");
    report.Text(extensions[i]);
  }
  report.EndLine();
}

// Shows `prompt` and waits for one character; returns it, or -1 at the end
// of input. Only this one character is consumed: whatever else was typed on
// the line stays for the next prompt.
int Prompt(engine::Report& report, const engine::LocalizedText& prompt) {
  report.Text(prompt).EndLine();
  report.Flush();
  return report.console().ReadChar();
}

// Threads share the handles of folders whose subfolders wait (up to half of
// the spare ones) and each holds a few more while it works: run several only
// when the descriptors leave each the room a single walker's window would
// take, so a low limit costs speed, never folders.
unsigned ThreadsTheHandlesAllow(unsigned jobs) {
  constexpr std::size_t kHandlesPerChain = engine::FolderStack::kDefaultWindow + 2;
  const std::size_t chains = platform::SpareFolderHandles() / kHandlesPerChain;
  if (chains < 3) return 1;
  return static_cast<unsigned>(std::min<std::size_t>(jobs, chains - 1));
}

// Sweeps the whole tree below the root with `jobs` threads, then cleans the
// root last. What other threads did goes into `threads`.
void CleanTree(platform::FileSystem& fs, engine::Walker& walker, const std::string& root,
               const engine::ExtensionList& extensions, const RunHooks& hooks, unsigned jobs,
               ThreadsOutcome* threads) {
  if (jobs > 1) jobs = ThreadsTheHandlesAllow(jobs);
  if (jobs > 1) {
    SweepInParallel(fs, walker, root, extensions, hooks.after_root_listed, jobs, threads);
  } else {
    walker.SweepSubFolders(root, extensions, hooks.after_root_listed);
  }
  if (walker.ShouldStop()) return;
  walker.CleanRoot(root, extensions);
}

// A stop signal ends the run once the file in hand is done, with every
// deletion so far on record.
void EndIfStopped(engine::Report& report) {
  if (!platform::StopRequested()) return;
  report.Flush();
  platform::EndByStopSignal();
}

// The two lines of a usage error on standard error.
int UsageError(engine::Report& report, const std::string& problem) {
  std::string line = "buildsweep: ";
  report.AppendForDisplay(&line, problem);
  report.Error(line);
  report.Error("Try 'buildsweep --help'.");
  return kExitUsage;
}

// Everything one run shares between the folders it cleans.
struct Sweep {
  Sweep(platform::FileSystem& used_fs, engine::Report& run_report, const Options& run_options,
        const engine::ExtensionList& run_extensions, const RunHooks& run_hooks)
      : fs(used_fs),
        report(run_report),
        options(run_options),
        extensions(run_extensions),
        hooks(run_hooks),
        kept_files(platform::StandardStreamFiles()) {}

  platform::FileSystem& fs;
  engine::Report& report;
  const Options& options;
  const engine::ExtensionList& extensions;
  const RunHooks& hooks;
  /// The run's own output files, never deleted.
  const std::vector<platform::FolderId> kept_files;
  long long deleted = 0;
  bool fell_short = false;
  bool out_of_memory = false;
};

// What a run started in the current directory prints from its root line to
// its root's closing banner.
void SweepCurrentDirectory(Sweep& sweep) {
  engine::WalkerSettings settings;
  for (const std::string& pattern : sweep.options.exclusions) {
    settings.filter.AddExclusion(pattern);
  }
  settings.kept_files = sweep.kept_files;
  if (sweep.options.dry_run) settings.deletion_label = "Would delete : ";
  settings.block_opening = kBanner;
  settings.block_closing = kClosingBanner;
  engine::Walker walker(sweep.fs, sweep.report, std::move(settings));
  std::string root;
  const unsigned jobs = sweep.options.jobs > 0 ? sweep.options.jobs : platform::DefaultJobCount();
  ThreadsOutcome threads;
  try {
    if (walker.GetRootFolder(root) == 1) {
      CleanTree(sweep.fs, walker, root, sweep.extensions, sweep.hooks, jobs, &threads);
    }
  } catch (const std::bad_alloc&) {
    // Every deletion so far is on record (its line was made room for before
    // the file went), so stop here and end the run the ordinary way.
    sweep.out_of_memory = true;
    walker.ReleaseMemory();
    sweep.report.Error("Error: out of memory; the cleaning stopped here");
  }
  sweep.deleted += walker.deleted() + threads.deleted;
  sweep.fell_short = sweep.fell_short || walker.fell_short() || threads.fell_short;
}

// Each chosen folder in turn, each entered from where the run started, the
// way the check before the start prompt entered it.
void SweepChosenFolders(Sweep& sweep, const platform::Dir& start) {
  for (const std::string& folder : sweep.options.folders) {
    if (platform::StopRequested() || sweep.report.output_failed() || sweep.out_of_memory) break;
    std::string reason;
    if (!platform::ReturnToFolder(start, &reason) || !platform::ChangeDirectory(folder, &reason)) {
      // It was there a moment ago: someone removed it since.
      sweep.report.CannotError("enter", folder, reason);
      sweep.fell_short = true;
      continue;
    }
    SweepCurrentDirectory(sweep);
  }
  std::string ignored;
  platform::ReturnToFolder(start, &ignored);
}

std::string SizeLine(std::uint64_t bytes) {
  std::string line = "Total Size : " + std::to_string(bytes) + " bytes";
  const std::string readable = engine::ReadableSize(bytes);
  if (!readable.empty()) line += " (" + readable + ")";
  return line;
}

}  // namespace

int Run(platform::FileSystem& fs, platform::Console& console, const RunHooks& hooks) {
  return Run(fs, console, Options(), hooks);
}

int Run(platform::FileSystem& fs, platform::Console& console, const Options& options,
        const RunHooks& hooks) {
  engine::Report report(console);
  platform::Dir start;
  if (!options.folders.empty()) {
    std::string reason;
    if (!platform::RememberCurrentDirectory(&start, &reason)) {
      return UsageError(report, "cannot hold on to the current folder: " + reason);
    }
    const std::string problem = CheckChosenFolders(fs, start, options.folders);
    if (!problem.empty()) return UsageError(report, problem);
  }
  engine::ExtensionList extensions;
  engine::BuildExtensionList(extensions);
  ShowExtensionLine(report, extensions);
  const bool prompts = !options.dry_run && !options.no_prompts;
  if (prompts) Prompt(report, kStartPrompt);

  engine::DryRunFileSystem dry_run_fs(fs);
  Sweep sweep(options.dry_run ? dry_run_fs : fs, report, options, extensions, hooks);
  platform::DeferStopSignals();
  if (options.folders.empty()) {
    SweepCurrentDirectory(sweep);
  } else {
    SweepChosenFolders(sweep, start);
  }
  EndIfStopped(report);
  // Put every deletion on record while a signal still only sets the flag: the
  // write may wait long on a slow reader, and a signal with its default
  // action then would take the unwritten lines with it.
  report.Flush();
  platform::RestoreStopSignals();
  EndIfStopped(report);  // a signal that came just before the restore

  engine::ExtensionList().swap(extensions);
  report.Text("Total Remove File : ").Number(sweep.deleted).EndLine();
  if (options.dry_run) report.Text(SizeLine(dry_run_fs.bytes_freed())).EndLine();
  const int answer = prompts ? Prompt(report, kExitPrompt) : 0;
  report.Flush();  // the status must tell whether the last lines were written too
  if (sweep.fell_short || sweep.out_of_memory || report.output_failed()) return kExitIncomplete;
  return answer == -1 ? kExitInputEnded : kExitOk;
}

int RunCommandLine(platform::FileSystem& fs, platform::Console& console,
                   const std::vector<std::string>& arguments) {
  const ParsedCommandLine parsed = ParseCommandLine(arguments);
  if (!parsed.error.empty()) {
    engine::Report report(console);
    return UsageError(report, parsed.error);
  }
  if (parsed.options.show_help || parsed.options.show_version) {
    engine::Report report(console);
    report.Text(parsed.options.show_help ? HelpText() : VersionText());
    report.Flush();
    return report.output_failed() ? kExitIncomplete : kExitOk;
  }
  Options options = parsed.options;
  // Threads beyond the processors could only wait on one another: the one
  // whose folder comes first must run for the others' output to go out.
  if (options.jobs > 1) options.jobs = std::min(options.jobs, platform::UsableProcessors());
  return Run(fs, console, options);
}

}  // namespace driver
