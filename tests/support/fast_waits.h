#pragma once
// A WaitPolicy for tests: each wait really lasts a thousandth of the time it
// states, and sleeps return at once.

#include <chrono>

#include "base/wait_policy.h"

namespace tamblet::test {

class FastWaits : public WaitPolicy {
 public:
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override {
    return cv.wait_for(lock, std::chrono::microseconds(ms), ready);
  }
  void Sleep(uint32_t) override {}
};

}  // namespace tamblet::test
