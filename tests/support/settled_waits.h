#pragma once
// A WaitPolicy for tests that drive the in-process simulated driver: a wait
// ends as soon as the driver has settled (nothing left to deliver but replies
// held back as late), so a reply that is coming always arrives, a missing one
// times out at once, and no real time passes. The stated times are recorded.

#include <functional>
#include <mutex>
#include <vector>

#include "base/wait_policy.h"

namespace tamblet::test {

class SettledWaits : public WaitPolicy {
 public:
  // `settle` returns once the driver has nothing more to deliver for now.
  explicit SettledWaits(std::function<void()> settle) : settle_(std::move(settle)) {}

  bool WaitFor(std::condition_variable&, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override {
    Record(waits_, ms);
    if (ready()) return true;
    // The driver's callbacks need this lock to deliver.
    lock.unlock();
    settle_();
    lock.lock();
    return ready();
  }
  void Sleep(uint32_t ms) override { Record(sleeps_, ms); }
  // No real time passes, so a stop has nothing to cut short: each wait is recorded whole.
  bool WaitUnless(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
                  const std::function<bool()>& ready, const std::function<bool()>&) override {
    return WaitFor(cv, lock, ms, ready);
  }
  void SleepUnless(uint32_t ms, const std::function<bool()>&) override { Sleep(ms); }

  std::vector<uint32_t> waits() const { return Copy(waits_); }
  std::vector<uint32_t> sleeps() const { return Copy(sleeps_); }

 private:
  void Record(std::vector<uint32_t>& list, uint32_t ms) {
    std::lock_guard<std::mutex> guard(mutex_);
    list.push_back(ms);
  }
  std::vector<uint32_t> Copy(const std::vector<uint32_t>& list) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return list;
  }

  std::function<void()> settle_;
  mutable std::mutex mutex_;
  std::vector<uint32_t> waits_;
  std::vector<uint32_t> sleeps_;
};

}  // namespace tamblet::test
