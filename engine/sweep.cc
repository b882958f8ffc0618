#include "engine/sweep.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <new>
#include <system_error>
#include <utility>

#include "platform/console.h"

namespace engine {
namespace {

// A failed write may leave at most Report::kBlockLimit bytes of lines
// unwritten, with one worker as with several (see RecordRoom). The worker
// writing to the run's report looks at the bound after each line it adds,
// so it may pass kMostHeldBytes by one line before it writes out.
constexpr std::size_t kLineSlackBytes = std::size_t{8} * 1024;
constexpr std::size_t kMostHeldBytes = Report::kBlockLimit - kLineSlackBytes;
// Room made by writing out is worth waking waiting workers for once it is
// this large; a block buffer that grew past it is given back when retired.
constexpr std::size_t kWakeBytes = std::size_t{4} * 1024;
// Workers that are not first keep output while all that is unwritten stays
// within this; the run's report is written out once it holds
// kReportWriteBytes while they keep some, so the writes stay large and they
// always have room left to work ahead in. Together: kMostHeldBytes. Three
// quarters for working ahead: on a share that answers late, the room ahead,
// not the size of the writes, sets the pace (-j 8 took 1.6 to 1.9 s where
// five eighths took 2.5 to 2.6 s, 1,000 folders at 200 us a request).
constexpr std::size_t kKeepBytes = kMostHeldBytes * 3 / 4;
constexpr std::size_t kReportWriteBytes = kMostHeldBytes - kKeepBytes;
// How much of that room must be free for a block that may be overtaken to
// take some: folders listed later may come before it in the order, and the
// blocks the report needs first then find the room held by those behind.
constexpr std::size_t kRoomToSpare = kKeepBytes * 3 / 4;
// A folder whose lines are expected to take this much is always put off.
constexpr std::size_t kLargeFolderBytes = kKeepBytes / 6;
// Folders put off per worker, at most: enough to keep each busy in order
// while the room lasts, few enough that looking them over stays cheap.
constexpr std::size_t kPutOffPerWorker = 8;
// The lock is held for a few list steps at a time: a thread that finds it
// taken tries again this many times before it sleeps, which would cost two
// context switches.
constexpr int kLockTries = 100;
// A stop signal sets a flag and wakes no one: waiting workers look at it
// this often.
constexpr std::chrono::milliseconds kStopCheckInterval(10);
}  // namespace

// What one block wrote, stream by stream, in order.
struct CapturedOutput {
  struct Piece {
    platform::OutputStream stream;
    std::size_t end;  // in bytes
  };
  std::string bytes;
  std::vector<Piece> pieces;
  std::size_t passed_on = 0;  // pieces already handed to the run's report

  void Clear() {
    bytes.clear();
    pieces.clear();
    passed_on = 0;
  }
};

// One place in the sweep's order: either a folder taken (a block, with its
// output) or subfolders of a listed folder not taken yet (a range).
struct Sweep::Entry {
  bool is_range = false;
  // A range.
  std::shared_ptr<const FolderNode> parent;
  // The parent's handle (null: reach it again); a put off block's own.
  std::shared_ptr<const platform::Dir> dir;
  bool holds_handle = false;  // dir was taken from the handle budget
  // A range's subfolders, sorted as one thread visits them; a put off
  // block's by-products.
  platform::EntryList names;
  std::size_t next = 0;
  // A block.
  CapturedOutput output;
  bool done = false;
  // What its output held when done: read under the lock while the writer
  // may be emptying the output itself.
  std::size_t kept = 0;
  Worker* owner = nullptr;  // while in hand
  // A block whose last folder is listed but not cleaned yet (see PutOff).
  bool put_off = false;
  bool cleaning = false;  // in hand to be cleaned only, not listed further
  platform::FolderId id;
  std::string path;
  std::shared_ptr<const WorkTree> work_tree;
  std::size_t expected = 0;  // what its lines should take
};

// A folder a worker has taken: one to open (`name` in `parent`), or a put
// off folder, open and listed, to clean (`path`, open as `parent_dir`).
struct Sweep::Task {
  std::shared_ptr<const FolderNode> parent;
  std::shared_ptr<const platform::Dir> parent_dir;  // null: reach the parent again
  std::string name;
  bool put_off = false;
  platform::FolderId id;
  std::shared_ptr<const WorkTree> work_tree;
};

// A console for one worker's block: what the report writes is kept with the
// block, in the order of the two streams, until the block is first; from then
// on it goes straight to the run's report. A worker that keeps too much waits
// here, between two lines, until it may go on.
class Sweep::CapturingConsole : public platform::Console {
 public:
  CapturingConsole(Sweep& owner, Worker& worker, platform::Console& real)
      : owner_(owner),
        worker_(worker),
        encoding_(real.Encoding()),
        interactive_(real.OutputIsInteractive()) {}

  /// Keeps what is written in `target`.
  void Capture(CapturedOutput* target) {
    target_ = target;
    passing_on_ = false;
  }
  /// Passes what is written on to the run's report at once.
  void PassOn() { passing_on_ = true; }

  bool Write(platform::OutputStream stream, std::string_view bytes, std::string*) override;
  int ReadChar() override { return -1; }
  void Pause(int) override {}
  // At a terminal each line is passed on as it ends, as one thread writes it.
  bool OutputIsInteractive() override { return interactive_; }
  platform::TextEncoding Encoding() override { return encoding_; }

 private:
  Sweep& owner_;
  Worker& worker_;
  platform::TextEncoding encoding_;
  bool interactive_;
  CapturedOutput* target_ = nullptr;
  bool passing_on_ = false;
};

// One worker's own state: its stack of open folders, its cleaner, whose
// report goes to its block, and the scratch it reuses from folder to folder.
// A worker alone (`direct`) is always first: it reports straight to the
// run's report.
struct Sweep::Worker {
  Worker(Sweep& owner, platform::FileSystem& fs, platform::Console& real_console,
         const WalkerSettings& settings, std::size_t window, bool alone)
      : sweep(owner),
        direct(alone),
        console(owner, *this, real_console),
        // Every line is handed on as it ends: what a worker keeps is counted
        // line by line, never held back in a piece of its own.
        own_report(console, 0),
        cleaner(fs, alone ? owner.report_ : own_report, settings, &owner.halt_),
        stack(fs, window) {
    if (owner.report_.json()) own_report.UseJson();
    if (!direct) {
      own_report.CountLinesAhead([&owner, this](std::size_t bytes) {
        // Counted once, however often the room is made for one line.
        if (bytes <= counted_ahead) return;
        owner.Count(*this, bytes - counted_ahead);
        counted_ahead = bytes;
      });
      cleaner.BeforeLongLine([&owner, this](std::size_t) {
        // Wait to be first, then put everything before on record.
        owner.HoldBack(*this, 4 * Report::kBlockLimit);
        if (writing) owner.FlushReport();
      });
    }
    stack.OnHandlesExhausted([&owner] { return owner.ReleaseHeldHandles(); });
  }

  /// Hands on what its block's report holds, once a block is done.
  void FlushBlock() {
    if (direct) return;
    own_report.Flush();
    // A line counted ahead that was never made (its file was not deleted).
    sweep.room_.Remove(counted_ahead);
    counted_ahead = 0;
    sweep.Unreserve(*this);
  }

  Sweep& sweep;
  const bool direct;
  CapturingConsole console;
  Report own_report;
  FolderCleaner cleaner;
  FolderStack stack;
  std::condition_variable wake;  // room to keep output, or its block is first
  Order::iterator block;  // the block in hand
  bool writing = false;   // its block is first: it writes to the report itself
  std::size_t counted_ahead = 0;  // counted in the room before its line came
  std::size_t reserved = 0;       // of the room's reserved, for the folder in hand
  platform::EntryList targets;
  platform::EntryList subfolders;
  std::string next_name;  // of the first subfolder of the folder in hand
};

bool Sweep::CapturingConsole::Write(platform::OutputStream stream, std::string_view bytes,
                                   std::string*) {
  // A deletion's line was counted before its file went; any other line is
  // counted now, before it is kept, so what is kept never passes the bound.
  const std::size_t ahead = std::min(bytes.size(), worker_.counted_ahead);
  worker_.counted_ahead -= ahead;
  if (bytes.size() > ahead) owner_.Count(worker_, bytes.size() - ahead);
  if (passing_on_) {
    owner_.PassOn(stream, bytes);
    return true;
  }
  if (target_ == nullptr) return true;  // between rounds: see Run
  target_->bytes.append(bytes);
  // At a terminal each line stays a piece of its own, so that it is shown
  // on its own when its turn comes, as one thread shows it.
  if (!interactive_ && !target_->pieces.empty() && target_->pieces.back().stream == stream) {
    target_->pieces.back().end = target_->bytes.size();
  } else {
    target_->pieces.push_back({stream, target_->bytes.size()});
  }
  return true;
}

Sweep::Sweep(platform::FileSystem& fs, Report& report, const WalkerSettings& settings,
             unsigned jobs, unsigned most_jobs)
    : fs_(fs),
      report_(report),
      settings_(settings),
      handles_(platform::SpareFolderHandles(), std::max({jobs, most_jobs, 1u})),
      room_(report.console(), kKeepBytes) {
  const unsigned wanted = handles_.workers();
  const unsigned sweeping = std::min(std::max(jobs, 1u), wanted);
  for (unsigned i = 0; i < wanted; ++i) {
    try {
      workers_.push_back(std::make_unique<Worker>(*this, fs_, report_.console(), settings_,
                                                  handles_.window(), wanted == 1));
    } catch (const std::bad_alloc&) {
      if (i == 0) throw;
      break;  // fewer workers, same result
    }
  }
  most_active_.store(workers_.size());
  active_.store(std::min<std::size_t>(sweeping, workers_.size()));
}

Sweep::~Sweep() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    round_changed_.notify_all();
  }
  for (std::thread& thread : threads_) thread.join();
  // The workers go while what they report to is still there.
  workers_.clear();
}

// A thread is started in the round it is to join, so it takes the round
// after `seen` at once.
void Sweep::ThreadMain(Worker& worker, unsigned seen) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      round_changed_.wait(lock, [&] { return closing_ || round_ != seen; });
      if (closing_) return;
      seen = round_;
    }
    Work(worker);
    std::lock_guard<std::mutex> lock(mutex_);
    if (++finished_ == threads_.size()) round_done_.notify_one();
  }
}

// Starts threads for the workers up to `count`, the calling thread's among
// them, to join the round under way; under the lock. A thread the system
// won't give leaves fewer workers for the rest of the run, same result.
void Sweep::StartThreads(std::size_t count) {
  count = std::min(count, most_active_.load());
  while (threads_.size() + 1 < count) {
    Worker* worker = workers_[threads_.size() + 1].get();
    try {
      threads_.emplace_back([this, worker, seen = round_ - 1] { ThreadMain(*worker, seen); });
    } catch (const std::system_error&) {
      most_active_.store(threads_.size() + 1);
    } catch (const std::bad_alloc&) {
      most_active_.store(threads_.size() + 1);
    }
    count = std::min(count, most_active_.load());
  }
  active_.store(std::min(std::max(active_.load(), count), most_active_.load()));
}

void Sweep::Run(const std::shared_ptr<const platform::Dir>& root, const platform::FolderId& root_id,
                const std::string& root_path, platform::EntryList* names,
                const ExtensionList& extensions, std::shared_ptr<const WorkTree> work_tree) {
  root_path_ = root_path;
  extensions_ = &extensions;
  // What the report holds already (the root's line) is as unwritten as
  // what the workers will add.
  room_.StartWith(report_.held());
  auto root_node = std::make_shared<FolderNode>();
  root_node->id = root_id;
  root_node->work_tree = std::move(work_tree);
  // The threads wait for the round, so their stacks may be set from here.
  for (const std::unique_ptr<Worker>& worker : workers_) {
    worker->stack.StartAt(root, root_id, root_node, root_path);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const Order::iterator range = Place(order_.end());
    range->is_range = true;
    range->parent = root_node;
    range->dir = root;
    std::swap(range->names, *names);
    range->next = 0;
    NoteFirst();
    ++round_;
    finished_ = 0;
    in_round_ = true;
    round_changed_.notify_all();
    // Threads start only as they are needed: on a warm cache those that
    // wait for slow listings never are, and starting them cost a run of
    // 20,000 folders some 3 per cent.
    StartThreads(active_.load());
  }
  root_node.reset();
  Work(*workers_[0]);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    round_done_.wait(lock, [&] { return finished_ == threads_.size(); });
    in_round_ = false;
  }
  // Every worker waits for the next round now. After a stop, blocks further
  // on may be done while an earlier one is not: their deletions go on
  // record after it, still in list order.
  if (out_of_memory_) ReleaseScratch();  // room for the lines still to write
  try {
    while (!order_.empty()) {
      Entry& entry = order_.front();
      if (!entry.is_range) {
        PassOnKept(entry);
        // A worker that ran out of memory in this block may still hold
        // lines of it, deletions among them, that the block could not take.
        if (entry.owner != nullptr && &*entry.owner->block == &entry) PassOnHeld(*entry.owner);
      }
      Retire(order_.begin());
    }
  } catch (const std::bad_alloc&) {
    out_of_memory_ = true;
    while (!order_.empty()) Retire(order_.begin());
  }
  for (const std::unique_ptr<Worker>& worker : workers_) {
    worker->stack.Clear();
    // Nothing of a worker's goes anywhere between rounds: what could be
    // written was, in order, and its block may be reused or freed.
    worker->console.Capture(nullptr);
  }
  if (out_of_memory_) throw std::bad_alloc();
}

// Writes out the lines a worker stopped by running out of memory still
// holds; by the calling thread, after the round, in its block's turn.
void Sweep::PassOnHeld(Worker& worker) {
  if (worker.direct || worker.own_report.held() == 0) return;
  worker.writing = true;  // counted as they go straight out (see HoldBack)
  worker.console.PassOn();
  worker.own_report.Flush();
  worker.writing = false;
}

void Sweep::Work(Worker& worker) {
  bool in_hand = false;
  try {
    Task task;
    while (Next(worker, &in_hand, &task)) {
      in_hand = true;
      if (task.put_off) {
        worker.cleaner.WriteCleanedBlock(*task.parent_dir, task.id, worker.targets, task.name,
                                         task.work_tree.get());
        task.put_off = false;
        task.work_tree.reset();
        task.parent_dir.reset();
        handles_.Release();
      }
      // A folder's first subfolder comes right after it in the order, so the
      // worker goes straight on to it, in the same block.
      while (task.parent != nullptr && SweepFolder(worker, task) && !worker.cleaner.ShouldStop()) {
      }
      task.parent.reset();
      task.parent_dir.reset();  // its name keeps its buffer for the next one
      // Each block counts against what may be kept back as soon as it is done.
      worker.FlushBlock();
    }
    in_hand = false;
  } catch (const std::bad_alloc&) {
    // Stop every worker; what this one recorded so far is written with the
    // rest if it can be.
    halt_.store(true);
    // A line memory ran out in the middle of is none: the rest goes on.
    if (!worker.direct) worker.own_report.DropUnfinishedLine();
    if (in_hand) {
      try {
        worker.FlushBlock();
      } catch (const std::bad_alloc&) {
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (in_hand) {
      if (worker.writing) writing_ = false;
      worker.writing = false;
      --busy_;
    }
    out_of_memory_ = true;
    WakeTakers(workers_.size());
    WakeRoomWaiters();
  }
}

// Counts the listing of a folder that took `taken` for `listed_bytes` of
// names, and wakes more workers where listings show the file system keeps
// them waiting.
void Sweep::NoteListingTime(std::chrono::steady_clock::duration taken, std::size_t listed_bytes) {
  Wake(pace_.Note(ListingPace::Judge(taken, listed_bytes)));
}

void Sweep::NoteRootListingTime(std::chrono::steady_clock::duration taken,
                                std::size_t listed_bytes) {
  if (workers_.size() == 1) return;
  Wake(pace_.NoteRoot(ListingPace::Judge(taken, listed_bytes)));
}

// Four times as many workers sweep from now on, up to all of them, working
// ahead of what they may write where `step` says so. Before the first round
// their threads wait for it to start.
void Sweep::Wake(ListingPace::Step step) {
  if (step == ListingPace::Step::kNone) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t count = std::min(most_active_.load(), 4 * active_.load());
  if (in_round_) {
    StartThreads(count);
  } else {
    active_.store(count);
  }
}

// Hands in the block just finished, if any, and takes the next folder.
bool Sweep::Next(Worker& worker, bool* in_hand, Task* task) {
  std::unique_lock<std::mutex> lock = Lock();
  if (*in_hand) {
    // Handed in from here on, whatever Deliver or Take meet: the worker
    // must not be counted out a second time.
    *in_hand = false;
    Deliver(worker, lock);
  }
  return Take(worker, task, lock);
}

// Takes a put off folder to clean, where one may be (see NextToTake), or
// else the first folder no worker has taken, and puts its block in its
// place, in front of the folders that follow it. False once every folder
// is done, or the run must stop.
bool Sweep::Take(Worker& worker, Task* task, std::unique_lock<std::mutex>& lock) {
  for (;;) {
    if (MustStop()) return false;
    const Order::iterator range = NextToTake();
    if (range != order_.end() && range->put_off) {
      // Its handle stays counted until the worker is done with it.
      range->put_off = false;
      range->cleaning = true;
      range->holds_handle = false;
      put_off_.fetch_sub(1);
      task->put_off = true;
      task->parent_dir = std::move(range->dir);
      task->id = range->id;
      task->name.swap(range->path);
      task->work_tree = std::move(range->work_tree);
      std::swap(worker.targets, range->names);
      if (range != order_.begin()) Reserve(worker, range->expected);
      worker.block = range;
      worker.block->owner = &worker;
      worker.console.Capture(&worker.block->output);
      ++busy_;
      // Room made wakes one worker at a time: each that finds a put off
      // block to take wakes the next, rather than all waking to find none.
      if (put_off_.load() > 0) WakeTakers(1);
      return true;
    }
    if (range != order_.end()) {
      task->name.assign(range->names.NameOf(range->names.entries[range->next++]));
      worker.block = Place(range);
      worker.block->owner = &worker;
      if (range->next == range->names.entries.size()) {
        task->parent = std::move(range->parent);
        task->parent_dir = std::move(range->dir);
        Retire(range);  // which stops counting the handle the task now holds
      } else {
        task->parent = range->parent;
        task->parent_dir = range->dir;
      }
      if (!worker.direct) worker.console.Capture(&worker.block->output);
      ++busy_;
      NoteFirst();
      return true;
    }
    if (busy_ == 0 && put_off_.load() == 0) return false;  // nothing left, and nothing more to come
    WaitForWork(lock);
  }
}

// What a worker takes next, under the lock: a put off block that is first
// (its lines go straight out), else the first put off block there is room
// for, else the first range; end() when none may be taken now. While
// blocks wait for room, a range is taken only where a folder listed from it
// could be put off too (the held handles allow it) or cleaned at once, so
// that waiting workers wait here, free to clean what room lets go on.
Sweep::Order::iterator Sweep::NextToTake() {
  Order::iterator range = order_.end();
  const bool any_put_off = put_off_.load() > 0;
  // Room goes to put off blocks in order. Those behind subfolders still to
  // be taken, behind a worker listing on down further on than the front, or
  // behind one waiting for room, take room only while most of it is free:
  // the folders listed later come before them, and would find the room they
  // hold gone. (Most of it, not what it leaves: a large folder waiting for
  // room to spare after it would be cleaned last, alone.) With no
  // folder in hand, the first is taken whatever its size: it is the front.
  bool in_order = true;
  bool range_first = true;  // no put off block comes before the range
  std::size_t kept_ahead = 0;  // by done blocks before the range
  for (Order::iterator entry = order_.begin(); entry != order_.end(); ++entry) {
    if (entry->done) {
      if (range == order_.end()) kept_ahead += entry->kept;
    } else if (entry->put_off) {
      if (range == order_.end()) range_first = false;
      if (entry == order_.begin() || busy_ == 0 ||
          (room_.Fits(entry->expected) && (in_order || room_.Fits(kRoomToSpare)))) {
        return entry;
      }
      in_order = false;
    } else if (entry != order_.begin() && entry->owner != nullptr && !entry->cleaning) {
      // A block in hand, listing on further than the front.
      in_order = false;
    } else if (entry->is_range && range == order_.end()) {
      in_order = false;
      range = entry;
      if (!any_put_off) break;
    }
  }
  // Where the processors set the pace (no worker was woken for waiting
  // listings), a range behind more than half the room in finished blocks
  // waits for the front: taken, its blocks would soon fill the rest, and
  // the worker would then wait on every line while the front worked
  // through all that comes before them (one warm run in three spent a
  // third of its time so). Whoever waits is woken as the front writes out
  // (Deliver) or subfolders come (Publish). Where listings wait, working
  // ahead is what pays.
  if (range != order_.end() && busy_ > 0 && kept_ahead > kKeepBytes / 2 && !pace_.woken()) {
    return order_.end();
  }
  // A range before every put off block is taken even past the bounds: what
  // is listed from it comes first, and its cleaning may wait for room, while
  // the blocks after it, out of order, may not take what room there is.
  if (range == order_.end() || !any_put_off || range_first) return range;
  if (MayPutOff(0)) return range;
  return order_.end();
}

std::unique_lock<std::mutex> Sweep::Lock() {
  for (int i = 0; i < kLockTries; ++i) {
    if (mutex_.try_lock()) return std::unique_lock<std::mutex>(mutex_, std::adopt_lock);
  }
  return std::unique_lock<std::mutex>(mutex_);
}

void Sweep::WaitForWork(std::unique_lock<std::mutex>& lock) {
  ++waiting_for_work_;
  work_changed_.wait_for(lock, kStopCheckInterval);
  --waiting_for_work_;
}

void Sweep::WaitForRoom(Worker& worker, std::unique_lock<std::mutex>& lock) {
  waiting_for_room_.push_back(&worker);
  worker.wake.wait_for(lock, kStopCheckInterval);
  waiting_for_room_.erase(std::find(waiting_for_room_.begin(), waiting_for_room_.end(), &worker));
}

// A fresh entry in the order, in front of `before`; under the lock.
Sweep::Order::iterator Sweep::Place(Order::iterator before) {
  if (spare_.empty()) return order_.emplace(before);
  order_.splice(before, spare_, spare_.begin());
  return std::prev(before);
}

// Takes `entry` out of the order and keeps it, emptied, for reuse; under the
// lock. Whoever took a range's last folder holds its parent and handle, so
// nothing is closed here but what a stopped run left waiting.
void Sweep::Retire(Order::iterator entry) {
  if (entry->holds_handle) handles_.Release();
  entry->holds_handle = false;
  if (entry->put_off) put_off_.fetch_sub(1);  // a stopped run left it
  entry->put_off = false;
  entry->cleaning = false;
  entry->work_tree.reset();
  entry->is_range = false;
  entry->parent.reset();
  entry->dir.reset();
  entry->names.Clear();
  entry->next = 0;
  entry->done = false;
  entry->kept = 0;
  entry->owner = nullptr;
  // A block that once held much gives its buffer back.
  if (entry->output.bytes.capacity() > kWakeBytes) entry->output = CapturedOutput();
  entry->output.Clear();
  spare_.splice(spare_.end(), order_, entry);
}

// Wakes up to `count` workers waiting for a folder to take; under the lock.
// Waking more than there are folders would only have them race for the
// lock and sleep again.
void Sweep::WakeTakers(std::size_t count) {
  if (count >= waiting_for_work_) {
    if (waiting_for_work_ > 0) work_changed_.notify_all();
    return;
  }
  for (std::size_t i = 0; i < count; ++i) work_changed_.notify_one();
}

// Wakes the worker whose block is first now, should it wait; under the lock.
void Sweep::WakeFirst() {
  if (!order_.empty() && !order_.front().is_range && order_.front().owner != nullptr) {
    order_.front().owner->wake.notify_one();
  }
}

// Wakes every worker waiting for room; under the lock.
void Sweep::WakeRoomWaiters() {
  for (Worker* worker : waiting_for_room_) worker->wake.notify_one();
}

// Notes which block is first now; under the lock.
void Sweep::NoteFirst() {
  const Entry* first = nullptr;
  if (!order_.empty() && !order_.front().is_range) first = &order_.front();
  first_block_.store(first, std::memory_order_release);
}

// The displayed path of `name` inside `parent`, from the nodes alone: for a
// folder whose parent could not be reached again.
std::string Sweep::PathThroughNodes(const FolderNode& parent, const std::string& name) const {
  std::vector<const std::string*> names{&name};
  for (const FolderNode* node = &parent; node->parent != nullptr; node = node->parent.get()) {
    names.push_back(&node->name);
  }
  std::string path = root_path_;
  for (auto step = names.rbegin(); step != names.rend(); ++step) {
    platform::AppendPathComponent(&path, **step);
  }
  return path;
}

// Opens, lists and cleans the folder `task` names, writing its block. Its
// subfolders after the first go into the order first, so other workers may
// take them while this one deletes; then `task` becomes the first subfolder
// and the answer is true, or false when there is none.
bool Sweep::SweepFolder(Worker& worker, Task& task) {
  FolderStack& stack = worker.stack;
  FolderCleaner& cleaner = worker.cleaner;
  std::string reason;
  if (!stack.MoveTo(task.parent, std::move(task.parent_dir), &reason)) {
    // The folder it lies in is out of reach now: its block says why,
    // unless it had simply gone away.
    cleaner.WriteUnreachedBlock(PathThroughNodes(*task.parent, task.name), reason);
    return false;
  }
  // Only a sweep with workers to wake looks at the clock.
  const bool timed = workers_.size() > 1 &&
                     (!pace_.works_ahead() ||
                      active_.load(std::memory_order_relaxed) < most_active_.load());
  const auto start = timed ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point();
  platform::FolderInfo info;
  if (stack.Push(task.name, &info, &reason) != platform::OpenResult::kOpened) {
    // Listed as a folder but can't be opened: its block says why, unless it
    // had simply gone away.
    cleaner.WriteUnreachedBlock(stack.PathInTop(task.name), reason);
    return false;
  }
  // A folder that is one of its own ancestors (a bind mount loop) gets no
  // block at all. An unknown id can't show a loop, and is never taken for one.
  // Nor does a folder never to be entered that its listing could not show:
  // a mount's entry there is the folder beneath it.
  if (stack.TopRepeatsAnAncestor() || cleaner.NeverEnters(info.id)) {
    stack.PopTo(stack.size() - 1);
    return false;
  }
  // Shown at another path too (a bind mount) that is git's data, or where
  // a repository keeps data away from its git dir, it is git's data.
  if (cleaner.LeavesGitDataElsewhereAlone(info.id, stack.path())) {
    stack.PopTo(stack.size() - 1);
    return false;
  }
  worker.subfolders.Clear();
  ListingSigns signs;
  if (!cleaner.ListTargets(*stack.top(), info.id.device, *extensions_, &worker.targets,
                           &worker.subfolders, &reason, &signs)) {
    cleaner.WriteUnreachedBlock(stack.path(), reason);
    stack.PopTo(stack.size() - 1);
    return false;
  }
  if (timed) {
    NoteListingTime(std::chrono::steady_clock::now() - start,
                    worker.targets.names.size() + worker.subfolders.names.size());
  }
  // A git database under any name (a bare mirror, a separate git dir) is
  // neither cleaned nor entered.
  // Only judging a repository notes git's data away: most folders skip it.
  const bool judges_git = signs.git_dir_entries || signs.git_data_shape || signs.dot_git;
  const unsigned long noted = judges_git ? GitDataNotedHere() : 0;
  if (cleaner.LeavesDatabaseAlone(*stack.top(), stack.path(), signs)) {
    cleaner.SayIfGitDataFoundLate(stack.path(), info.id, *extensions_, noted);
    stack.PopTo(stack.size() - 1);
    return false;
  }
  // A folder whose .git is a repository starts a work tree of its own (a
  // nested repository, a submodule), inside the one around it, whose
  // tracked files are kept too.
  std::shared_ptr<const WorkTree> work_tree = task.parent->work_tree;
  if (signs.dot_git && settings_.keep_tracked) {
    std::shared_ptr<const WorkTree> own =
        cleaner.LoadWorkTree(*stack.top(), stack.path(), stack.ChildNameOffset(), work_tree);
    if (own != nullptr) work_tree = std::move(own);
  } else if (signs.dot_git) {
    // Where it keeps data away from its git dir is git's data all the same.
    GitPlace place;
    std::string ignored;
    JudgeDotGit(fs_, *stack.top(), "", &place, &ignored);
  }
  if (judges_git) cleaner.SayIfGitDataFoundLate(stack.path(), info.id, *extensions_, noted);
  cleaner.JudgeExcludedFolders(*stack.top(), stack.path(), *extensions_);
  // And one the environment names, or a repository met before names
  // (core.worktree) beside its own top.
  if (settings_.keep_tracked &&
      (!settings_.named_work_trees.empty() || settings_.late_work_trees->AnyTrackedOutside())) {
    work_tree = cleaner.NamedWorkTreeAt(stack.path(), stack.ChildNameOffset(), std::move(work_tree));
  }
  // Its files are also those of its other paths, where git may track them.
  if (!settings_.shown_elsewhere->empty() && settings_.keep_tracked) {
    work_tree = cleaner.WorkTreesShownElsewhere(info.id, stack.ChildNameOffset(),
                                                std::move(work_tree));
  }
  // Where this folder's lines would have to wait for room, its cleaning is
  // put off and the worker lists on; it goes on down only while the held
  // handles leave room to put off more.
  std::size_t expected = 0;
  const bool put_off = ShouldPutOff(worker, stack.path(), &expected);
  const bool go_on = !put_off || MayPutOff(0);
  std::shared_ptr<const FolderNode> node;
  if (!worker.subfolders.entries.empty()) {
    auto made = std::make_shared<FolderNode>();
    made->parent = std::move(task.parent);
    made->name = task.name;
    made->id = info.id;
    made->depth = stack.size() - 1;
    made->work_tree = work_tree;
    node = std::move(made);
    stack.SetTopNode(node);
    const std::size_t first = go_on ? 1 : 0;
    if (go_on) worker.next_name.assign(worker.subfolders.NameOf(worker.subfolders.entries.front()));
    if (worker.subfolders.entries.size() > first) {
      Publish(worker, node, stack.shared_top(), &worker.subfolders, first);
    }
  }
  task.parent.reset();
  if (!put_off || !PutOff(worker, stack.shared_top(), info.id, stack.path(), work_tree, expected)) {
    cleaner.WriteCleanedBlock(*stack.top(), info.id, worker.targets, stack.path(),
                              work_tree.get());
    Unreserve(worker);  // what this folder did not need
  }
  if (node == nullptr || !go_on) return false;
  // The stack stands on the folder: its first subfolder opens from there.
  task.parent = std::move(node);
  task.name.swap(worker.next_name);
  return true;
}

// Puts the subfolders `names` of `node` from `first` on (the worker goes on
// to the first itself, unless told 0) right behind the worker's block, so
// they come before whatever followed it, as one thread visits them.
void Sweep::Publish(Worker& worker, std::shared_ptr<const FolderNode> node,
                    std::shared_ptr<const platform::Dir> dir, platform::EntryList* names,
                    std::size_t first) {
  std::unique_lock<std::mutex> lock = Lock();
  const Order::iterator range = Place(std::next(worker.block));
  range->is_range = true;
  range->parent = std::move(node);
  if (handles_.TryHold()) {
    range->dir = std::move(dir);
    range->holds_handle = true;
  }
  // The worker gets the spare entry's buffers for its next listing.
  std::swap(range->names, *names);
  range->next = first;
  WakeTakers(range->names.entries.size() - first);
}

// What the lines of the block of a folder listed into the worker's targets,
// shown as `path`, should take, a little more rather than less: the folder's
// line and one for each by-product, each about as long as the path, and the
// banners and the count; longer in JSON or with a trash to name.
std::size_t Sweep::ExpectedBytes(const Worker& worker, const std::string& path) const {
  constexpr std::size_t kLineBeside = 32;    // a label, a separator, an end
  constexpr std::size_t kBlockBeside = 256;  // banners, the count
  const std::size_t lines = worker.targets.entries.size() + 1;
  std::size_t bytes = lines * (path.size() + kLineBeside) + worker.targets.names.size();
  if (settings_.trash != nullptr) bytes *= 2;
  if (report_.json()) bytes *= 2;
  return bytes + kBlockBeside;
}

// Whether `past` folders more than the bounds allow may be put off: the
// handles held, and how many wait at all, since every worker that takes a
// folder looks them over.
bool Sweep::MayPutOff(std::size_t past) const {
  return handles_.MayHold(past) &&
         put_off_.load() < kPutOffPerWorker * workers_.size() + past;
}

// Whether the worker, whose block is not first, had better put off cleaning
// the folder it listed: the file system keeps requests waiting, and a handle
// may be held for it; and its lines are many, or there is no room to spare
// for them, or blocks before it may wait for room already, which they
// should have first. Put off, folders are cleaned in the order's order as
// room comes (NextToTake), so the room holds the lines the report needs next.
bool Sweep::ShouldPutOff(Worker& worker, const std::string& path, std::size_t* expected) {
  // Where requests are answered at once, working ahead would only take the
  // processors from the front: a worker out of room waits instead.
  if (!pace_.works_ahead()) return false;
  if (worker.direct || worker.writing) return false;
  if (first_block_.load(std::memory_order_acquire) == &*worker.block) return false;
  // Past the held handles' bound each worker may still put off the one
  // folder it listed, rather than wait for room on it (see HandleBudget),
  // and then lists no further.
  if (!MayPutOff(workers_.size())) return false;
  // Only now is the estimate worth making: on a warm cache no folder needs it.
  *expected = ExpectedBytes(worker, path);
  // A large folder cleaned at once further on than the front would hold
  // much of the room until the front came by, and more threads would only
  // mean more such folders (a tree of folders of 60 to 700 by-products on
  // a share took 20.7 s at -j 64 against 13.9 s at -j 8 so; 13.3 s once
  // they were put off).
  if (*expected >= kLargeFolderBytes) return true;
  // Cleaning at once, maybe out of order, takes only room to spare.
  return put_off_.load() > 0 || !Reserve(worker, *expected, kRoomToSpare);
}

// Puts off cleaning the folder open as `dir`, listed into the worker's
// targets: the block in hand keeps them, with what else cleaning needs,
// until a worker with room for its lines, or the one that finds it first,
// takes it (Take). The worker goes on in a fresh block right behind it.
// False, and nothing put off, where its block has become first meanwhile
// or the run must stop.
bool Sweep::PutOff(Worker& worker, std::shared_ptr<const platform::Dir> dir,
                   const platform::FolderId& id, const std::string& path,
                   std::shared_ptr<const WorkTree> work_tree, std::size_t expected) {
  worker.FlushBlock();
  std::unique_lock<std::mutex> lock = Lock();
  if (order_.begin() == worker.block || worker.writing || MustStop() ||
      !handles_.TryHold(workers_.size())) {
    return false;
  }
  Entry& block = *worker.block;
  block.put_off = true;
  block.owner = nullptr;
  block.dir = std::move(dir);
  block.holds_handle = true;
  block.id = id;
  block.path = path;
  block.work_tree = std::move(work_tree);
  block.expected = expected;
  std::swap(block.names, worker.targets);
  put_off_.fetch_add(1);
  worker.block = Place(std::next(worker.block));
  worker.block->owner = &worker;
  worker.console.Capture(&worker.block->output);
  return true;
}

// Waiting subfolders will be reached again instead; each handle closes once
// no worker uses it any more. Whether any was let go of.
bool Sweep::ReleaseHeldHandles() {
  std::lock_guard<std::mutex> lock(mutex_);
  bool released = false;
  for (Entry& entry : order_) {
    // A put off block is cleaned through its handle: it has no other way.
    if (!entry.holds_handle || !entry.is_range) continue;
    entry.dir.reset();
    entry.holds_handle = false;
    handles_.Release();
    released = true;
  }
  return released;
}

// Before `incoming` bytes are kept: waits, between two lines, while keeping
// them would pass the bound, unless the worker's block is first, in which
// case it writes what it kept and from then on writes straight through.
// Whether it counted them in the room itself, as there was room for them.
bool Sweep::HoldBack(Worker& worker, std::size_t incoming) {
  if (worker.writing || worker.direct) return false;
  const bool first = first_block_.load(std::memory_order_acquire) == &*worker.block;
  if (!first && room_.Admit(incoming)) return true;
  std::unique_lock<std::mutex> lock = Lock();
  for (;;) {
    if (order_.begin() == worker.block && !writing_) {
      // First, and no one is still writing out the blocks before: our turn.
      // What was kept goes out, the rest as it is written.
      writing_ = true;
      worker.writing = true;
      lock.unlock();
      PassOnKept(*worker.block);
      worker.console.PassOn();
      return false;
    }
    // Counted as waiting before it looks at the room: the writer makes
    // room first and looks for waiters after, without the lock, so either
    // this look finds the room or the writer finds this worker (a worker
    // counted only once it waited slept the whole check interval).
    room_waiters_.fetch_add(1);
    const bool admitted = room_.Admit(incoming);
    if (!admitted && !MustStop()) WaitForRoom(worker, lock);
    room_waiters_.fetch_sub(1);
    if (admitted) return true;
    if (MustStop()) return false;
  }
}

// Counts `bytes` the worker is about to keep or write against the bound:
// out of the room it reserved for its folder, as far as that goes, and
// beyond it only once there is room (see HoldBack).
void Sweep::Count(Worker& worker, std::size_t bytes) {
  const std::size_t reserved = std::min(bytes, worker.reserved);
  bool counted = false;
  // A block that has become first writes straight out from now on.
  if (bytes > reserved || first_block_.load(std::memory_order_acquire) == &*worker.block) {
    counted = HoldBack(worker, bytes - reserved);
  }
  const std::size_t uncounted = counted ? reserved : bytes;
  if (uncounted > 0) room_.Add(uncounted);
  if (reserved == 0) return;
  worker.reserved -= reserved;
  room_.Release(reserved);
}

// Reserves room for the `bytes` the lines of the folder the worker is about
// to clean are expected to take, where they fit and at least `spare` of the
// room is free before them: so workers that start cleaning side by side
// don't all find the room gone halfway.
bool Sweep::Reserve(Worker& worker, std::size_t bytes, std::size_t spare) {
  if (!room_.Reserve(bytes, spare)) return false;
  worker.reserved += bytes;
  return true;
}

// Gives back what the worker reserved and did not use.
void Sweep::Unreserve(Worker& worker) {
  if (worker.reserved == 0) return;
  room_.Release(worker.reserved);
  worker.reserved = 0;
}

// Hands in the worker's finished block: written out now if it is first,
// with whatever is done behind it, or else kept until its turn.
void Sweep::Deliver(Worker& worker, std::unique_lock<std::mutex>& lock) {
  --busy_;
  if (worker.writing || worker.direct) {
    // The block went out as it was written.
    worker.writing = false;
    Retire(worker.block);
  } else {
    worker.block->done = true;
    worker.block->kept = worker.block->output.bytes.size();
    // One worker writes at a time; it also writes what is done meanwhile.
    if (writing_) {
      if (busy_ == 0) WakeTakers(workers_.size());
      return;
    }
    writing_ = true;
  }
  try {
    WriteDoneBlocks(lock);
  } catch (...) {
    if (!lock.owns_lock()) lock.lock();
    writing_ = false;
    throw;
  }
  writing_ = false;
  NoteFirst();
  WakeFirst();
  // The last folder in hand done: whoever waits for more may end. Room
  // made: a put off block may go on, or a range held back for the front
  // may be taken (see NextToTake).
  if (busy_ == 0) {
    WakeTakers(workers_.size());
  } else {
    WakeTakers(1);
  }
}

void Sweep::WriteDoneBlocks(std::unique_lock<std::mutex>& lock) {
  while (!order_.empty() && !order_.front().is_range && order_.front().done) {
    // The block is ours until it leaves the order: no worker writes after it
    // before that.
    Entry& front = order_.front();
    lock.unlock();
    PassOnKept(front);
    lock.lock();
    Retire(order_.begin());
  }
}

// Passes the output kept in `block` on to the run's report; by the writing
// worker only.
void Sweep::PassOnKept(Entry& block) {
  // Counted piece by piece: should memory run out halfway, whoever writes
  // the block out later goes on after what was handed on already.
  CapturedOutput& output = block.output;
  for (; output.passed_on < output.pieces.size(); ++output.passed_on) {
    const std::size_t begin = output.passed_on == 0 ? 0 : output.pieces[output.passed_on - 1].end;
    const CapturedOutput::Piece& piece = output.pieces[output.passed_on];
    PassOn(piece.stream, std::string_view(output.bytes).substr(begin, piece.end - begin));
  }
  output.Clear();
}

// Passes `bytes`, already counted as unwritten, on to the run's report; by
// the writing worker only.
void Sweep::PassOn(platform::OutputStream stream, std::string_view bytes) {
  const std::size_t before = report_.held();
  report_.PassOn(stream, bytes);
  NoteWritten(before, bytes.size());
}

// Writes out all the run's report holds; by the writing worker only.
void Sweep::FlushReport() {
  const std::size_t before = report_.held();
  report_.Flush();
  NoteWritten(before, 0);
}

// After the writing worker passed `added` bytes on to the run's report,
// which held `before` bytes: counts what left it as handed on, writes out
// early when what it, its console and the other workers hold would pass the
// bound (it never waits), and stops every worker once the output has failed.
void Sweep::NoteWritten(std::size_t before, std::size_t added) {
  std::size_t handed_on = before + added - report_.held();
  const std::size_t gathered = report_.console().GatheredBytes();
  const std::size_t in_report = report_.held() + gathered;
  // Room reserved counts as held: those lines come without asking again,
  // so a report left to grow past what the reservations were granted
  // against would take the bound over with them.
  const std::size_t total = room_.counted() - handed_on + gathered + room_.reserved();
  // While folders are put off for want of room, what the report holds is
  // room they wait for: it goes out sooner, in writes still worth making.
  const std::size_t write_at = put_off_.load() > 0 ? kWakeBytes : kReportWriteBytes;
  if (in_report > 0 && ((total > in_report && in_report >= write_at) || total > kMostHeldBytes)) {
    handed_on += report_.held();
    report_.Flush();
  }
  // Nothing more may be deleted once it can't be put on record: every worker
  // learns so before the room the lost lines leave lets any go on.
  if (report_.output_failed()) halt_.store(true);
  if (handed_on > 0) room_.Remove(handed_on);
  // Workers may be waiting for room, made here or by a terminal's console
  // in its own time since the last look (what was handed on and is no
  // longer gathered); a few bytes are not worth waking them for.
  const std::size_t gathered_now = report_.console().GatheredBytes();
  const std::size_t had_all_stayed = gathered_seen_ + handed_on;
  gathered_seen_ = gathered_now;
  if ((had_all_stayed >= gathered_now + kWakeBytes || report_.output_failed()) &&
      (room_waiters_.load() > 0 || put_off_.load() > 0)) {
    std::lock_guard<std::mutex> lock(mutex_);
    WakeRoomWaiters();
    if (put_off_.load() > 0) WakeTakers(1);
  }
}

bool Sweep::MustStop() {
  // Whoever sees the output failed first tells every worker's cleaner, which
  // looks only at halt_: one let go from waiting for room would otherwise
  // delete on, its lines lost, until the writer came round to saying so.
  if (report_.output_failed()) halt_.store(true);
  return platform::StopRequested() || halt_.load();
}

// What the cleaners of every worker counted so far, by `count`.
template <typename Counter>
long long Sweep::SumOverWorkers(Counter count) const {
  long long sum = 0;
  for (const std::unique_ptr<Worker>& worker : workers_) sum += (worker->cleaner.*count)();
  return sum;
}

long long Sweep::deleted() const { return SumOverWorkers(&FolderCleaner::deleted); }

long long Sweep::kept() const { return SumOverWorkers(&FolderCleaner::kept); }

long long Sweep::kept_unknown() const { return SumOverWorkers(&FolderCleaner::kept_unknown); }

bool Sweep::fell_short() const {
  for (const std::unique_ptr<Worker>& worker : workers_) {
    if (worker->cleaner.fell_short()) return true;
  }
  return false;
}

void Sweep::ReleaseMemory() {
  ReleaseScratch();
  Order().swap(spare_);
}

void Sweep::ReleaseScratch() {
  for (const std::unique_ptr<Worker>& worker : workers_) {
    worker->targets = platform::EntryList();
    worker->subfolders = platform::EntryList();
    worker->cleaner.ReleaseMemory();
  }
}

}  // namespace engine
