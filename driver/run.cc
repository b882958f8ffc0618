#include "driver/run.h"

#include "driver/parallel_clean.h"

#include <algorithm>
#include <cstddef>
#include <new>
#include <string>

#include "engine/extensions.h"
#include "engine/folder_list.h"
#include "engine/report.h"
#include "engine/walk.h"

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
constexpr const char* kBanner = "================================================================";

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

void CloseBanner(engine::Report& report) { report.Text(kBanner).Text("\n").EndLine(); }

// Collects the tree, then cleans every folder below the root in collection
// order.
void CleanSubFolders(engine::Walker& walker, engine::Report& report, const std::string& root,
                     const engine::ExtensionList& extensions, engine::FolderList& folders,
                     const RunHooks& hooks) {
  walker.CollectSubFolders(root, folders, extensions);
  if (hooks.after_collection) hooks.after_collection();
  engine::FolderList::Reader reader(folders);
  engine::CollectedFolder folder;
  engine::PathBuilder paths(root);
  while (!walker.ShouldStop() && reader.Next(&folder)) {
    CleanFolderBlock(walker, report, folder, paths.Enter(folder.depth, folder.name), extensions);
  }
}

// The same with `jobs` threads, which clean while the tree is collected;
// the report is the same, byte for byte. What the threads did goes into
// `threads`, also when memory runs out (std::bad_alloc is passed on once
// all they recorded is written).
void CleanSubFoldersInParallel(platform::FileSystem& fs, engine::Walker& walker,
                               engine::Report& report, const std::string& root,
                               const engine::ExtensionList& extensions,
                               engine::FolderList& folders, const RunHooks& hooks, unsigned jobs,
                               ThreadsOutcome* threads) {
  ParallelCleaning cleaning(fs, report, walker, folders, extensions, root, jobs);
  // A test that changes the tree between the phases gets them one after
  // the other.
  const bool phases_apart = static_cast<bool>(hooks.after_collection);
  cleaning.Start(phases_apart);
  bool collected = false;
  try {
    walker.CollectSubFolders(root, folders, extensions);
    collected = true;
  } catch (const std::bad_alloc&) {
    cleaning.HaltForLackOfMemory();
  }
  cleaning.CollectionDone();
  if (collected && phases_apart) hooks.after_collection();
  cleaning.Finish(threads);
}

// Each cleaning thread holds its own chain of open folders, besides the one
// collection holds: use only as many threads as can each have a full
// window of descriptors, so a low limit costs speed, never folders.
unsigned ThreadsTheHandlesAllow(unsigned jobs) {
  constexpr std::size_t kHandlesPerChain = engine::FolderStack::kDefaultWindow + 2;
  const std::size_t chains = platform::SpareFolderHandles() / kHandlesPerChain;
  if (chains < 3) return 1;
  return static_cast<unsigned>(std::min<std::size_t>(jobs, chains - 1));
}

// Cleans the whole tree, the root last.
void CleanTree(platform::FileSystem& fs, engine::Walker& walker, engine::Report& report,
               const std::string& root, const engine::ExtensionList& extensions,
               engine::FolderList& folders, const RunHooks& hooks, ThreadsOutcome* threads) {
  const unsigned jobs = hooks.jobs > 1 ? ThreadsTheHandlesAllow(hooks.jobs) : 1;
  if (jobs > 1) {
    CleanSubFoldersInParallel(fs, walker, report, root, extensions, folders, hooks, jobs, threads);
  } else {
    CleanSubFolders(walker, report, root, extensions, folders, hooks);
  }
  if (walker.ShouldStop()) return;
  walker.CleanFolder(walker.root(), root, extensions);
  CloseBanner(report);
}

// A stop signal ends the run once the file in hand is done, with every
// deletion so far on record.
void EndIfStopped(engine::Report& report) {
  if (!platform::StopRequested()) return;
  report.Flush();
  platform::EndByStopSignal();
}

}  // namespace

void CleanFolderBlock(engine::Walker& walker, engine::Report& report,
                      const engine::CollectedFolder& folder, const std::string& path,
                      const engine::ExtensionList& extensions) {
  report.Text(kBanner).EndLine();
  walker.CleanFolder(folder, path, extensions);
  CloseBanner(report);
}

int Run(platform::FileSystem& fs, platform::Console& console, const RunHooks& hooks) {
  engine::Report report(console);
  std::string root;
  engine::FolderList folders;
  engine::ExtensionList extensions;
  engine::BuildExtensionList(extensions);
  ShowExtensionLine(report, extensions);
  Prompt(report, kStartPrompt);

  engine::Walker walker(fs, report);
  walker.KeepFiles(platform::StandardStreamFiles());
  platform::DeferStopSignals();
  bool out_of_memory = false;
  ThreadsOutcome threads;
  try {
    if (walker.GetRootFolder(root) == 1) {
      CleanTree(fs, walker, report, root, extensions, folders, hooks, &threads);
    }
  } catch (const std::bad_alloc&) {
    // Every deletion so far is on record (its line was made room for before
    // the file went), so stop here and end the run the ordinary way.
    out_of_memory = true;
    folders.Clear();
    walker.ReleaseMemory();
    report.Error("Error: out of memory; the cleaning stopped here");
  }
  const long long total = walker.deleted() + threads.deleted;
  EndIfStopped(report);
  // Put every deletion on record while a signal still only sets the flag: the
  // write may wait long on a slow reader, and a signal with its default
  // action then would take the unwritten lines with it.
  report.Flush();
  platform::RestoreStopSignals();
  EndIfStopped(report);  // a signal that came just before the restore

  folders.Clear();
  engine::ExtensionList().swap(extensions);
  report.Text("Total Remove File : ").Number(total).EndLine();
  const int answer = Prompt(report, kExitPrompt);
  if (walker.fell_short() || threads.fell_short || out_of_memory || report.output_failed()) {
    return kExitIncomplete;
  }
  return answer == -1 ? kExitInputEnded : kExitOk;
}

}  // namespace driver
