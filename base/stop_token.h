#pragma once
// The one way to stop an update, in two levels. A stop before the next request
// lets the exchange under way finish, so no request is cut in half: the step
// then fails with its own text. A stop now also keeps every port closed,
// sends nothing more and ends every wait at once. Lock-free: any thread may
// flip it, and a later flip never lowers the level.

#include <atomic>

namespace tamblet {

class StopToken {
 public:
  void Request() noexcept { Raise(kBeforeNextRequest); }
  void Force() noexcept { Raise(kNow); }
  // Back to running, for the next update.
  void Clear() noexcept { level_.store(kRunning, std::memory_order_release); }

  bool requested() const noexcept { return level_.load(std::memory_order_acquire) != kRunning; }
  bool forced() const noexcept { return level_.load(std::memory_order_acquire) == kNow; }

 private:
  enum Level : int { kRunning, kBeforeNextRequest, kNow };
  void Raise(Level level) noexcept {
    int now = level_.load(std::memory_order_relaxed);
    while (now < level && !level_.compare_exchange_weak(now, level, std::memory_order_acq_rel)) {
    }
  }
  static_assert(std::atomic<int>::is_always_lock_free);
  std::atomic<int> level_{kRunning};
};

}  // namespace tamblet
