// The room a sweep's workers share for report lines not yet written out.
// A failed write may leave at most one block of deletion lines off the
// record, with one worker as with many, so every worker counts each line
// here before it makes it (a deletion's line before its file goes), and a
// worker whose lines would not fit waits, or puts its folder off, until the
// writer makes room. There is one budget for the whole run: no worker has a
// share of its own, so more workers never make anyone's pieces smaller.
//
// Room is taken by adding first and taking back when over: workers that
// looked first and added after could all pass the bound at once, each
// having seen the room before the others took it. Room may also be
// reserved for the lines a folder is expected to take, so that workers
// starting side by side don't all find it gone halfway; reserved room
// counts as held until the lines come.
#ifndef BUILDSWEEP_ENGINE_RECORD_ROOM_H_
#define BUILDSWEEP_ENGINE_RECORD_ROOM_H_

#include <atomic>
#include <cstddef>

#include "platform/console.h"

namespace engine {

/// Bytes of report lines not yet written out, counted against one bound.
/// Safe to use from any thread.
class RecordRoom {
 public:
  /// Room for `keep_bytes` beside what `console` gathers and has not
  /// written yet, which counts as unwritten too.
  RecordRoom(platform::Console& console, std::size_t keep_bytes);

  /// Starts a run over with `held` bytes unwritten.
  void StartWith(std::size_t held);

  /// Counts `bytes` as unwritten where all that is unwritten and reserved
  /// stays within the room with them; where not, counts nothing and is
  /// false. A line longer than the whole room never fits.
  bool Admit(std::size_t bytes);
  /// Counts `bytes` as unwritten whatever the room: lines the writer
  /// writes through, or lines room was reserved for.
  void Add(std::size_t bytes);
  /// Counts `bytes` as no longer unwritten: handed to the console, or
  /// counted ahead for a line that was never made.
  void Remove(std::size_t bytes);

  /// Reserves room for `bytes` where they fit and at least `spare` of the
  /// room is free before them; false, and nothing reserved, where not.
  bool Reserve(std::size_t bytes, std::size_t spare = 0);
  /// Gives back `bytes` of reserved room, used or not.
  void Release(std::size_t bytes);

  /// Whether `bytes` more fit now beside all that is unwritten and reserved.
  bool Fits(std::size_t bytes) const;
  /// Everything not yet written out: counted here, or gathered by the console.
  std::size_t Unwritten() const;
  /// The bytes counted here alone (not what the console gathers).
  std::size_t counted() const { return counted_.load(); }
  /// The room reserved and not yet taken by lines.
  std::size_t reserved() const { return reserved_.load(); }

 private:
  platform::Console& console_;
  const std::size_t keep_bytes_;
  // Each on a cache line of its own: every worker changes them at every line.
  alignas(64) std::atomic<std::size_t> counted_{0};
  alignas(64) std::atomic<std::size_t> reserved_{0};
};

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_RECORD_ROOM_H_
