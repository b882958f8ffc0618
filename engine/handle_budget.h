// The descriptors a sweep may open, shared out once, here and nowhere else.
//
// A sweep holds descriptors in three ways: each worker's stack keeps a
// window of open levels (with two more while it reaches a level again),
// folders whose subfolders wait to be taken keep their handles for them,
// and a folder put off until there is room for its lines keeps the handle
// it is cleaned through. The budget gives each worker a window, and the
// waiting folders a bound of their own with one handle more for each
// worker, so that together they stay within what the process may open:
// no path can hold more, because every handle of a waiting folder is taken
// from the bound (TryHold) before it is kept. What is left over may be
// held by others (chosen folders kept open until their turn).
#ifndef BUILDSWEEP_ENGINE_HANDLE_BUDGET_H_
#define BUILDSWEEP_ENGINE_HANDLE_BUDGET_H_

#include <atomic>
#include <cstddef>

namespace engine {

/// How `spare` descriptors are shared among a sweep's workers and the
/// folders they leave waiting. Holding and releasing are safe from any
/// thread.
class HandleBudget {
 public:
  /// The levels a stack keeps open at most, below its root: deeper than
  /// almost any real project, so climbing back up rarely has to reopen
  /// anything, yet far below the usual descriptor limit.
  static constexpr std::size_t kMostWindow = 64;
  /// Handles a stack may hold besides its window: the two a level reached
  /// again from the root takes on its way there.
  static constexpr std::size_t kBesideWindow = 2;

  /// Shares `spare` descriptors among up to `most_jobs` workers: several
  /// only where they hold a full window for each and one more, so that a
  /// low limit costs speed, never folders.
  HandleBudget(std::size_t spare, unsigned most_jobs);

  /// How many descriptors a sweep of up to `most_jobs` workers wants of
  /// `spare`; what is left may be held by others.
  static std::size_t Wanted(std::size_t spare, unsigned most_jobs);
  /// The window of a stack that may hold `handles`, at most `most` levels.
  static std::size_t WindowWithin(std::size_t handles, std::size_t most = kMostWindow);

  /// How many workers the descriptors allow, at least one.
  unsigned workers() const { return workers_; }
  /// The window of each worker's stack.
  std::size_t window() const { return window_; }

  /// Takes one handle for a waiting folder where fewer than the bound,
  /// and `past` more, are held; false, taking none, where not. Each worker
  /// may take one past the bound (`past` = workers()): the folder it
  /// listed and puts off rather than wait on.
  bool TryHold(std::size_t past = 0);
  /// Gives back one handle taken by TryHold.
  void Release();
  /// Whether TryHold(`past`) would find room now.
  bool MayHold(std::size_t past = 0) const;
  /// The handles held now.
  std::size_t held() const { return held_.load(); }

 private:
  unsigned workers_ = 1;
  std::size_t window_ = 1;
  std::size_t most_held_ = 0;
  std::atomic<std::size_t> held_{0};
};

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_HANDLE_BUDGET_H_
