#pragma once
// A WaitPolicy for tests: the built-in times stay as they are and are recorded,
// but each wait really lasts a thousandth of it, and sleeps return at once.

#include <chrono>
#include <mutex>
#include <vector>

#include "base/wait_policy.h"

namespace tamblet::test {

class FastWaits : public WaitPolicy {
 public:
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override {
    {
      std::lock_guard<std::mutex> guard(record_mutex_);
      waits_.push_back(ms);
    }
    return cv.wait_for(lock, std::chrono::microseconds(ms), ready);
  }
  void Sleep(uint32_t ms) override {
    std::lock_guard<std::mutex> guard(record_mutex_);
    sleeps_.push_back(ms);
  }
  std::vector<uint32_t> waits() const {
    std::lock_guard<std::mutex> guard(record_mutex_);
    return waits_;
  }
  std::vector<uint32_t> sleeps() const {
    std::lock_guard<std::mutex> guard(record_mutex_);
    return sleeps_;
  }

 private:
  mutable std::mutex record_mutex_;
  std::vector<uint32_t> waits_;
  std::vector<uint32_t> sleeps_;
};

}  // namespace tamblet::test
