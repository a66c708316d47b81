#include "midi/wait_policy.h"

#include <chrono>
#include <thread>

namespace tamblet {
namespace {

class RealTime final : public WaitPolicy {
 public:
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override {
    return cv.wait_for(lock, std::chrono::milliseconds(ms), ready);
  }
  void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

}  // namespace

WaitPolicy& RealTimeWaits() {
  static RealTime waits;
  return waits;
}

}  // namespace tamblet
