#include "driver/run.h"

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
// order and the root last.
void CleanTree(engine::Walker& walker, engine::Report& report, const std::string& root,
              const engine::ExtensionList& extensions, engine::FolderList& folders,
              const RunHooks& hooks) {
  walker.CollectSubFolders(root, folders, extensions);
  if (hooks.after_collection) hooks.after_collection();
  engine::FolderList::Reader reader(folders);
  engine::CollectedFolder folder;
  engine::PathBuilder paths(root);
  while (!walker.ShouldStop() && reader.Next(&folder)) {
    const std::string& current = paths.Enter(folder.depth, folder.name);
    report.Text(kBanner).EndLine();
    walker.CleanFolder(folder, current, extensions);
    CloseBanner(report);
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
  try {
    if (walker.GetRootFolder(root) == 1) CleanTree(walker, report, root, extensions, folders, hooks);
  } catch (const std::bad_alloc&) {
    // Every deletion so far is on record (its line was made room for before
    // the file went), so stop here and end the run the ordinary way.
    out_of_memory = true;
    folders.Clear();
    walker.ReleaseMemory();
    report.Error("Error: out of memory; the cleaning stopped here");
  }
  const long long total = walker.deleted();
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
  if (walker.fell_short() || out_of_memory || report.output_failed()) return kExitIncomplete;
  return answer == -1 ? kExitInputEnded : kExitOk;
}

}  // namespace driver
