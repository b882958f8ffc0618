#include "engine/handle_budget.h"

#include <algorithm>

namespace engine {
namespace {

// Folders whose subfolders wait keep their handles open, so the subfolders
// are opened from them directly; past this many (or half the spare
// handles), they are reached again by name or by climbing back.
constexpr std::size_t kMostHeldHandles = 1024;
// What one worker may hold open: a full window, what reaching a level
// again takes, and one folder put off past the held handles' bound.
constexpr std::size_t kHandlesPerWorker = HandleBudget::kMostWindow + HandleBudget::kBesideWindow + 1;

std::size_t MostHeld(std::size_t spare) { return std::min(kMostHeldHandles, spare / 2); }

}  // namespace

HandleBudget::HandleBudget(std::size_t spare, unsigned most_jobs) {
  const std::size_t chains = spare / kHandlesPerWorker;
  const unsigned jobs = std::max(most_jobs, 1u);
  workers_ = chains < 3 ? 1 : static_cast<unsigned>(std::min<std::size_t>(jobs, chains - 1));
  most_held_ = MostHeld(spare);
  // Each window fits in what the waiting folders leave, with the one
  // handle its worker may hold past their bound.
  const std::size_t per_worker = (spare - most_held_) / workers_;
  window_ = per_worker > 0 ? WindowWithin(per_worker - 1) : 1;
}

std::size_t HandleBudget::Wanted(std::size_t spare, unsigned most_jobs) {
  // One chain more than the workers: the root's stack beside theirs.
  return (std::size_t{most_jobs} + 1) * kHandlesPerWorker + MostHeld(spare);
}

std::size_t HandleBudget::WindowWithin(std::size_t handles, std::size_t most) {
  return handles > kBesideWindow + 1 ? std::min(most, handles - kBesideWindow) : 1;
}

bool HandleBudget::TryHold(std::size_t past) {
  // Looked at and taken in one step: workers that looked first and took
  // after could all pass the bound at once.
  std::size_t held = held_.load();
  do {
    if (held >= most_held_ + past) return false;
  } while (!held_.compare_exchange_weak(held, held + 1));
  return true;
}

void HandleBudget::Release() { held_.fetch_sub(1); }

bool HandleBudget::MayHold(std::size_t past) const { return held_.load() < most_held_ + past; }

}  // namespace engine
