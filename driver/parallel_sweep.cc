#include "driver/parallel_sweep.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/report.h"
#include "platform/console.h"

namespace driver {
namespace {

// The size of the unit in which processors share memory, on the machines
// this runs on.
constexpr std::size_t kCacheLine = 64;
// A failed write may leave at most Report::kBlockLimit bytes of lines
// unwritten, with one thread as with several. With several, that bound is
// shared: threads pass their lines on in pieces that together stay within
// kThreadBlockBytes, and those not first wait while what the run's report
// holds and what they keep together exceed the rest.
constexpr std::size_t kThreadBlockBytes = std::size_t{4} * 1024;
constexpr std::size_t kMostHeldBytes = engine::Report::kBlockLimit - kThreadBlockBytes;
// While other threads keep output back, the run's report is written out
// once it holds this much, so they always have room left to work ahead in.
constexpr std::size_t kReportWriteBytes = kMostHeldBytes / 2;
// The lock is held for a few list steps at a time: a thread that finds it
// taken tries again this many times before it sleeps, which would cost two
// context switches.
constexpr int kLockTries = 100;
// A stop signal sets a flag and wakes no one: waiting threads look at it
// this often.
constexpr std::chrono::milliseconds kStopCheckInterval(10);
// Folders whose subfolders wait to be taken keep their handles open, so the
// subfolders are opened from them directly; past this many (or the spare
// handles), they are reached again by name from the nearest open ancestor.
constexpr std::size_t kMostHeldHandles = 1024;

// What one block wrote, stream by stream, in order.
struct CapturedOutput {
  struct Piece {
    platform::OutputStream stream;
    std::size_t end;  // in bytes
  };
  std::string bytes;
  std::vector<Piece> pieces;
};

// A listed folder whose subfolders may still be waiting: what it takes to
// reach them again and to tell a loop. The root's node has no parent.
struct Node {
  // Keeps the fields off the cache line of the counts of the node's shared
  // owners, which threads change all the time while they read the fields.
  // Padding rather than alignas: an over-aligned node would cost an aligned
  // allocation, far slower than a plain one.
  char apart_from_counts[kCacheLine];
  std::shared_ptr<const Node> parent;
  // Tells nodes apart for as long as the run lasts, unlike their addresses.
  std::uint64_t serial = 0;
  std::string name;
  platform::FolderId id;
  // The engine::LineageBit of this folder and of each of its ancestors.
  std::uint64_t lineage_bits = 0;
  std::weak_ptr<const platform::Dir> dir;  // open while a waiting range holds it

  Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  // Lets go of the ancestors one at a time: in a deep tree, destroying each
  // from its child's destructor would go as deep. A node destroyed while
  // this thread is already letting go of a chain hands its parent back to
  // the loop below instead.
  ~Node() {
    thread_local bool letting_go = false;
    thread_local std::shared_ptr<const Node> handed_back;
    if (letting_go) {
      handed_back = std::move(parent);
      return;
    }
    letting_go = true;
    std::shared_ptr<const Node> up = std::move(parent);
    while (up != nullptr) {
      up.reset();  // if that was the last owner, its parent is handed back
      up = std::move(handed_back);
    }
    letting_go = false;
  }
};

// Whether the folder `id` is `parent` or one of its ancestors.
bool IsInLineage(const Node& parent, const platform::FolderId& id) {
  if ((parent.lineage_bits & engine::LineageBit(id)) == 0) return false;
  for (const Node* node = &parent; node != nullptr; node = node->parent.get()) {
    if (node->id == id) return true;
  }
  return false;
}

// One place in the sweep's order: either a folder taken (a block, with its
// output) or subfolders of a listed folder not taken yet (a range).
struct Entry {
  bool is_range = false;
  // A range.
  std::shared_ptr<const Node> parent;
  std::shared_ptr<const platform::Dir> dir;  // the parent's handle; null: reach it by name
  platform::EntryList names;                 // sorted as one thread visits them
  std::size_t next = 0;
  // A block.
  CapturedOutput output;
  bool done = false;
};
using Order = std::list<Entry>;

// A folder a thread has taken.
struct Task {
  std::shared_ptr<const Node> parent;
  std::shared_ptr<const platform::Dir> parent_dir;
  std::string name;
};

class ParallelSweep {
 public:
  ParallelSweep(platform::FileSystem& fs, engine::Walker& root_walker, const std::string& root_path,
                const engine::ExtensionList& extensions, unsigned jobs);
  ~ParallelSweep();
  ParallelSweep(const ParallelSweep&) = delete;
  ParallelSweep& operator=(const ParallelSweep&) = delete;

  /// Sweeps below `root`, whose subfolders are `names`, and puts what the
  /// threads did in `outcome`; throws std::bad_alloc if memory ran out.
  void Run(const platform::Dir& root, const platform::EntryList& names, ThreadsOutcome* outcome);

 private:
  struct Worker;
  class CapturingConsole;

  void Work(Worker& worker);
  bool Next(Worker& worker, bool finished_one, Task* task);
  void Deliver(Worker& worker, std::unique_lock<std::mutex>& lock);
  bool Take(Worker& worker, Task* task, std::unique_lock<std::mutex>& lock);
  void Wait(std::unique_lock<std::mutex>& lock);
  std::unique_lock<std::mutex> Lock();
  Order::iterator Place(Order::iterator before);
  void Retire(Order::iterator entry);
  void NoteFirst();
  void Wake();
  bool Sweep(Worker& worker, Task& task);
  void Publish(Worker& worker, std::shared_ptr<const Node> node,
               std::shared_ptr<const platform::Dir> dir, platform::EntryList* names);
  std::shared_ptr<const platform::Dir> Reach(const std::shared_ptr<const Node>& node,
                                             std::string* reason);
  platform::OpenResult Open(const platform::Dir& parent, std::string_view name, platform::Dir* dir,
                            platform::FolderInfo* info, std::string* reason);
  std::shared_ptr<const platform::Dir> Hold(platform::Dir dir);
  void ReleaseHeldHandles();
  const std::string& PathOf(Worker& worker, const std::shared_ptr<const Node>& parent,
                            const std::string& name);
  void HoldBack(Worker& worker, std::size_t incoming);
  void WriteDoneBlocks(std::unique_lock<std::mutex>& lock);
  void PassOn(const CapturedOutput& output);
  void ClearOutput(CapturedOutput& output);
  void NoteWritten();
  bool MustStop() const;

  platform::FileSystem& fs_;
  engine::Report& report_;
  engine::Walker& root_walker_;
  const std::string root_path_;
  const engine::ExtensionList& extensions_;
  const unsigned jobs_;
  const std::size_t most_held_handles_;

  std::vector<std::unique_ptr<Worker>> workers_;  // the calling thread's first
  std::vector<std::thread> threads_;
  // Each on a cache line of its own: they change often, and halt_ is read
  // before every file, so none may drag another between the processors.
  alignas(kCacheLine) std::atomic<std::size_t> held_handles_{0};
  alignas(kCacheLine) std::atomic<std::size_t> held_bytes_{0};   // in blocks, not yet written
  alignas(kCacheLine) std::atomic<std::size_t> report_held_{0};  // in the report, not yet written
  alignas(kCacheLine) std::atomic<bool> halt_{false};            // output failed, or memory ran out

  // The first block of the order, while a block is first: its thread may
  // write straight through. Looked at without the lock, set with it.
  alignas(kCacheLine) std::atomic<const Entry*> first_block_{nullptr};

  alignas(kCacheLine) std::mutex mutex_;  // guards what follows
  std::condition_variable changed_;
  unsigned waiting_ = 0;  // threads waiting for changed_
  Order order_;
  Order spare_;  // entries done with, kept with their buffers for the next ones
  unsigned busy_ = 0;     // threads with a folder in hand
  bool writing_ = false;  // some thread is writing blocks out
  bool out_of_memory_ = false;
  ThreadsOutcome outcome_;
};

// A console for one thread's block: what the report writes is kept with the
// block, in the order of the two streams, until the block is first; from then
// on it goes straight to the run's report. A thread that keeps too much waits
// here, between two lines, until it may go on.
class ParallelSweep::CapturingConsole : public platform::Console {
 public:
  CapturingConsole(ParallelSweep& owner, Worker& worker, platform::Console& real)
      : owner_(owner),
        worker_(worker),
        encoding_(real.Encoding()),
        interactive_(real.OutputIsInteractive()) {}

  /// Keeps what is written in `target`.
  void Capture(CapturedOutput* target) {
    target_ = target;
    report_ = nullptr;
  }
  /// Passes what is written on to `report` at once.
  void PassOnTo(engine::Report* report) { report_ = report; }

  bool Write(platform::OutputStream stream, std::string_view bytes, std::string*) override {
    // Room is made before the bytes are kept, so that what is kept never
    // passes the bound, not even by these bytes.
    if (report_ == nullptr) owner_.HoldBack(worker_, bytes.size());
    if (report_ != nullptr) {
      report_->PassOn(stream, bytes);
      owner_.NoteWritten();
      return true;
    }
    target_->bytes.append(bytes);
    owner_.held_bytes_.fetch_add(bytes.size());
    // At a terminal each line stays a piece of its own, so that it is shown
    // on its own when its turn comes, as one thread shows it.
    if (!interactive_ && !target_->pieces.empty() && target_->pieces.back().stream == stream) {
      target_->pieces.back().end = target_->bytes.size();
    } else {
      target_->pieces.push_back({stream, target_->bytes.size()});
    }
    return true;
  }
  int ReadChar() override { return -1; }
  void Pause(int) override {}
  // At a terminal each line is passed on as it ends, as one thread writes it.
  bool OutputIsInteractive() override { return interactive_; }
  platform::TextEncoding Encoding() override { return encoding_; }

 private:
  ParallelSweep& owner_;
  Worker& worker_;
  platform::TextEncoding encoding_;
  bool interactive_;
  CapturedOutput* target_ = nullptr;
  engine::Report* report_ = nullptr;
};

// One thread's own state: its walker, whose report goes to its block, and
// the scratch it reuses from folder to folder.
struct ParallelSweep::Worker {
  Worker(ParallelSweep& owner, unsigned number, platform::FileSystem& fs,
         platform::Console& real_console, const engine::WalkerSettings& settings)
      : index(number),
        console(owner, *this, real_console),
        report(console),
        walker(fs, report, settings) {}

  const unsigned index;
  CapturingConsole console;
  engine::Report report;
  engine::Walker walker;
  Order::iterator block;  // the block in hand
  bool writing = false;   // its block is first: it writes to the report itself
  platform::EntryList targets;
  platform::EntryList subfolders;
  // The displayed path of the node numbered `path_serial`, kept because a
  // thread most often takes a subfolder of the folder it listed last.
  std::uint64_t path_serial = ~std::uint64_t{0};  // none yet: the root is 0
  std::string node_path;
  std::vector<const std::string*> path_names;  // scratch for building node_path
  std::uint64_t serials = 0;                   // nodes made by this worker
  std::string path;       // of the folder in hand
  std::string next_name;  // of its first subfolder
};

ParallelSweep::ParallelSweep(platform::FileSystem& fs, engine::Walker& root_walker,
                             const std::string& root_path,
                             const engine::ExtensionList& extensions, unsigned jobs)
    : fs_(fs),
      report_(root_walker.report()),
      root_walker_(root_walker),
      root_path_(root_path),
      extensions_(extensions),
      jobs_(jobs < 1 ? 1 : jobs),
      most_held_handles_(std::min(kMostHeldHandles, platform::SpareFolderHandles() / 2)) {
  for (unsigned i = 0; i < jobs_; ++i) {
    workers_.push_back(
        std::make_unique<Worker>(*this, i, fs_, report_.console(), root_walker_.settings()));
    workers_.back()->walker.StopAlso(&halt_);
    workers_.back()->report.LimitBlocks(std::max<std::size_t>(1, kThreadBlockBytes / jobs_));
  }
}

ParallelSweep::~ParallelSweep() {
  if (threads_.empty()) return;
  // Only if Run never finished (an exception on the calling thread): let
  // the threads end before their state goes.
  halt_.store(true);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Wake();
  }
  for (std::thread& thread : threads_) thread.join();
}

void ParallelSweep::Run(const platform::Dir& root, const platform::EntryList& names,
                        ThreadsOutcome* outcome) {
  auto root_node = std::make_shared<Node>();
  root_node->id = root_walker_.root().info.id;
  root_node->lineage_bits = engine::LineageBit(root_node->id);
  // The root walker owns the root's handle and keeps it open throughout.
  std::shared_ptr<const platform::Dir> root_dir(&root, [](const platform::Dir*) {});
  root_node->dir = root_dir;
  {
    Entry range;
    range.is_range = true;
    range.parent = root_node;
    range.dir = root_dir;
    range.names = names;
    order_.push_back(std::move(range));
  }
  for (unsigned i = 1; i < jobs_; ++i) {
    try {
      threads_.emplace_back([this, i] { Work(*workers_[i]); });
    } catch (const std::system_error&) {
      break;  // fewer threads, same result
    }
  }
  Work(*workers_[0]);
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  // After a stop, blocks further on may be done while an earlier one is
  // not: their deletions go on record after it, still in list order.
  for (Entry& entry : order_) {
    if (entry.is_range) continue;
    PassOn(entry.output);
    ClearOutput(entry.output);
  }
  order_.clear();
  *outcome = outcome_;
  if (out_of_memory_) throw std::bad_alloc();
}

void ParallelSweep::Work(Worker& worker) {
  bool in_hand = false;
  try {
    Task task;
    while (Next(worker, in_hand, &task)) {
      in_hand = true;
      // A folder's first subfolder comes right after it in the order, so the
      // thread goes straight on to it, in the same block.
      while (Sweep(worker, task) && !worker.walker.ShouldStop()) {
      }
      task.parent.reset();
      task.parent_dir.reset();  // its name keeps its buffer for the next one
      // Each block counts against what may be kept back as soon as it is done.
      worker.report.Flush();
    }
    in_hand = false;
  } catch (const std::bad_alloc&) {
    // Stop every thread; what this one recorded so far is written with the
    // rest if it can be.
    halt_.store(true);
    if (in_hand) {
      try {
        worker.report.Flush();
      } catch (const std::bad_alloc&) {
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (in_hand) {
      if (worker.writing) writing_ = false;
      --busy_;
    }
    out_of_memory_ = true;
    Wake();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  outcome_.deleted += worker.walker.deleted();
  if (worker.walker.fell_short()) outcome_.fell_short = true;
}

// Hands in the block just finished, if any, and takes the next folder.
bool ParallelSweep::Next(Worker& worker, bool finished_one, Task* task) {
  std::unique_lock<std::mutex> lock = Lock();
  if (finished_one) Deliver(worker, lock);
  return Take(worker, task, lock);
}

// Takes the first folder no thread has taken, and puts its block in its
// place, in front of the folders that follow it. False once every folder
// is done, or the run must stop.
bool ParallelSweep::Take(Worker& worker, Task* task, std::unique_lock<std::mutex>& lock) {
  for (;;) {
    if (MustStop()) return false;
    auto range = std::find_if(order_.begin(), order_.end(),
                              [](const Entry& entry) { return entry.is_range; });
    if (range != order_.end()) {
      task->name.assign(range->names.NameOf(range->names.entries[range->next++]));
      worker.block = Place(range);
      if (range->next == range->names.entries.size()) {
        task->parent = std::move(range->parent);
        task->parent_dir = std::move(range->dir);
        Retire(range);
      } else {
        task->parent = range->parent;
        task->parent_dir = range->dir;
      }
      worker.console.Capture(&worker.block->output);
      ++busy_;
      NoteFirst();
      return true;
    }
    if (busy_ == 0) return false;  // nothing left, and nothing more to come
    Wait(lock);
  }
}

std::unique_lock<std::mutex> ParallelSweep::Lock() {
  for (int i = 0; i < kLockTries; ++i) {
    if (mutex_.try_lock()) return std::unique_lock<std::mutex>(mutex_, std::adopt_lock);
  }
  return std::unique_lock<std::mutex>(mutex_);
}

void ParallelSweep::Wait(std::unique_lock<std::mutex>& lock) {
  ++waiting_;
  changed_.wait_for(lock, kStopCheckInterval);
  --waiting_;
}

// A fresh entry in the order, in front of `before`; under the lock.
Order::iterator ParallelSweep::Place(Order::iterator before) {
  if (spare_.empty()) return order_.emplace(before);
  order_.splice(before, spare_, spare_.begin());
  return std::prev(before);
}

// Takes `entry` out of the order and keeps it, emptied, for reuse; under the
// lock. Whoever took a range's last folder holds its parent and handle, so
// nothing is closed here.
void ParallelSweep::Retire(Order::iterator entry) {
  entry->is_range = false;
  entry->parent.reset();
  entry->dir.reset();
  entry->names.Clear();
  entry->next = 0;
  entry->done = false;
  // A block that once held much gives its buffer back.
  if (entry->output.bytes.capacity() > kThreadBlockBytes) entry->output = CapturedOutput();
  spare_.splice(spare_.end(), order_, entry);
}

// Wakes the threads waiting for a change, if any; under the lock.
void ParallelSweep::Wake() {
  if (waiting_ > 0) changed_.notify_all();
}

// Notes which block is first now; under the lock.
void ParallelSweep::NoteFirst() {
  const Entry* first = nullptr;
  if (!order_.empty() && !order_.front().is_range) first = &order_.front();
  first_block_.store(first, std::memory_order_release);
}

// Opens, lists and cleans the folder `task` names, writing its block. Its
// subfolders after the first go into the order first, so other threads may
// take them while this one deletes; then `task` becomes the first subfolder
// and the answer is true, or false when there is none.
bool ParallelSweep::Sweep(Worker& worker, Task& task) {
  engine::Walker& walker = worker.walker;
  const std::string& path = PathOf(worker, task.parent, task.name);
  std::string reason;
  std::shared_ptr<const platform::Dir> parent_dir = std::move(task.parent_dir);
  if (parent_dir == nullptr) parent_dir = Reach(task.parent, &reason);
  platform::Dir dir;
  platform::FolderInfo info;
  platform::OpenResult opened = reason.empty() ? platform::OpenResult::kGone
                                               : platform::OpenResult::kFailed;
  if (parent_dir != nullptr) opened = Open(*parent_dir, task.name, &dir, &info, &reason);
  parent_dir.reset();
  if (opened != platform::OpenResult::kOpened) {
    // Listed as a folder but can't be opened: its block says why, unless it
    // had simply gone away.
    walker.WriteUnreachedBlock(path, reason);
    return false;
  }
  // A folder that is one of its own ancestors (a bind mount loop) gets no
  // block at all. An unknown id can't show a loop, and is never taken for one.
  if (info.id.IsKnown() && IsInLineage(*task.parent, info.id)) return false;
  worker.subfolders.Clear();
  if (!walker.ListTargets(dir, info.id.device, extensions_, &worker.targets, &worker.subfolders,
                          &reason)) {
    walker.WriteUnreachedBlock(path, reason);
    return false;
  }
  const platform::Dir* clean_through = &dir;
  std::shared_ptr<const platform::Dir> held;
  std::shared_ptr<const Node> node;
  if (!worker.subfolders.entries.empty()) {
    auto made = std::make_shared<Node>();
    made->name = task.name;
    made->id = info.id;
    made->lineage_bits = task.parent->lineage_bits | engine::LineageBit(info.id);
    made->parent = std::move(task.parent);
    made->serial = ++worker.serials * jobs_ + worker.index;
    node = std::move(made);
    held = Hold(std::move(dir));
    clean_through = held.get();
    worker.path_serial = node->serial;
    worker.node_path = path;
    worker.next_name.assign(worker.subfolders.NameOf(worker.subfolders.entries.front()));
    if (worker.subfolders.entries.size() > 1) Publish(worker, node, held, &worker.subfolders);
  }
  task.parent.reset();
  walker.WriteCleanedBlock(*clean_through, worker.targets, path);
  if (node == nullptr) return false;
  task.parent = std::move(node);
  task.parent_dir = std::move(held);
  task.name.swap(worker.next_name);
  return true;
}

// Puts the subfolders `names` of `node`, all but the first (which the
// worker goes on to itself), right behind the worker's block, so they come
// before whatever followed it, as one thread visits them.
void ParallelSweep::Publish(Worker& worker, std::shared_ptr<const Node> node,
                            std::shared_ptr<const platform::Dir> dir, platform::EntryList* names) {
  if (held_handles_.load() <= most_held_handles_) {
    std::const_pointer_cast<Node>(node)->dir = dir;
  } else {
    dir.reset();
  }
  std::unique_lock<std::mutex> lock = Lock();
  const Order::iterator range = Place(std::next(worker.block));
  range->is_range = true;
  range->parent = std::move(node);
  range->dir = std::move(dir);
  // The worker gets the spare entry's buffers for its next listing.
  std::swap(range->names, *names);
  range->next = 1;
  Wake();
}

// A handle shared by the folder's waiting subfolders, counted while open.
std::shared_ptr<const platform::Dir> ParallelSweep::Hold(platform::Dir dir) {
  // Handle, count and owner's counts in one allocation.
  struct Held {
    Held(platform::Dir opened, std::atomic<std::size_t>& count)
        : dir(std::move(opened)), held_handles(count) {
      held_handles.fetch_add(1);
    }
    ~Held() {
      dir.Close();
      held_handles.fetch_sub(1);
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    platform::Dir dir;
    std::atomic<std::size_t>& held_handles;
  };
  auto held = std::make_shared<Held>(std::move(dir), held_handles_);
  return std::shared_ptr<const platform::Dir>(held, &held->dir);
}

// Reaches `node`'s folder again by name from its nearest ancestor that is
// still open, every step without following links and checked against the
// identity seen when it was listed. Null when it can't be reached: `reason`
// then says why, or stays empty when it went away or was swapped.
std::shared_ptr<const platform::Dir> ParallelSweep::Reach(const std::shared_ptr<const Node>& node,
                                                          std::string* reason) {
  std::vector<const Node*> below;
  std::shared_ptr<const platform::Dir> dir;
  for (const Node* step = node.get(); step != nullptr; step = step->parent.get()) {
    dir = step->dir.lock();
    if (dir != nullptr) break;
    below.push_back(step);
  }
  if (dir == nullptr) return nullptr;  // the root's handle is always held
  for (auto step = below.rbegin(); step != below.rend(); ++step) {
    platform::Dir next;
    platform::FolderInfo info;
    const platform::OpenResult opened = Open(*dir, (*step)->name, &next, &info, reason);
    if (opened != platform::OpenResult::kOpened) return nullptr;
    if (platform::KnownToDiffer(info.id, (*step)->id)) {
      reason->clear();
      return nullptr;
    }
    dir = std::make_shared<const platform::Dir>(std::move(next));
  }
  return dir;
}

// Opens `name` in `parent`; out of handles, it lets go of those the waiting
// subfolders hold and tries once more.
platform::OpenResult ParallelSweep::Open(const platform::Dir& parent, std::string_view name,
                                         platform::Dir* dir, platform::FolderInfo* info,
                                         std::string* reason) {
  platform::OpenResult opened = fs_.OpenChild(parent, name, dir, info, reason);
  if (opened == platform::OpenResult::kNoHandles) {
    ReleaseHeldHandles();
    opened = fs_.OpenChild(parent, name, dir, info, reason);
    if (opened == platform::OpenResult::kNoHandles) opened = platform::OpenResult::kFailed;
  }
  if (opened == platform::OpenResult::kGone) reason->clear();
  return opened;
}

// Waiting subfolders will be reached by name instead; each handle closes
// once no thread uses it any more.
void ParallelSweep::ReleaseHeldHandles() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Entry& entry : order_) {
    if (entry.is_range && entry.parent->parent != nullptr) entry.dir.reset();
  }
}

const std::string& ParallelSweep::PathOf(Worker& worker, const std::shared_ptr<const Node>& parent,
                                         const std::string& name) {
  if (worker.path_serial != parent->serial) {
    std::vector<const std::string*>& names = worker.path_names;
    names.clear();
    for (const Node* node = parent.get(); node->parent != nullptr; node = node->parent.get()) {
      names.push_back(&node->name);
    }
    worker.node_path = root_path_;
    for (auto step = names.rbegin(); step != names.rend(); ++step) {
      platform::AppendPathComponent(&worker.node_path, **step);
    }
    worker.path_serial = parent->serial;
  }
  worker.path = worker.node_path;
  platform::AppendPathComponent(&worker.path, name);
  return worker.path;
}

// Before `incoming` bytes are kept: waits, between two lines, while keeping
// them would pass the bound, unless the worker's block is first, in which
// case it writes what it kept and from then on writes straight through.
void ParallelSweep::HoldBack(Worker& worker, std::size_t incoming) {
  if (worker.writing) return;
  const auto fits = [&] {
    return held_bytes_.load() + report_held_.load() + incoming <= kMostHeldBytes;
  };
  const bool first = first_block_.load(std::memory_order_acquire) == &*worker.block;
  if (!first && fits()) return;
  std::unique_lock<std::mutex> lock = Lock();
  for (;;) {
    if (order_.begin() == worker.block && !writing_) {
      // First, and no one is still writing out the blocks before: our turn.
      // What was kept goes out, the rest as it is written.
      writing_ = true;
      worker.writing = true;
      lock.unlock();
      PassOn(worker.block->output);
      ClearOutput(worker.block->output);
      NoteWritten();
      worker.console.PassOnTo(&report_);
      return;
    }
    if (fits() || MustStop()) return;
    Wait(lock);
  }
}

// Hands in the worker's finished block: written out now if it is first,
// with whatever is done behind it, or else kept until its turn.
void ParallelSweep::Deliver(Worker& worker, std::unique_lock<std::mutex>& lock) {
  --busy_;
  if (worker.writing) {
    // The block went out as it was written.
    worker.writing = false;
    Retire(worker.block);
  } else {
    worker.block->done = true;
    // One thread writes at a time; it also writes what is done meanwhile.
    if (writing_) {
      Wake();
      return;
    }
    writing_ = true;
  }
  WriteDoneBlocks(lock);
  writing_ = false;
  NoteFirst();
  Wake();
}

void ParallelSweep::WriteDoneBlocks(std::unique_lock<std::mutex>& lock) {
  while (!order_.empty() && !order_.front().is_range && order_.front().done) {
    // The block is ours until it leaves the order: no thread writes after it
    // before that.
    Entry& front = order_.front();
    lock.unlock();
    PassOn(front.output);
    ClearOutput(front.output);
    NoteWritten();
    lock.lock();
    Retire(order_.begin());
  }
}

void ParallelSweep::PassOn(const CapturedOutput& output) {
  std::size_t begin = 0;
  for (const CapturedOutput::Piece& piece : output.pieces) {
    report_.PassOn(piece.stream, std::string_view(output.bytes).substr(begin, piece.end - begin));
    begin = piece.end;
  }
}

void ParallelSweep::ClearOutput(CapturedOutput& output) {
  held_bytes_.fetch_sub(output.bytes.size());
  output.bytes.clear();
  output.pieces.clear();
}

// After the writing thread passed output on: notes what the report now
// holds, and stops every thread once the output has failed.
void ParallelSweep::NoteWritten() {
  // Only the writing thread gets here, so it may look at the report. It
  // never waits, so it writes out early instead when what the report and
  // the other threads hold would pass the bound together.
  const std::size_t was_held = report_held_.load();
  const std::size_t held_elsewhere = held_bytes_.load();
  if ((held_elsewhere > 0 && report_.held() >= kReportWriteBytes) ||
      held_elsewhere + report_.held() > kMostHeldBytes) {
    report_.Flush();
  }
  report_held_.store(report_.held());
  if (report_.held() < was_held) {
    // Threads may be waiting for the room just made.
    std::lock_guard<std::mutex> lock(mutex_);
    Wake();
  }
  // Nothing more may be deleted once it can't be put on record.
  if (report_.output_failed()) halt_.store(true);
}

bool ParallelSweep::MustStop() const {
  return platform::StopRequested() || report_.output_failed() || halt_.load();
}

}  // namespace

void SweepInParallel(platform::FileSystem& fs, engine::Walker& walker, const std::string& root_path,
                     const engine::ExtensionList& extensions,
                     const std::function<void()>& after_root_listed, unsigned jobs,
                     ThreadsOutcome* outcome) {
  const platform::Dir* root = walker.OpenRoot(extensions);
  if (root == nullptr) return;
  if (after_root_listed) after_root_listed();
  if (walker.root_subfolders().entries.empty() || walker.ShouldStop()) return;
  ParallelSweep sweep(fs, walker, root_path, extensions, jobs);
  sweep.Run(*root, walker.root_subfolders(), outcome);
}

}  // namespace driver
