// Sweeping the folders below a root with any number of threads, one being
// simply one worker, while the report stays exactly what one thread writes.
//
// The workers share one list in the order a single thread sweeps: the
// folders taken so far, each with the output of its block, and between them
// the subfolders of listed folders that no worker has taken yet. A worker
// always takes the first folder not yet taken, moves its own stack of open
// folders onto the parent (taking over the parent's handle where the waiting
// subfolders hold it, climbing back or reaching it by name where not, every
// step identity-checked), opens it without following links, lists it, puts
// its subfolders but the first into the list right behind it, cleans it
// through the handle it listed, and goes straight on to that first
// subfolder, which comes next in the order, writing it into the same block.
// So the workers work side by side near the front of the order, and blocks
// are written strictly in list order: the worker whose block is first writes
// straight to the report; the others keep their output until their turn.
// What they keep, with what the report holds, stays within the report's
// 64 KiB block: that bounds both the memory it takes and what a failed
// write leaves off the record. Where the file system keeps requests
// waiting, only deleting waits for that room: a worker whose block is not
// first and whose folder's lines are many, or would not fit with room to
// spare, puts its cleaning off (the folder open and listed, kept with its
// block) and lists on, and put off folders are cleaned in the order's order
// as room comes, so the room goes to the blocks the report needs first.
// The worker at the front never waits.
#ifndef BUILDSWEEP_ENGINE_SWEEP_H_
#define BUILDSWEEP_ENGINE_SWEEP_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/extensions.h"
#include "engine/folder_stack.h"
#include "engine/handle_budget.h"
#include "engine/listing_pace.h"
#include "engine/record_room.h"
#include "engine/report.h"
#include "engine/walk.h"
#include "platform/file_system.h"

namespace engine {

/// The workers of one run and the order they share. Each thread starts in
/// the first Run that needs it and waits between runs, so a run over many
/// folders starts it once.
class Sweep {
 public:
  /// A sweep through `fs` that reports to `report` as `settings` say, with
  /// up to `jobs` workers: fewer when the spare descriptors leave too few
  /// for each, or the system grants fewer threads or too little memory.
  /// Up to `most_jobs` wait beside them, woken once listings show that the
  /// file system keeps them waiting (see ListingPace): the others then
  /// mostly wait on it, and more of them keep it busy.
  Sweep(platform::FileSystem& fs, Report& report, const WalkerSettings& settings, unsigned jobs,
        unsigned most_jobs = 0);
  ~Sweep();
  Sweep(const Sweep&) = delete;
  Sweep& operator=(const Sweep&) = delete;

  /// Sweeps every folder below the open `root` (identity `root_id`, shown as
  /// `root_path`), whose subfolders, sorted, are `names`. Throws
  /// std::bad_alloc, once all that was done is on record, if memory ran out.
  /// `work_tree` is the git work tree the root lies in; null for none.
  void Run(const std::shared_ptr<const platform::Dir>& root, const platform::FolderId& root_id,
           const std::string& root_path, platform::EntryList* names,
           const ExtensionList& extensions, std::shared_ptr<const WorkTree> work_tree);

  /// Notes that the root's listing, before Run, took `taken` for
  /// `listed_bytes` of names: one that waited on the file system wakes more
  /// workers before the first folder is taken. Woken only by the sweep's
  /// own listings, they would find the first workers gone deep, and the
  /// root's later subfolders would wait for them to come back up.
  void NoteRootListingTime(std::chrono::steady_clock::duration taken, std::size_t listed_bytes);

  /// Files deleted by every worker so far.
  long long deleted() const;
  /// Files every worker kept because git tracks them.
  long long kept() const;
  /// Files every worker kept because what git tracks can't be told.
  long long kept_unknown() const;
  /// Whether any worker could not do all it should.
  bool fell_short() const;
  /// Gives back the memory the workers keep for reuse; between runs only.
  void ReleaseMemory();

 private:
  struct Worker;
  struct Entry;
  struct Task;
  class CapturingConsole;
  using Order = std::list<Entry>;

  void ThreadMain(Worker& worker, unsigned seen);
  void StartThreads(std::size_t count);
  void Work(Worker& worker);
  bool Next(Worker& worker, bool* in_hand, Task* task);
  void Deliver(Worker& worker, std::unique_lock<std::mutex>& lock);
  bool Take(Worker& worker, Task* task, std::unique_lock<std::mutex>& lock);
  void WaitForWork(std::unique_lock<std::mutex>& lock);
  void WaitForRoom(Worker& worker, std::unique_lock<std::mutex>& lock);
  void WakeTakers(std::size_t count);
  void WakeFirst();
  void WakeRoomWaiters();
  std::unique_lock<std::mutex> Lock();
  Order::iterator Place(Order::iterator before);
  void Retire(Order::iterator entry);
  void NoteFirst();
  bool SweepFolder(Worker& worker, Task& task);
  void Publish(Worker& worker, std::shared_ptr<const FolderNode> node,
               std::shared_ptr<const platform::Dir> dir, platform::EntryList* names,
               std::size_t first);
  bool ShouldPutOff(Worker& worker, const std::string& path, std::size_t* expected);
  bool Reserve(Worker& worker, std::size_t bytes, std::size_t spare = 0);
  void Unreserve(Worker& worker);
  bool PutOff(Worker& worker, std::shared_ptr<const platform::Dir> dir, const platform::FolderId& id,
              const std::string& path, std::shared_ptr<const WorkTree> work_tree,
              std::size_t expected);
  Order::iterator NextToTake();
  bool MayPutOff(std::size_t past) const;
  std::size_t ExpectedBytes(const Worker& worker, const std::string& path) const;
  bool ReleaseHeldHandles();
  std::string PathThroughNodes(const FolderNode& parent, const std::string& name) const;
  bool HoldBack(Worker& worker, std::size_t incoming);
  void Count(Worker& worker, std::size_t bytes);
  void WriteDoneBlocks(std::unique_lock<std::mutex>& lock);
  void PassOn(platform::OutputStream stream, std::string_view bytes);
  void PassOnKept(Entry& block);
  void PassOnHeld(Worker& worker);
  void ReleaseScratch();
  void FlushReport();
  void NoteWritten(std::size_t before, std::size_t added);
  bool MustStop();
  void NoteListingTime(std::chrono::steady_clock::duration taken, std::size_t listed_bytes);
  void Wake(ListingPace::Step step);
  template <typename Counter>
  long long SumOverWorkers(Counter count) const;

  platform::FileSystem& fs_;
  Report& report_;
  const WalkerSettings& settings_;
  // What a terminal's console held when the writing worker last looked.
  std::size_t gathered_seen_ = 0;
  std::vector<std::unique_ptr<Worker>> workers_;  // the calling thread's first
  std::vector<std::thread> threads_;              // for workers_[1] on

  // What this run sweeps; set before the workers are woken.
  std::string root_path_;
  const ExtensionList* extensions_ = nullptr;

  // Each on a cache line of its own: they change often, and halt_ is read
  // before every file, so none may drag another between the processors.
  // The descriptors: each worker's window, and the handles held by waiting
  // subfolders and put off blocks.
  alignas(64) HandleBudget handles_;
  // Lines not yet handed to the console, kept in blocks or in the run's
  // report, and the room reserved for lines to come: counted before they
  // are made, handed back once handed on.
  RecordRoom room_;
  // Workers waiting for room, for the writing worker to look at without the
  // lock.
  alignas(64) std::atomic<std::size_t> room_waiters_{0};
  alignas(64) std::atomic<bool> halt_{false};  // output failed, or memory ran out
  // The first block of the order, while a block is first: its worker may
  // write straight through. Looked at without the lock, set with it.
  alignas(64) std::atomic<const Entry*> first_block_{nullptr};
  // How many workers sweep: the first ones; those after them are started
  // once listings wait (see ListingPace). Raised then, never lowered; and
  // how many may, fewer once a thread could not be started.
  alignas(64) std::atomic<std::size_t> active_{0};
  std::atomic<std::size_t> most_active_{0};
  // The listings timed, and whether they waited.
  ListingPace pace_;
  // Blocks listed but put off until there is room for their lines; changed
  // under the lock, looked at without it.
  alignas(64) std::atomic<std::size_t> put_off_{0};

  alignas(64) std::mutex mutex_;  // guards what follows
  std::condition_variable work_changed_;  // a folder to take, or none left to come
  unsigned waiting_for_work_ = 0;
  // Workers waiting for room to keep their output, or for their block to be
  // first; each on its own condition, so only those who can go on wake.
  std::vector<Worker*> waiting_for_room_;
  Order order_;
  Order spare_;  // entries done with, kept with their buffers
  unsigned busy_ = 0;     // workers with a folder in hand
  bool writing_ = false;  // some worker is writing blocks out
  bool out_of_memory_ = false;
  // The threads' rounds: each Run is one; a thread that finished its part
  // of the round counts itself in finished_.
  std::condition_variable round_changed_;
  std::condition_variable round_done_;  // every thread finished_ its part
  unsigned round_ = 0;
  bool in_round_ = false;  // threads started now join the round under way
  unsigned finished_ = 0;
  bool closing_ = false;
};

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_SWEEP_H_
