#include "driver/parallel_clean.h"

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
// A stop signal sets a flag and wakes no one: waiting threads look at it
// this often.
constexpr std::chrono::milliseconds kStopCheckInterval(10);

}  // namespace

// A console for one thread's chunk: what the report writes is kept in the
// chunk's slot, in the order of the two streams.
class ParallelCleaning::CapturingConsole : public platform::Console {
 public:
  explicit CapturingConsole(platform::TextEncoding encoding) : encoding_(encoding) {}

  void set_target(CapturedOutput* target) { target_ = target; }

  bool Write(platform::OutputStream stream, std::string_view bytes, std::string*) override {
    target_->bytes.append(bytes);
    if (!target_->pieces.empty() && target_->pieces.back().stream == stream) {
      target_->pieces.back().end = target_->bytes.size();
    } else {
      target_->pieces.push_back({stream, target_->bytes.size()});
    }
    return true;
  }
  int ReadChar() override { return -1; }
  void Pause(int) override {}
  bool OutputIsInteractive() override { return false; }
  platform::TextEncoding Encoding() override { return encoding_; }

 private:
  platform::TextEncoding encoding_;
  CapturedOutput* target_ = nullptr;
};

// One cleaning thread's own state: its walker, with its own chain of open
// folders, and its place in the list.
struct ParallelCleaning::Worker {
  Worker(platform::FileSystem& fs, platform::TextEncoding encoding, const engine::NameFilter& filter,
         const engine::FolderList& folders, const std::string& root)
      : console(encoding),
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
  int deleted = 0;
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
  const platform::TextEncoding encoding = report.console().Encoding();
  for (unsigned i = 0; i < jobs_; ++i) {
    workers_.push_back(
        std::make_unique<Worker>(fs_, encoding, collector_.filter(), folders_, root_));
    workers_.back()->walker.StopAlso(&halt_);
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

bool ParallelCleaning::MustStop() const {
  return platform::StopRequested() || report_.output_failed() || halt_.load();
}

void ParallelCleaning::Work(Worker& worker) {
  Slot* slot = nullptr;
  try {
    for (;;) {
      const std::size_t chunk = next_chunk_.fetch_add(1);
      std::size_t end = 0;
      if (!WaitForChunk(chunk, &end)) break;
      slot = &slots_[chunk % slots_.size()];
      worker.console.set_target(&slot->output);
      CleanChunk(worker, chunk * kChunkFolders, end);
      Slot* done = slot;
      slot = nullptr;
      Deliver(*done);
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
    if (slot != nullptr) slot->filled = true;
    out_of_memory_ = true;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  deleted_ += worker.deleted;
  if (worker.walker.had_deletion_failure()) deletion_failed_ = true;
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

void ParallelCleaning::CleanChunk(Worker& worker, std::size_t first, std::size_t end) {
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
    worker.deleted += CleanFolderBlock(worker.walker, worker.report, worker.folder, path, extensions_);
  }
  worker.report.Flush();
}

void ParallelCleaning::Deliver(Slot& slot) {
  std::unique_lock<std::mutex> lock(mutex_);
  slot.filled = true;
  // One thread writes at a time; it also writes what is delivered meanwhile.
  if (writing_) return;
  writing_ = true;
  WriteFilledSlotsInOrder(lock);
  writing_ = false;
}

void ParallelCleaning::WriteFilledSlotsInOrder(std::unique_lock<std::mutex>& lock) {
  for (;;) {
    Slot& next = slots_[written_ % slots_.size()];
    if (!next.filled || next.chunk != written_) return;
    // The slot is ours until written_ moves on: no thread takes its next
    // chunk before that.
    lock.unlock();
    PassOn(next.output);
    // Nothing may be deleted that can't be put on record.
    if (report_.output_failed()) halt_.store(true);
    lock.lock();
    next.output.bytes.clear();
    next.output.pieces.clear();
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

int ParallelCleaning::Finish() {
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
    if (slot.filled && slot.chunk == chunk) PassOn(slot.output);
  }
  if (out_of_memory_) throw std::bad_alloc();
  return deleted_;
}

}  // namespace driver
