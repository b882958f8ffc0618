#include "engine/listing_pace.h"

namespace engine {

ListingPace::Wait ListingPace::Judge(std::chrono::steady_clock::duration taken,
                                     std::size_t listed_bytes) {
  constexpr auto kBriefWait = std::chrono::microseconds(40);
  constexpr auto kLongWait = std::chrono::microseconds(1000);
  const auto listing = std::chrono::nanoseconds(50) * listed_bytes;
  if (taken >= kLongWait + listing) return Wait::kLong;
  if (taken >= kBriefWait + listing) return Wait::kBriefly;
  return Wait::kNone;
}

// Listings that waited on the file system wake the workers that wait beside
// the others, for good, once they are at least half of all: on a warm cache
// a few listings wait, when the processors were busy elsewhere, never half.
// - Where most waited only briefly (a cold disk), four times as many workers
//   as at first keep the processors busy, and work ahead. More would only
//   wait on one another, as the processors, not the disk, set the pace: on
//   a cold ext4, 20,000 folders, 32 threads took 1.8 to 2.4 s where 8 took
//   1.1 to 1.6.
// - Where most waited long (a share), four times as many each time as many
//   such listings again were seen, up to all, and the sweep works ahead of
//   what it may write. (Doubling left a 300-folder share at 1 ms a request
//   a third of the way through before all were up.)
ListingPace::Step ListingPace::Note(Wait wait) {
  // Both must be more than the first few listings, which may wait for
  // reasons of their own: on a warm cache the first touches of memory and
  // code take tens of microseconds, on a cold disk the first reads take a
  // few hundred, and a processor busy elsewhere may stall any one listing.
  constexpr unsigned kLongListingsToWake = 8;
  constexpr unsigned kBriefListingsToWake = 16;
  const unsigned timed = timed_.fetch_add(1) + 1;
  if (wait == Wait::kNone) return Step::kNone;
  const unsigned waited = waited_.fetch_add(1) + 1;
  const unsigned waited_long = wait == Wait::kLong ? long_.fetch_add(1) + 1 : long_.load();
  if (2 * waited < timed) return Step::kNone;
  if (waited_long >= kLongListingsToWake && 2 * waited_long >= timed) {
    // Looked at and moved on in one step: two listings counted side by
    // side must not both wake.
    unsigned wake_at = next_wake_at_.load();
    do {
      if (waited_long < wake_at) return Step::kNone;
    } while (!next_wake_at_.compare_exchange_weak(wake_at, 2 * waited_long));
    return WakeAndWorkAhead();
  }
  if (waited >= kBriefListingsToWake && !woken_.exchange(true)) {
    // And they work ahead of what may be written: listing the folders
    // ahead reads the disk for the deleting to come (20,000 folders cold:
    // 1.2x the best floor, against 1.5x with workers waiting for room).
    works_ahead_.store(true);
    return Step::kWakeSome;
  }
  return Step::kNone;
}

ListingPace::Step ListingPace::NoteRoot(Wait wait) {
  if (wait != Wait::kLong) return Step::kNone;
  return WakeAndWorkAhead();
}

ListingPace::Step ListingPace::WakeAndWorkAhead() {
  works_ahead_.store(true);
  woken_.store(true);
  return Step::kWakeAndWorkAhead;
}

}  // namespace engine
