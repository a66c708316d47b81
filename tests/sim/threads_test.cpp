// A driver thread feeds the device while the test thread reads what it keeps.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "protocol/frame.h"
#include "sim/device.h"

namespace tamblet::sim {
namespace {

TEST(DeviceThreads, AccessorsWhileRequestsArrive) {
  DeviceConfig config;
  config.flash_size = 0x10000;
  Device device(config);
  constexpr uint32_t kFrames = 200;
  std::atomic<bool> done{false};
  std::thread driver([&] {
    std::vector<uint8_t> data(64), frame(kMaxWriteDataFrame);
    for (uint32_t i = 0; i < kFrames; ++i) {
      std::fill(data.begin(), data.end(), static_cast<uint8_t>(i));
      const int32_t length = BuildWriteData(frame.data(), i * 64, data.data(), 64);
      device.OnRequest(std::span(frame.data(), static_cast<size_t>(length)));
    }
    done = true;
  });
  uint64_t last = 0;
  while (!done) {
    const uint64_t written = device.stats().bytes_written;
    EXPECT_GE(written, last);
    last = written;
    EXPECT_EQ(device.flash().size(), 0x10000u);
    EXPECT_LE(device.log().size(), kFrames);
  }
  driver.join();
  EXPECT_EQ(device.stats().bytes_written, kFrames * 64u);
  EXPECT_EQ(device.FlashRange(199 * 64, 64), std::vector<uint8_t>(64, 199));
}

}  // namespace
}  // namespace tamblet::sim
