// Standard output gathered for a terminal and written in batches, shared by
// the POSIX and Windows consoles. A person reading a terminal can't tell a
// line written at once from one written a few milliseconds later, but a
// write per line costs the terminal (and the run, which waits for it) far
// more than the line itself. Plain C++: the system's write is a callback.
#ifndef BUILDSWEEP_PLATFORM_GATHERED_OUTPUT_H_
#define BUILDSWEEP_PLATFORM_GATHERED_OUTPUT_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/console.h"

namespace platform {

/// Gathers standard output and writes it through a callback: at the latest
/// `interval` after its first byte was gathered, or once half of
/// `most_gathered` bytes are waiting (a thread of its own sees to both while
/// the run goes on), before anything goes to standard error, and on Flush.
/// A write that would make more than `most_gathered` bytes unwritten waits
/// for room. Everything keeps the order it was handed in, across both
/// streams.
class GatheredOutput {
 public:
  /// Writes all of `bytes` to `stream`; false, with the reason in `error`,
  /// when it could not.
  using WriteFunction =
      std::function<bool(OutputStream stream, std::string_view bytes, std::string* error)>;

  /// The interval within which gathered output is shown at a terminal.
  static constexpr std::chrono::milliseconds kInterval{100};
  /// The most a terminal's console holds unwritten: half of what a failed
  /// write may lose from the report, which leaves the other half for what
  /// the report and its threads hold themselves.
  static constexpr std::size_t kMostGathered = std::size_t{32} * 1024;

  /// Writes with `write`, holding at most `most_gathered` bytes unwritten
  /// for at most `interval`. Without a thread to spare, writes at once.
  explicit GatheredOutput(WriteFunction write, std::size_t most_gathered = kMostGathered,
                          std::chrono::milliseconds interval = kInterval);
  /// Writes out what is left and stops the thread.
  ~GatheredOutput();
  GatheredOutput(const GatheredOutput&) = delete;
  GatheredOutput& operator=(const GatheredOutput&) = delete;

  /// Gathers `bytes` for standard output, or writes `bytes` to standard
  /// error after everything gathered. False, with the reason in `error`,
  /// when these bytes or an earlier batch could not be written: after a
  /// failed batch standard output is no longer written at all.
  bool Write(OutputStream stream, std::string_view bytes, std::string* error);

  /// Writes out everything gathered now. False, with the reason in
  /// `error`, when this or an earlier batch could not be written.
  bool Flush(std::string* error);

  /// How many bytes are gathered and not yet written (including a batch
  /// being written). Safe from any thread.
  std::size_t gathered() const { return gathered_.load(std::memory_order_relaxed); }

 private:
  using Clock = std::chrono::steady_clock;

  bool Gather(std::string_view bytes, std::string* error);
  bool WriteBatch(bool wait, std::string* error);
  bool WriteNow(OutputStream stream, std::string_view bytes, std::string* error);
  void SendPending();
  void NoteFailure(const std::string& reason);
  bool Succeeded(std::string* error);
  std::size_t BatchSize() const;
  void StartThread();
  void ShowEveryInterval();

  const WriteFunction write_;
  const std::size_t most_gathered_;
  const std::chrono::milliseconds interval_;

  // Held while anything is written, so batches and error lines go out
  // whole and in order, whichever thread writes them.
  std::mutex write_mutex_;
  std::string sending_;  // the batch being written, under write_mutex_

  std::mutex mutex_;  // guards what follows
  std::condition_variable gathering_;  // wakes the thread
  std::condition_variable room_;       // wakes a writer waiting for room
  std::string pending_;
  std::size_t in_flight_ = 0;         // sending_.size() while it is written
  int room_wanted_ = 0;               // writers waiting for room
  Clock::time_point first_gathered_;  // when pending_'s first byte came
  std::string failure_;                // the reason the first batch failed
  bool failed_ = false;
  bool stopping_ = false;
  bool thread_tried_ = false;
  std::thread thread_;

  std::atomic<std::size_t> gathered_{0};  // pending_ and in_flight_, for any thread
};

}  // namespace platform

#endif  // BUILDSWEEP_PLATFORM_GATHERED_OUTPUT_H_
