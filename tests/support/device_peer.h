#pragma once
// Puts the simulated device on the far side of the in-process driver.

#include "midi/simulated/simulated_midi.h"
#include "sim/device.h"

namespace tamblet::test {

class DevicePeer : public midi::Peer {
 public:
  explicit DevicePeer(sim::Device& device) : device_(device) {}
  std::vector<sim::Reply> OnRequest(std::span<const uint8_t> request) override {
    return device_.OnRequest(request);
  }

 private:
  sim::Device& device_;
};

}  // namespace tamblet::test
