#include "platform/gathered_output.h"

#include <system_error>
#include <utility>

namespace platform {

GatheredOutput::GatheredOutput(WriteFunction write, std::size_t most_gathered,
                               std::chrono::milliseconds interval)
    : write_(std::move(write)), most_gathered_(most_gathered), interval_(interval) {
  // Both buffers are swapped, never grown: a line handed in never needs
  // memory, however little is left by then.
  pending_.reserve(most_gathered_);
  sending_.reserve(most_gathered_);
}

GatheredOutput::~GatheredOutput() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  gathering_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::string ignored;
  Flush(&ignored);
}

bool GatheredOutput::Write(OutputStream stream, std::string_view bytes, std::string* error) {
  if (stream == OutputStream::kStandardOutput) return Gather(bytes, error);
  return WriteNow(stream, bytes, error);
}

bool GatheredOutput::Flush(std::string* error) { return WriteBatch(/*wait=*/true, error); }

bool GatheredOutput::Gather(std::string_view bytes, std::string* error) {
  bool due;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    StartThread();
    // Without the thread nothing would show a line the run leaves waiting:
    // then every line goes out at once, as it would without gathering.
    if (!thread_.joinable() || bytes.size() > most_gathered_) {
      lock.unlock();
      return WriteNow(OutputStream::kStandardOutput, bytes, error);
    }
    // What is being written counts until it is out: a failed write loses it.
    // The thread makes room while this one goes on cleaning, so that the
    // run and a slow terminal take their time side by side, not in turn.
    while (!failed_ && pending_.size() + in_flight_ + bytes.size() > most_gathered_) {
      ++room_wanted_;
      gathering_.notify_one();
      room_.wait(lock);
      --room_wanted_;
    }
    if (failed_) {
      *error = failure_;
      return false;
    }
    const Clock::time_point now = Clock::now();
    const bool first = pending_.empty();
    if (first) first_gathered_ = now;
    pending_.append(bytes);
    gathered_.store(pending_.size() + in_flight_, std::memory_order_relaxed);
    if (first || pending_.size() >= BatchSize()) gathering_.notify_one();
    due = now - first_gathered_ >= interval_;
  }
  // Overdue (the thread may not have been given a processor): write it
  // here, unless a write is under way, which will be followed by the next.
  return due ? WriteBatch(/*wait=*/false, error) : true;
}

// Writes the pending batch. Unless `wait`, leaves it if another write is
// under way rather than wait for that one (a slow terminal, a selection in
// a Windows console) to finish.
bool GatheredOutput::WriteBatch(bool wait, std::string* error) {
  std::unique_lock<std::mutex> writing(write_mutex_, std::defer_lock);
  if (wait) {
    writing.lock();
  } else if (!writing.try_lock()) {
    return Succeeded(error);
  }
  SendPending();
  return Succeeded(error);
}

// Writes `bytes` to `stream` straight after everything gathered.
bool GatheredOutput::WriteNow(OutputStream stream, std::string_view bytes, std::string* error) {
  std::lock_guard<std::mutex> writing(write_mutex_);
  SendPending();
  if (stream == OutputStream::kStandardOutput) {
    if (!Succeeded(error)) return false;
    if (bytes.empty() || write_(stream, bytes, error)) return true;
    NoteFailure(*error);
    return false;
  }
  // Standard error is written whatever became of standard output: it may
  // be the line that says what became of it.
  return write_(stream, bytes, error);
}

// Writes what is pending; write_mutex_ is held.
void GatheredOutput::SendPending() {
  bool failed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sending_.swap(pending_);
    pending_.clear();
    in_flight_ = sending_.size();
    failed = failed_;
  }
  // After a failed batch nothing more goes out: every later write would
  // fail the same way, and the run stops at the next file anyway.
  std::string reason;
  if (!sending_.empty() && !failed && !write_(OutputStream::kStandardOutput, sending_, &reason)) {
    NoteFailure(reason);
  }
  sending_.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  in_flight_ = 0;
  gathered_.store(pending_.size(), std::memory_order_relaxed);
  room_.notify_all();
}

void GatheredOutput::NoteFailure(const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failed_) return;
  failed_ = true;
  failure_ = reason;
  room_.notify_all();
}

bool GatheredOutput::Succeeded(std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!failed_) return true;
  *error = failure_;
  return false;
}

// Starts the thread on the first line gathered; mutex_ is held.
void GatheredOutput::StartThread() {
  if (thread_tried_) return;
  thread_tried_ = true;
  try {
    thread_ = std::thread(&GatheredOutput::ShowEveryInterval, this);
  } catch (const std::system_error&) {
    // No thread to spare: the output goes out line by line, as before.
  }
}

// Half the bound: while one batch is written, the next one gathers.
std::size_t GatheredOutput::BatchSize() const { return most_gathered_ / 2; }

// Writes a batch once it is due, as soon as it is big enough to go, or when
// a writer waits for room.
void GatheredOutput::ShowEveryInterval() {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto urgent = [this] {
    return stopping_ || room_wanted_ > 0 || pending_.size() >= BatchSize();
  };
  for (;;) {
    gathering_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    gathering_.wait_until(lock, first_gathered_ + interval_, urgent);
    if (stopping_) return;
    // Written meanwhile by another thread, maybe gathered again since.
    if (pending_.empty() || (!urgent() && Clock::now() < first_gathered_ + interval_)) continue;
    lock.unlock();
    std::string ignored;  // the next Write reports it
    WriteBatch(/*wait=*/true, &ignored);
    lock.lock();
  }
}

}  // namespace platform
