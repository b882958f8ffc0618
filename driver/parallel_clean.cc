#include "driver/parallel_clean.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <system_error>
#include <utility>

namespace driver {
namespace {

// Folders per chunk: enough that taking a chunk costs nothing next to
// cleaning it, few enough that the threads share a small tree evenly.
constexpr std::size_t kChunkFolders = 32;
// Chunks per thread that may be done ahead of the report.
constexpr std::size_t kSlotsPerJob = 4;
// A failed write may leave at most Report::kBlockLimit bytes of lines
// unwritten, with one thread as with several. With several, that bound is
// shared: threads pass their lines on in pieces that together stay within
// kThreadBlockBytes, and those not next wait while what the run's report
// holds and what they hold back together exceed the rest.
constexpr std::size_t kThreadBlockBytes = std::size_t{4} * 1024;
constexpr std::size_t kMostHeldBytes = engine::Report::kBlockLimit - kThreadBlockBytes;
// A stop signal sets a flag and wakes no one: waiting threads look at it
// this often.
constexpr std::chrono::milliseconds kStopCheckInterval(10);

}  // namespace

// A console for one thread's chunk: what the report writes is kept in the
// chunk's slot, in the order of the two streams, until the chunk's turn
// comes; from then on it goes straight to the run's report. A thread that
// holds back too much waits here, between two lines, until it may go on.
class ParallelCleaning::CapturingConsole : public platform::Console {
 public:
  CapturingConsole(ParallelCleaning& owner, Worker& worker, platform::Console& real)
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
    if (report_ != nullptr) {
      report_->PassOn(stream, bytes);
      owner_.NoteWritten();
      return true;
    }
    target_->bytes.append(bytes);
    owner_.held_bytes_.fetch_add(bytes.size());
    if (!target_->pieces.empty() && target_->pieces.back().stream == stream) {
      target_->pieces.back().end = target_->bytes.size();
    } else {
      target_->pieces.push_back({stream, target_->bytes.size()});
    }
    owner_.HoldBack(worker_);
    return true;
  }
  int ReadChar() override { return -1; }
  void Pause(int) override {}
  // At a terminal each line is passed on as it ends, as one thread writes it.
  bool OutputIsInteractive() override { return interactive_; }
  platform::TextEncoding Encoding() override { return encoding_; }

 private:
  ParallelCleaning& owner_;
  Worker& worker_;
  platform::TextEncoding encoding_;
  bool interactive_;
  CapturedOutput* target_ = nullptr;
  engine::Report* report_ = nullptr;
};

// One cleaning thread's own state: its walker, with its own chain of open
// folders, and its place in the list.
struct ParallelCleaning::Worker {
  Worker(ParallelCleaning& owner, platform::FileSystem& fs, platform::Console& real_console,
         const engine::NameFilter& filter, const engine::FolderList& folders,
         const std::string& root)
      : console(owner, *this, real_console),
        report(console),
        walker(fs, report, filter),
        reader(folders),
        trail(root) {}

  CapturingConsole console;
  engine::Report report;
  engine::Walker walker;
  engine::FolderList::Reader reader;
  engine::FolderTrail trail;
  engine::CollectedFolder folder;
  std::size_t next_index = 0;  // of the folder the reader gives next
  bool root_opened = false;
  std::size_t chunk = 0;   // the chunk in hand
  Slot* slot = nullptr;    // where its output waits for its turn
  bool writing = false;    // its chunk is next: it writes to the report itself
};

ParallelCleaning::ParallelCleaning(platform::FileSystem& fs, engine::Report& report,
                                   engine::Walker& collector, engine::FolderList& folders,
                                   const engine::ExtensionList& extensions,
                                   const std::string& root, unsigned jobs)
    : fs_(fs),
      report_(report),
      collector_(collector),
      folders_(folders),
      extensions_(extensions),
      root_(root),
      jobs_(jobs < 1 ? 1 : jobs),
      slots_(kSlotsPerJob * jobs_) {
  for (unsigned i = 0; i < jobs_; ++i) {
    workers_.push_back(std::make_unique<Worker>(*this, fs_, report.console(),
                                                collector_.filter(), folders_, root_));
    workers_.back()->walker.StopAlso(&halt_);
    workers_.back()->walker.KeepFiles(collector_.kept_files());
    workers_.back()->walker.set_deletion_label(collector_.deletion_label());
    workers_.back()->report.LimitBlocks(std::max<std::size_t>(1, kThreadBlockBytes / jobs_));
  }
}

ParallelCleaning::~ParallelCleaning() {
  folders_.set_listener(nullptr);
  if (threads_.empty()) return;
  // Only if Finish never ran (an exception on the calling thread): let the
  // threads end before their state goes.
  halt_.store(true);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    collection_done_ = true;
    cleaning_allowed_ = true;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void ParallelCleaning::Start(bool hold) {
  cleaning_allowed_ = !hold;
  folders_.set_listener(this);
  for (unsigned i = 1; i < jobs_; ++i) {
    try {
      threads_.emplace_back([this, i] { Work(*workers_[i]); });
    } catch (const std::system_error&) {
      break;  // fewer threads, same result
    }
  }
}

void ParallelCleaning::Appended(std::size_t count) {
  if (count % kChunkFolders != 0) return;
  { std::lock_guard<std::mutex> lock(mutex_); }
  changed_.notify_all();
}

void ParallelCleaning::CollectionDone() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    collection_done_ = true;
  }
  changed_.notify_all();
}

void ParallelCleaning::AllowCleaning() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cleaning_allowed_ = true;
  }
  changed_.notify_all();
}

void ParallelCleaning::Work(Worker& worker) {
  Slot* slot = nullptr;
  try {
    for (;;) {
      const std::size_t chunk = next_chunk_.fetch_add(1);
      std::size_t end = 0;
      if (!WaitForChunk(chunk, &end)) break;
      slot = &slots_[chunk % slots_.size()];
      worker.chunk = chunk;
      worker.slot = slot;
      worker.console.Capture(&slot->output);
      CleanChunk(worker, chunk, end);
      Slot* done = slot;
      slot = nullptr;
      Deliver(worker, *done);
    }
  } catch (const std::bad_alloc&) {
    // Stop every thread; what this one recorded so far is written with the
    // rest if it can be.
    halt_.store(true);
    if (slot != nullptr) {
      try {
        worker.report.Flush();
      } catch (const std::bad_alloc&) {
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (slot != nullptr && !worker.writing) slot->filled = true;
    if (worker.writing) writing_ = false;
    out_of_memory_ = true;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  outcome_.deleted += worker.walker.deleted();
  if (worker.walker.fell_short()) outcome_.fell_short = true;
}

bool ParallelCleaning::WaitForChunk(std::size_t chunk, std::size_t* end) {
  const std::size_t first = chunk * kChunkFolders;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (MustStop()) return false;
    if (cleaning_allowed_ && chunk < written_ + slots_.size()) {
      const std::size_t available = folders_.size();
      if (available >= first + kChunkFolders || (collection_done_ && available > first)) {
        *end = std::min(available, first + kChunkFolders);
        Slot& slot = slots_[chunk % slots_.size()];
        slot.chunk = chunk;
        return true;
      }
      if (collection_done_) return false;  // past the last folder
    }
    changed_.wait_for(lock, kStopCheckInterval);
  }
}

void ParallelCleaning::HoldBack(Worker& worker) {
  if (worker.writing) return;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (written_ == worker.chunk) {
      if (writing_) return;  // someone is finishing the chunk before; next time
      // Our turn: what was held goes out, the rest as it is written.
      writing_ = true;
      worker.writing = true;
      lock.unlock();
      PassOn(worker.slot->output);
      ClearSlot(*worker.slot);
      NoteWritten();
      worker.console.PassOnTo(&report_);
      return;
    }
    if (held_bytes_.load() + report_held_.load() <= kMostHeldBytes || MustStop()) return;
    changed_.wait_for(lock, kStopCheckInterval);
  }
}

void ParallelCleaning::CleanChunk(Worker& worker, std::size_t chunk, std::size_t end) {
  const std::size_t first = chunk * kChunkFolders;
  if (!worker.root_opened) {
    // The list holds a folder, so collection has opened the root.
    worker.walker.OpenRootForCleaning(collector_.root().info.id);
    worker.root_opened = true;
  }
  // Follow the folders the other threads clean, keeping only their names
  // and identities: they lead to this chunk's first folder.
  for (; worker.next_index < first; ++worker.next_index) {
    worker.reader.Skip(&worker.folder);
    worker.trail.Enter(worker.folder);
  }
  for (bool first_folder = true; worker.next_index < end; first_folder = false) {
    if (worker.walker.ShouldStop()) break;
    worker.reader.Next(&worker.folder);
    ++worker.next_index;
    const std::string& path = worker.trail.Enter(worker.folder);
    if (first_folder) worker.walker.ReachAncestors(worker.trail, worker.folder.depth);
    CleanFolderBlock(worker.walker, worker.report, worker.folder, path, extensions_);
    // Each block counts against what may be held back as soon as it is done.
    worker.report.Flush();
  }
}

void ParallelCleaning::Deliver(Worker& worker, Slot& slot) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (worker.writing) {
    // The chunk went out as it was cleaned.
    worker.writing = false;
    ++written_;
    changed_.notify_all();
  } else {
    slot.filled = true;
    // One thread writes at a time; it also writes what is delivered meanwhile.
    if (writing_) return;
    writing_ = true;
  }
  WriteFilledSlotsInOrder(lock);
  writing_ = false;
}

void ParallelCleaning::ClearSlot(Slot& slot) {
  held_bytes_.fetch_sub(slot.output.bytes.size());
  slot.output.bytes.clear();
  slot.output.pieces.clear();
}

void ParallelCleaning::WriteFilledSlotsInOrder(std::unique_lock<std::mutex>& lock) {
  for (;;) {
    Slot& next = slots_[written_ % slots_.size()];
    if (!next.filled || next.chunk != written_) return;
    // The slot is ours until written_ moves on: no thread takes its next
    // chunk before that.
    lock.unlock();
    PassOn(next.output);
    ClearSlot(next);
    NoteWritten();
    lock.lock();
    next.filled = false;
    ++written_;
    changed_.notify_all();
  }
}

void ParallelCleaning::PassOn(const CapturedOutput& output) {
  std::size_t begin = 0;
  for (const CapturedOutput::Piece& piece : output.pieces) {
    report_.PassOn(piece.stream, std::string_view(output.bytes).substr(begin, piece.end - begin));
    begin = piece.end;
  }
}

// After the writing thread passed output on: notes what the report now
// holds, and stops every thread once the output has failed.
void ParallelCleaning::NoteWritten() {
  // Only the writing thread gets here, so it may look at the report. It
  // never waits, so it writes out early instead when what the report and
  // the other threads hold would pass the bound together.
  const std::size_t was_held = report_held_.load();
  if (held_bytes_.load() + report_.held() > kMostHeldBytes) report_.Flush();
  report_held_.store(report_.held());
  if (report_.held() < was_held) {
    // Threads may be waiting for the room just made; the lock makes sure
    // none is between looking and waiting.
    { std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
  }
  // Nothing more may be deleted once it can't be put on record.
  if (report_.output_failed()) halt_.store(true);
}

bool ParallelCleaning::MustStop() const {
  return platform::StopRequested() || report_.output_failed() || halt_.load();
}

void ParallelCleaning::HaltForLackOfMemory() {
  halt_.store(true);
  std::lock_guard<std::mutex> lock(mutex_);
  out_of_memory_ = true;
}

void ParallelCleaning::Finish(ThreadsOutcome* outcome) {
  CollectionDone();
  AllowCleaning();
  Work(*workers_[0]);
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  folders_.set_listener(nullptr);
  // After a stop, chunks further on may be done while an earlier one is
  // not: their deletions go on record after it, still in list order.
  std::unique_lock<std::mutex> lock(mutex_);
  const std::size_t last = written_ + slots_.size();
  for (std::size_t chunk = written_; chunk < last; ++chunk) {
    Slot& slot = slots_[chunk % slots_.size()];
    if (slot.filled && slot.chunk == chunk) {
      PassOn(slot.output);
      ClearSlot(slot);
    }
  }
  *outcome = outcome_;
  if (out_of_memory_) throw std::bad_alloc();
}

}  // namespace driver
