// Cleaning with several threads while the report stays exactly what one
// thread would write.
//
// The folder list is cut into chunks of consecutive folders. Each thread
// takes the next chunk, reaches its folders the way cleaning in order would
// (every folder from its open parent, checked against its collected
// identity) and writes the chunk's blocks into a buffer of its own. The
// buffers are written out strictly in chunk order, by whichever thread
// finishes the chunk that is next, so standard output and standard error
// come out as from one thread; the thread whose chunk is next writes
// straight to the report. Threads run at most a few chunks ahead of what
// has been written, and what they hold back stays, with what the report
// holds, within the report's 64 KiB block: that bounds the memory the
// buffers take and what a failed write leaves off the record.
//
// Cleaning may start while the list is still being collected: a chunk is
// taken once it is whole.
#ifndef BUILDSWEEP_DRIVER_PARALLEL_CLEAN_H_
#define BUILDSWEEP_DRIVER_PARALLEL_CLEAN_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/extensions.h"
#include "engine/folder_list.h"
#include "engine/report.h"
#include "engine/walk.h"
#include "platform/console.h"
#include "platform/file_system.h"

namespace driver {

/// Writes the block of one folder below the root: its banners around what
/// CleanFolder reports.
void CleanFolderBlock(engine::Walker& walker, engine::Report& report,
                      const engine::CollectedFolder& folder, const std::string& path,
                      const engine::ExtensionList& extensions);

/// What the cleaning threads did, besides what the collecting walker did.
struct ThreadsOutcome {
  /// Files deleted.
  long long deleted = 0;
  /// Whether they could not do all they should (see Walker::fell_short).
  bool fell_short = false;
};

/// The folders below the root, cleaned by `jobs` threads as `collector`
/// collects them into `folders`. The root itself is left to the caller.
class ParallelCleaning : private engine::FolderList::Listener {
 public:
  /// Cleaning through `fs`, reporting to `report`, with the calling thread
  /// and `jobs` - 1 more.
  ParallelCleaning(platform::FileSystem& fs, engine::Report& report, engine::Walker& collector,
                   engine::FolderList& folders, const engine::ExtensionList& extensions,
                   const std::string& root, unsigned jobs);
  ~ParallelCleaning() override;
  ParallelCleaning(const ParallelCleaning&) = delete;
  ParallelCleaning& operator=(const ParallelCleaning&) = delete;

  /// Starts the other threads before collection begins. With `hold` they
  /// wait for AllowCleaning; otherwise they clean chunks as they are
  /// collected.
  void Start(bool hold);
  /// Collection has ended: the list is complete.
  void CollectionDone();
  /// Collection ran out of memory: every thread stops, and Finish passes
  /// std::bad_alloc on once what they recorded is written.
  void HaltForLackOfMemory();
  /// Lets threads held by Start begin cleaning.
  void AllowCleaning();
  /// Cleans with the calling thread too until every folder is done (or the
  /// run must stop), waits for the other threads, writes out every block
  /// still held and puts what they did in `outcome`. Then throws
  /// std::bad_alloc if memory ran out in any thread.
  void Finish(ThreadsOutcome* outcome);

 private:
  struct Worker;
  /// What one chunk's blocks wrote, stream by stream, in order.
  struct CapturedOutput {
    struct Piece {
      platform::OutputStream stream;
      std::size_t end;  // in bytes
    };
    std::string bytes;
    std::vector<Piece> pieces;
  };
  /// A place for one chunk's output until it is its turn.
  struct Slot {
    CapturedOutput output;
    std::size_t chunk = 0;
    bool filled = false;
  };
  class CapturingConsole;

  void Appended(std::size_t count) override;
  void Work(Worker& worker);
  bool WaitForChunk(std::size_t chunk, std::size_t* end);
  void CleanChunk(Worker& worker, std::size_t chunk, std::size_t end);
  void HoldBack(Worker& worker);
  void Deliver(Worker& worker, Slot& slot);
  void WriteFilledSlotsInOrder(std::unique_lock<std::mutex>& lock);
  void PassOn(const CapturedOutput& output);
  void ClearSlot(Slot& slot);
  void NoteWritten();
  bool MustStop() const;

  platform::FileSystem& fs_;
  engine::Report& report_;
  engine::Walker& collector_;
  engine::FolderList& folders_;
  const engine::ExtensionList& extensions_;
  const std::string root_;
  const unsigned jobs_;

  std::vector<std::unique_ptr<Worker>> workers_;  // the calling thread's first
  std::vector<std::thread> threads_;
  std::vector<Slot> slots_;
  std::atomic<std::size_t> next_chunk_{0};
  std::atomic<std::size_t> held_bytes_{0};   // in slots, not yet written
  std::atomic<std::size_t> report_held_{0};  // in the run's report, not yet written
  std::atomic<bool> halt_{false};  // output failed, or memory ran out

  std::mutex mutex_;  // guards what follows
  std::condition_variable changed_;
  bool collection_done_ = false;
  bool cleaning_allowed_ = false;
  std::size_t written_ = 0;  // chunks written out
  bool writing_ = false;     // some thread is writing chunks out
  bool out_of_memory_ = false;
  ThreadsOutcome outcome_;
};

}  // namespace driver

#endif  // BUILDSWEEP_DRIVER_PARALLEL_CLEAN_H_
