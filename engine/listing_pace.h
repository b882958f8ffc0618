// Whether the file system or the processors set a sweep's pace, told from
// how long its listings take. A warm cache lists a small folder in 5 to
// 25 us, and slower only while the processors are busy elsewhere; a disk
// nothing has read since boot answers in tens of microseconds a request, a
// share after a round trip of hundreds. Where listings wait, threads
// beyond the processors keep more requests in flight: the sweep wakes
// workers that wait beside the first ones, as this says when.
#ifndef BUILDSWEEP_ENGINE_LISTING_PACE_H_
#define BUILDSWEEP_ENGINE_LISTING_PACE_H_

#include <atomic>
#include <chrono>
#include <cstddef>

namespace engine {

/// Counts a sweep's listings by how long they waited and says when more
/// workers should sweep. Safe to use from any thread.
class ListingPace {
 public:
  enum class Wait { kNone, kBriefly, kLong };
  /// What the sweep is to do after a listing.
  enum class Step {
    kNone,
    /// Wake four times as many workers as at first, and work ahead of what
    /// may be written; never again for brief waits.
    kWakeSome,
    /// Wake four times as many as sweep now, and work ahead of what may be
    /// written.
    kWakeAndWorkAhead,
  };

  /// How long a listing of `listed_bytes` of names that took `taken`
  /// waited on the file system.
  static Wait Judge(std::chrono::steady_clock::duration taken, std::size_t listed_bytes);

  /// Counts one listing of the sweep that waited as `wait` says.
  Step Note(Wait wait);
  /// The root's listing, before the sweep: one that waited long wakes
  /// workers at once.
  Step NoteRoot(Wait wait);

  /// Whether any step woke workers.
  bool woken() const { return woken_.load(std::memory_order_relaxed); }
  /// Whether a step said to work ahead: most listings waited.
  bool works_ahead() const { return works_ahead_.load(std::memory_order_relaxed); }

 private:
  Step WakeAndWorkAhead();

  // Counted by every worker at every folder: kept apart from what the
  // sweep's workers only read.
  alignas(64) std::atomic<unsigned> timed_{0};
  std::atomic<unsigned> waited_{0};
  std::atomic<unsigned> long_{0};
  std::atomic<unsigned> next_wake_at_{0};  // long listings that wake more
  std::atomic<bool> woken_{false};
  std::atomic<bool> works_ahead_{false};
};

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_LISTING_PACE_H_
