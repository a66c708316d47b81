#pragma once
// What the whole-update benchmarks share: real reply waits without the fixed
// wait after the open, a sample update file of pseudo-random bytes, and the
// device it is for.

#include <string>

#include "base/wait_policy.h"
#include "sim/device.h"
#include "tests/support/update_files.h"

namespace tamblet::bench {

class NoOpenWait : public WaitPolicy {
 public:
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override {
    return RealTimeWaits().WaitFor(cv, lock, ms, ready);
  }
  void Sleep(uint32_t) override {}
};

// Model "BENCH-1", chunk 0x10000, every block present; returns its path.
inline std::string SampleFile(uint32_t image_size, Region first, Region second = {}) {
  return test::TempUpdateFile(
      {"BENCH-1", {'1', '.', '0', '0'}, 1, 0x10000, image_size, {first, second}},
      test::SampleImage(image_size));
}

// The device that takes it: a progress reply every 64 KiB.
inline sim::DeviceConfig SampleDevice(uint32_t image_size, uint32_t reply_delay_ms = 0) {
  return {"BENCH-1", image_size, 0xFF, {}, 0x10000, reply_delay_ms};
}

}  // namespace tamblet::bench
