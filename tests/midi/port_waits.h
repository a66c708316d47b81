#pragma once
// A WaitPolicy for the port pair's side in these tests. The built-in times are
// recorded as they stand; each wait really lasts `scale_ns` nanoseconds per
// millisecond (1000000: real time, for waits that a reply is expected to end;
// 1000: a 5000 ms time-out passes in 5 ms). It also notes whether the wait was over
// before it began, and can run a hook in the moment after a wait timed out.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

#include "midi/wait_policy.h"

namespace tamblet::test {

struct WaitRecord {
  uint32_t ms = 0;
  bool ready_at_entry = false;
};

class PortWaits : public WaitPolicy {
 public:
  explicit PortWaits(uint32_t scale_ns = 1000000) : scale_ns_(scale_ns) {}

  void set_scale_ns(uint32_t scale_ns) { scale_ns_ = scale_ns; }
  // Runs once, after the next wait that times out, with the wait's lock
  // released; that wait then reports a time-out whatever the hook did.
  void AfterNextTimeout(std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(mutex_);
    after_timeout_ = std::move(hook);
  }

  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override {
    const bool at_entry = ready();
    {
      std::lock_guard<std::mutex> guard(mutex_);
      waits_.push_back({ms, at_entry});
    }
    if (cv.wait_for(lock, std::chrono::nanoseconds(uint64_t{ms} * scale_ns_), ready)) return true;
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      hook.swap(after_timeout_);
    }
    if (hook) {
      lock.unlock();
      hook();
      lock.lock();
    }
    return false;
  }
  void Sleep(uint32_t) override {}

  std::vector<WaitRecord> waits() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return waits_;
  }
  void clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    waits_.clear();
  }

 private:
  std::atomic<uint32_t> scale_ns_;
  mutable std::mutex mutex_;
  std::vector<WaitRecord> waits_;
  std::function<void()> after_timeout_;
};

}  // namespace tamblet::test
