#pragma once
// Every wait of the program goes through a WaitPolicy, so that tests can make
// the built-in times (5000 ms per reply, five waits of 1000 ms) pass quickly
// without changing them.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace tamblet {

class WaitPolicy {
 public:
  virtual ~WaitPolicy() = default;
  // With `lock` held on entry and exit: waits on `cv` until `ready()` holds or
  // `ms` milliseconds have passed; returns ready().
  virtual bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
                       const std::function<bool()>& ready) = 0;
  virtual void Sleep(uint32_t ms) = 0;

  // As above, ending early once `stop()` holds. Unless a policy knows better,
  // the time is taken in slices of kStopSliceMs and `stop` asked between them.
  static constexpr uint32_t kStopSliceMs = 100;
  virtual bool WaitUnless(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                          uint32_t ms, const std::function<bool()>& ready,
                          const std::function<bool()>& stop);
  virtual void SleepUnless(uint32_t ms, const std::function<bool()>& stop);
};

// Real time: what the program itself uses.
WaitPolicy& RealTimeWaits();

}  // namespace tamblet
