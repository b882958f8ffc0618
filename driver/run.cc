#include "driver/run.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "driver/chosen_folders.h"
#include "driver/vcs_databases.h"
#include "engine/dry_run.h"
#include "engine/extensions.h"
#include "engine/handle_budget.h"
#include "engine/json.h"
#include "engine/report.h"
#include "engine/sweep.h"
#include "engine/trash.h"
#include "engine/walk.h"
#include "platform/process.h"
#include "platform/trash.h"

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

// The exclusions as a JSON list and, where one is not UTF-8, as the paths
// give theirs, the list "exclude_hex" beside it: every pattern in hex, in the
// same order, so that each can be restored byte for byte.
std::string JsonExclusions(const std::vector<std::string>& patterns) {
  std::string list = "[";
  bool valid = true;
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (i > 0) list += ",";
    valid = engine::AppendJsonString(&list, patterns[i]) && valid;
  }
  list += "]";
  if (valid) return list;
  list += ",\"exclude_hex\":[";
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (i > 0) list += ",";
    list += "\"";
    engine::AppendHex(&list, patterns[i]);
    list += "\"";
  }
  list += "]";
  return list;
}

// The first object of a JSON report: what the run was asked to do.
void ShowJsonRun(engine::Report& report, const Options& options,
                 const engine::ExtensionList& extensions) {
  report.Text("{\"type\":\"run\",\"version\":").Number(engine::kJsonVersion);
  report.Text(",\"dry_run\":").Text(options.dry_run ? "true" : "false");
  report.Text(",\"include_tracked\":").Text(options.include_tracked ? "true" : "false");
  report.Text(",\"older_than\":");
  if (options.older_than_seconds < 0) {
    report.Text("null");
  } else {
    report.Number(options.older_than_seconds);
  }
  if (options.trash) report.Text(",\"trash\":true");
  report.Text(",\"exclude\":").Text(JsonExclusions(options.exclusions));
  report.Text(",\"extensions\":[");
  for (std::size_t i = 0; i < extensions.size(); ++i) {
    if (i > 0) report.Text(",");
    report.JsonString(extensions[i]);
  }
  report.Text("]}").EndLine();
}

void ShowExtensionLine(engine::Report& report, const engine::ExtensionList& extensions) {
  report.Text(kExtensionLabel);
  for (std::size_t i = 0; i < extensions.size(); ++i) {
    if (i > 0) report.Text(",");
    report.Text(extensions[i]);
  }
  report.EndLine();
}

// A stop signal ends the run once the file in hand is done, with every
// deletion so far on record. A JSON record, which would otherwise simply
// break off, says last that the run was stopped and by what, as the status
// a shell sees does.
void EndIfStopped(engine::Report& report) {
  if (!platform::StopRequested()) return;
  if (report.json()) {
    report.Text("{\"type\":\"stopped\",\"signal\":").JsonString(platform::StopSignalName());
    report.Text("}").EndLine();
  }
  report.Flush();
  platform::EndByStopSignal();
}

// Shows `prompt` and waits for one character; returns it, or -1 at the end
// of input. Only this one character is consumed: whatever else was typed on
// the line stays for the next prompt. A stop signal at the prompt ends the
// run there; where stop signals only set the flag, once a JSON record says
// so, as a stop anywhere else does.
int Prompt(engine::Report& report, const engine::LocalizedText& prompt) {
  if (report.json()) {
    report.Text("{\"type\":\"prompt\",\"text\":").JsonString(prompt.utf8).Text("}").EndLine();
  } else {
    report.Text(prompt).EndLine();
  }
  report.Flush();
  const int answer = report.console().ReadChar();
  EndIfStopped(report);
  return answer;
}

// The two lines of a usage error on standard error.
int UsageError(engine::Report& report, const std::string& problem) {
  std::string line = "buildsweep: ";
  report.AppendForDisplay(&line, problem);
  report.Error(line);
  report.Error("Try 'buildsweep --help'.");
  return kExitUsage;
}

std::int64_t Now(const RunHooks& hooks) {
  if (hooks.now) return hooks.now();
  const auto since_1970 = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(since_1970).count();
}

// The threads a run sweeps with from the start: the system's default, or
// as many as -j says but no more than the processors. On a warm cache more
// threads than processors only wait on one another for the report's order;
// the rest are woken once listings show the file system keeps them waiting.
unsigned FirstJobs(const Options& options) {
  if (options.jobs == 0) return platform::DefaultJobCount();
  return std::min(options.jobs, platform::UsableProcessorCount());
}

// The threads a run may grow to while the disk keeps it waiting: as many
// as -j says, or the system's default.
unsigned MostJobs(const Options& options) {
  return options.jobs > 0 ? options.jobs : platform::DefaultMostJobCount();
}

// What the trash is told of the user: where the home trash lies
// ($XDG_DATA_HOME/Trash, else ~/.local/share/Trash; a relative
// XDG_DATA_HOME is no place, as the XDG rules say) and the user's number.
engine::TrashSettings TrashSettingsFor(const Options& options) {
  engine::TrashSettings settings;
  std::string value;
  if (platform::EnvironmentVariable("XDG_DATA_HOME", &value) && platform::IsAbsolutePath(value)) {
    settings.data_home = value;
  } else if (platform::EnvironmentVariable("HOME", &value) && platform::IsAbsolutePath(value)) {
    platform::AppendPathComponent(&value, ".local");
    platform::AppendPathComponent(&value, "share");
    settings.data_home = value;
  }
  // As a run started in it shows it, links resolved: a home reached through
  // a link (/home -> /var/home) must still be known for the trash a run
  // starts in, or its entries would be trashed again and their information
  // left pointing at nothing.
  std::string physical;
  platform::FolderId id;
  if (!settings.data_home.empty() && platform::LookUpFolder(settings.data_home, &physical, &id) &&
      !physical.empty()) {
    settings.data_home = std::move(physical);
  }
  // A home trash that is a link: a run started where it leads is in it.
  const std::string home_trash = engine::HomeTrashPath(settings);
  if (!home_trash.empty() && platform::LookUpFolder(home_trash, &physical, &id) &&
      !physical.empty() && physical != home_trash) {
    settings.home_trash_target = std::move(physical);
  }
  settings.user = platform::CurrentUserId();
  settings.dry_run = options.dry_run;
  return settings;
}

// The run's trash under --trash, made before the chosen folders are held
// (it keeps descriptors for itself), its home trash opened only once the
// run starts (Trash::Prepare); null otherwise.
std::unique_ptr<engine::Trash> MakeTrash(const Options& options) {
  if (!options.trash) return nullptr;
  return std::make_unique<engine::Trash>(platform::NativeTrashSystem(), TrashSettingsFor(options));
}

// Everything one run shares between the folders it cleans.
struct Sweep {
  Sweep(platform::FileSystem& used_fs, engine::Report& run_report, const Options& run_options,
        const engine::ExtensionList& run_extensions, const RunHooks& run_hooks,
        engine::Trash* run_trash)
      : fs(used_fs),
        report(run_report),
        options(run_options),
        extensions(run_extensions),
        hooks(run_hooks),
        walker(used_fs, run_report, SettingsFor(used_fs, run_options, run_hooks, run_trash),
               FirstJobs(run_options), MostJobs(run_options)) {}

  static engine::WalkerSettings SettingsFor(platform::FileSystem& fs, const Options& options,
                                            const RunHooks& hooks, engine::Trash* trash) {
    engine::WalkerSettings settings;
    for (const std::string& pattern : options.exclusions) settings.filter.AddExclusion(pattern);
    // The run's own output files, never deleted; nor the index git is told
    // to use instead of its own, which is git's data wherever it lies.
    settings.kept_files = platform::StandardStreamFiles();
    for (const platform::FolderId& index : IndexFilesNamedByEnvironment(fs)) {
      settings.kept_files.push_back(index);
    }
    // And by its name, wherever git may read it: a relative one is read
    // from whatever work tree's top git runs in (GIT_WORK_TREE's, a nested
    // repository's), and a link is the index to git, not what it leads to.
    std::string index_file;
    if (platform::EnvironmentVariable("GIT_INDEX_FILE", &index_file)) {
      const std::size_t last = index_file.find_last_of(std::string{'/', platform::kPathSeparator});
      if (last != std::string::npos) index_file.erase(0, last + 1);
      if (!index_file.empty()) settings.filter.KeepFilesNamed(index_file);
    }
    settings.dry_run = options.dry_run;
    settings.trash = trash;
    // What the user trashed stays there, with or without --trash.
    const std::string home_trash = engine::HomeTrashPath(TrashSettingsFor(options));
    std::string physical;
    platform::FolderId home_trash_id;
    if (!home_trash.empty() && platform::LookUpFolder(home_trash, &physical, &home_trash_id) &&
        home_trash_id.IsKnown()) {
      settings.never_entered.push_back(home_trash_id);
    }
    // Nor the folders the run made for the home trash: the tree as it was
    // has none, and a dry run shows none.
    if (trash != nullptr) {
      const std::vector<platform::FolderId>& made = trash->made_folders();
      settings.never_entered.insert(settings.never_entered.end(), made.begin(), made.end());
    }
    // A folder shown at a second path (a bind mount) is judged by git at
    // both: its data and what it tracks stay, whichever path the walk takes.
    settings.shown_twice = platform::FoldersShownTwice();
    settings.keep_tracked = !options.include_tracked;
    if (settings.keep_tracked) ReadGitUserConfig(fs);
    // Read with --include-tracked too: judging the repository GIT_DIR names
    // notes where it keeps git's data away from its git dir.
    std::vector<engine::NamedWorkTree> named = WorkTreesNamedByEnvironment(fs);
    if (settings.keep_tracked) settings.named_work_trees = std::move(named);
    // A script wants to know what was kept in a real run too.
    settings.list_kept = options.dry_run || options.json;
    if (options.older_than_seconds >= 0) {
      // Taken once, so that every file of the run is held to the same time.
      settings.keeps_recent = true;
      settings.newest_deleted = Now(hooks) - options.older_than_seconds * 1'000'000'000;
    }
    settings.block_opening = kBanner;
    settings.block_closing = kClosingBanner;
    return settings;
  }

  platform::FileSystem& fs;
  engine::Report& report;
  const Options& options;
  const engine::ExtensionList& extensions;
  const RunHooks& hooks;
  // One walker for every folder the run cleans: its threads start once.
  engine::Walker walker;
  bool out_of_memory = false;
  bool fell_short = false;  // besides what the walker knows
};

// What a run started in the current directory prints from its root line to
// its root's closing banner.
void SweepCurrentDirectory(Sweep& sweep) {
  engine::Walker& walker = sweep.walker;
  std::string root;
  try {
    if (walker.GetRootFolder(root) == 1) {
      walker.SweepSubFolders(root, sweep.extensions, sweep.hooks.after_root_listed);
      if (!walker.ShouldStop()) walker.CleanRoot(root, sweep.extensions);
    }
  } catch (const std::bad_alloc&) {
    // Every deletion so far is on record (its line was made room for before
    // the file went), so stop here and end the run the ordinary way.
    sweep.out_of_memory = true;
    walker.ReleaseMemory();
    sweep.report.DropUnfinishedLine();
    try {
      sweep.report.Error("Error: out of memory; the cleaning stopped here");
    } catch (const std::bad_alloc&) {
      // Not even that line: the status still says the run fell short.
    }
  }
}

// Makes the chosen `folder` the current directory for its turn: the very
// folder its check held, or, where none could be held, the folder by that
// name. Either must still be the folder checked (on POSIX the held one is by
// its nature; elsewhere returning to it goes by its path once more). Says
// why not on standard error.
bool EnterChecked(Sweep& sweep, const platform::Dir& start, const std::string& folder,
                  const CheckedFolder& checked) {
  std::string reason;
  std::string ignored;
  const bool entered =
      checked.held.is_open()
          // Renamed since, it is still found; removed, it has no path left.
          ? platform::ReturnToFolder(checked.held, &reason) &&
                sweep.fs.CurrentDirectory(&ignored, &reason)
          : platform::ReturnToFolder(start, &reason) && platform::ChangeDirectory(folder, &reason);
  if (!entered) {
    // It was there a moment ago: someone removed it since.
    sweep.report.CannotError("enter", folder, reason);
  } else if (platform::KnownToDiffer(platform::CurrentDirectoryId(), checked.id)) {
    sweep.report.CannotError("clean", folder,
                             "it is no longer the folder that was checked before the start");
  } else {
    return true;
  }
  sweep.fell_short = true;
  return false;
}

// Each chosen folder in turn, as its check before the start prompt found it.
void SweepChosenFolders(Sweep& sweep, const platform::Dir& start,
                        std::vector<CheckedFolder>& checked) {
  const std::vector<engine::NamedWorkTree> started_named = sweep.walker.named_work_trees();
  // A repository around one folder may take another as its work tree
  // (core.worktree), where git's discovery from that one never finds it:
  // known before the first is cleaned, its tracked files stay.
  if (checked.size() > 1) {  // with --include-tracked too, for git's data
    for (const std::string& folder : sweep.options.folders) {
      std::string physical;
      platform::FolderId id;
      if (platform::LookUpFolder(folder, &physical, &id) && !physical.empty()) {
        sweep.walker.LookAheadAt(physical);
      }
    }
  }
  for (std::size_t i = 0; i < checked.size(); ++i) {
    if (platform::StopRequested() || sweep.report.output_failed() || sweep.out_of_memory) break;
    const std::string& folder = sweep.options.folders[i];
    if (!checked[i].unenterable_reason.empty()) {
      // What a run started in it would print.
      const std::string& path =
          checked[i].unenterable_path.empty() ? folder : checked[i].unenterable_path;
      sweep.walker.ReportUnreadableRoot(path, checked[i].unenterable_reason);
    } else if (EnterChecked(sweep, start, folder, checked[i])) {
      // As a run started in it: a relative GIT_DIR is read from there, and
      // with no work tree named the folder is the top. The work trees named
      // from where the run was started are kept too: tracked either way,
      // a file stays.
      std::vector<engine::NamedWorkTree> named = started_named;
      for (engine::NamedWorkTree& here : WorkTreesNamedByEnvironment(sweep.fs)) {
        named.push_back(std::move(here));
      }
      if (!sweep.options.include_tracked) sweep.walker.NameWorkTrees(std::move(named));
      sweep.walker.KeepFiles(IndexFilesNamedByEnvironment(sweep.fs));
      SweepCurrentDirectory(sweep);
    }
    checked[i].held.Close();  // its descriptor is the walk's again
  }
  std::string ignored;
  platform::ReturnToFolder(start, &ignored);
}

// How many chosen folders may be held open from their check to their turn:
// as many as leave the run's walk the descriptors its threads would want.
std::size_t FoldersToHold(const Options& options) {
  const std::size_t spare = platform::SpareFolderHandles();
  const std::size_t reserve = engine::HandleBudget::Wanted(spare, MostJobs(options));
  return spare > reserve ? spare - reserve : 0;
}

// "Total Size : 1234567 bytes (1.2 MiB)", under the label `label`.
std::string SizeLine(std::string_view label, std::uint64_t bytes) {
  std::string line = std::string(label) + std::to_string(bytes) + " bytes";
  const std::string readable = engine::ReadableSize(bytes);
  if (!readable.empty()) line += " (" + readable + ")";
  return line;
}

// What the dry run's files would free: nothing where they go to the trash,
// which keeps them on the same disk until it is emptied.
std::uint64_t SpaceFreed(const engine::DryRunFileSystem& dry_run, bool trashed) {
  return trashed ? 0 : dry_run.bytes_freed();
}

// The total, and for a dry run (`dry_run`) the sizes.
void ShowTotal(engine::Report& report, const engine::Walker& walker, bool trashed,
               const engine::DryRunFileSystem* dry_run) {
  report.Text("Total Remove File : ").Number(walker.deleted()).EndLine();
  // Said only where git kept some: elsewhere the report is as it always was.
  if (walker.kept() > 0) {
    report.Text("Total Kept (tracked) : ").Number(walker.kept()).EndLine();
  }
  if (walker.kept_unknown() > 0) {
    report.Text("Total Kept (unknown) : ").Number(walker.kept_unknown()).EndLine();
  }
  // Under --trash every file that went, went there.
  if (trashed) report.Text("Total Trashed : ").Number(walker.deleted()).EndLine();
  if (dry_run != nullptr) {
    // The apparent size, as ls -l adds it up, then what the disk would gain:
    // sparse files and links that stay make the two differ.
    report.Text(SizeLine("Total Size : ", dry_run->apparent_bytes())).EndLine();
    report.Text(SizeLine("Space Freed : ", SpaceFreed(*dry_run, trashed))).EndLine();
  }
}

void ShowJsonTotal(engine::Report& report, long long deleted, long long kept, bool trashed,
                   const engine::DryRunFileSystem* dry_run, long long kept_unknown = 0) {
  report.Text("{\"type\":\"total\",\"deleted\":").Number(deleted);
  report.Text(",\"kept_tracked\":").Number(kept);
  // Only where some were: elsewhere the record is as it always was.
  if (kept_unknown > 0) report.Text(",\"kept_unknown\":").Number(kept_unknown);
  if (trashed) report.Text(",\"trashed\":").Number(deleted);
  if (dry_run != nullptr) {
    report.Text(",\"size\":").Size(dry_run->apparent_bytes());
    report.Text(",\"freed\":").Size(SpaceFreed(*dry_run, trashed));
  }
  report.Text("}").EndLine();
}

}  // namespace

int Run(platform::FileSystem& fs, platform::Console& console, const RunHooks& hooks) {
  return Run(fs, console, Options(), hooks);
}

int Run(platform::FileSystem& fs, platform::Console& console, const Options& options,
        const RunHooks& hooks) {
  engine::Report report(console);
  // Git's data is left alone with or without --include-tracked, so where
  // git looks for it is read first, for the chosen folders' checks too.
  ReadGitDirEnvironment(fs);
  const std::unique_ptr<engine::Trash> trash = MakeTrash(options);
  {
    const engine::TrashSettings trash_settings = TrashSettingsFor(options);
    NoteHomeTrash({engine::HomeTrashPath(trash_settings), trash_settings.home_trash_target});
  }
  platform::Dir start;
  std::vector<CheckedFolder> checked;
  if (!options.folders.empty()) {
    std::string reason;
    if (!platform::RememberCurrentDirectory(&start, &reason)) {
      return UsageError(report, "cannot hold on to the current folder: " + reason);
    }
    const std::string problem =
        CheckChosenFolders(fs, start, options.folders, FoldersToHold(options), &checked);
    if (!problem.empty()) return UsageError(report, problem);
  }
  engine::ExtensionList extensions;
  engine::BuildExtensionList(extensions);
  // Usage errors are for people alone; from here on a script reads along,
  // and its record always opens with the run.
  if (options.json) {
    report.UseJson();
    ShowJsonRun(report, options, extensions);
  }
  if (options.folders.empty()) {
    // Nothing could be deleted there, so nothing is shown or asked either.
    const std::string database = DatabaseAroundCurrentFolder(fs);
    if (!database.empty()) {
      std::string line = "Error: the current folder is part of ";
      report.AppendForDisplay(&line, database);
      line += ", where nothing is deleted";
      report.Error(line);
      // A record ends with its total, even where nothing could be done.
      if (options.json) ShowJsonTotal(report, 0, 0, options.trash, nullptr);
      return kExitIncomplete;
    }
  }
  if (!options.json) ShowExtensionLine(report, extensions);
  const bool prompts = options.ask || (!options.dry_run && !options.no_prompts && !options.json);
  // From the start prompt on, a stop signal only sets the flag: the run
  // ends where it stands, its record saying so.
  platform::DeferStopSignals();
  if (prompts) Prompt(report, kStartPrompt);

  if (trash != nullptr) trash->Prepare();  // before the walk could come across it
  engine::DryRunFileSystem dry_run_fs(fs);
  Sweep sweep(options.dry_run ? dry_run_fs : fs, report, options, extensions, hooks, trash.get());
  if (options.folders.empty()) {
    SweepCurrentDirectory(sweep);
  } else {
    SweepChosenFolders(sweep, start, checked);
  }
  EndIfStopped(report);
  // Put every deletion on record while a signal still only sets the flag: the
  // write may wait long on a slow reader, and a signal with its default
  // action then would take the unwritten lines with it.
  report.Flush();
  platform::RestoreStopSignals();
  EndIfStopped(report);  // a signal that came just before the restore

  engine::ExtensionList().swap(extensions);
  if (options.json) {
    ShowJsonTotal(report, sweep.walker.deleted(), sweep.walker.kept(), options.trash,
                  options.dry_run ? &dry_run_fs : nullptr, sweep.walker.kept_unknown());
  } else {
    ShowTotal(report, sweep.walker, options.trash, options.dry_run ? &dry_run_fs : nullptr);
  }
  // A script waiting at the closing JSON prompt has a stop there on record.
  if (prompts && options.json) platform::DeferStopSignals();
  const int answer = prompts ? Prompt(report, kExitPrompt) : 0;
  if (prompts && options.json) {
    platform::RestoreStopSignals();
    EndIfStopped(report);  // one that came just before the restore
  }
  report.Flush();  // the status must tell whether the last lines were written too
  const bool fell_short = sweep.fell_short || sweep.walker.fell_short();
  if (fell_short || sweep.out_of_memory || report.output_failed()) return kExitIncomplete;
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
  return Run(fs, console, parsed.options);
}

}  // namespace driver
