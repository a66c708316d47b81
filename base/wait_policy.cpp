#include "base/wait_policy.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace tamblet {
namespace {

class RealTime final : public WaitPolicy {
 public:
  static constexpr std::chrono::microseconds kSpin{50};

  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override {
    // What is awaited often comes within microseconds from a thread on the other
    // core; looking again for a moment before sleeping saves waking up for it.
    const std::chrono::microseconds total = std::chrono::milliseconds(ms);
    const std::chrono::microseconds spin = std::min(kSpin, total);
    const auto spin_end = std::chrono::steady_clock::now() + spin;
    while (!ready()) {
      if (std::chrono::steady_clock::now() >= spin_end)
        return cv.wait_for(lock, total - spin, ready);
      lock.unlock();
      std::this_thread::yield();
      lock.lock();
    }
    return true;
  }
  void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

}  // namespace

bool WaitPolicy::WaitUnless(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                            uint32_t ms, const std::function<bool()>& ready,
                            const std::function<bool()>& stop) {
  for (uint32_t left = ms; !stop();) {
    const uint32_t slice = std::min(left, kStopSliceMs);
    if (WaitFor(cv, lock, slice, ready)) return true;
    left -= slice;
    if (left == 0) return false;
  }
  return ready();
}

void WaitPolicy::SleepUnless(uint32_t ms, const std::function<bool()>& stop) {
  for (uint32_t left = ms; left != 0 && !stop();) {
    const uint32_t slice = std::min(left, kStopSliceMs);
    Sleep(slice);
    left -= slice;
  }
}

WaitPolicy& RealTimeWaits() {
  static RealTime waits;
  return waits;
}

}  // namespace tamblet
