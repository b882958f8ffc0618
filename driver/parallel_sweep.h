// Sweeping with several threads while the report stays exactly what one
// thread would write.
//
// The threads share one list in the order a single thread would sweep: the
// folders taken so far, each with the output of its block, and between them
// the subfolders of listed folders that no thread has taken yet. A thread
// always takes the first folder not yet taken, opens it from its parent's
// open handle (never through a link), lists it, puts its subfolders but the
// first into the list right behind it, cleans it through the handle it
// listed, and goes straight on to that first subfolder, which comes next in
// the order, writing it into the same block. So the
// threads work side by side near the front of the order, and blocks are
// written strictly in list order: the thread whose block is first writes
// straight to the report; the others keep their output until their turn.
// What they keep, with what the report holds, stays within the report's
// 64 KiB block: that bounds both the memory it takes and what a failed
// write leaves off the record. A thread that would pass that bound waits
// between two lines; the thread at the front never waits.
#ifndef BUILDSWEEP_DRIVER_PARALLEL_SWEEP_H_
#define BUILDSWEEP_DRIVER_PARALLEL_SWEEP_H_

#include <functional>
#include <string>

#include "engine/extensions.h"
#include "engine/walk.h"
#include "platform/file_system.h"

namespace driver {

/// What the sweeping threads did, besides what the root's walker did.
struct ThreadsOutcome {
  /// Files deleted.
  long long deleted = 0;
  /// Whether they could not do all they should (see Walker::fell_short).
  bool fell_short = false;
};

/// Sweeps every folder below the root, whose displayed path is `root_path`,
/// as `walker.SweepSubFolders` would, with `jobs` threads (the calling one
/// among them) and the same report, byte for byte. `walker` opens and lists
/// the root and is left to clean it; `after_root_listed`, when set, runs
/// before any folder below the root is entered. What the threads did goes
/// into `outcome`; if memory ran out in any of them, std::bad_alloc is
/// thrown once all they recorded is written.
void SweepInParallel(platform::FileSystem& fs, engine::Walker& walker,
                     const std::string& root_path, const engine::ExtensionList& extensions,
                     const std::function<void()>& after_root_listed, unsigned jobs,
                     ThreadsOutcome* outcome);

}  // namespace driver

#endif  // BUILDSWEEP_DRIVER_PARALLEL_SWEEP_H_
