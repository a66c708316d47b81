#pragma once
// The simulated device behind a peer that can keep an operation running: once
// `endless` is set, every Continue is answered with the operation's last
// progress reply again, up to kRepeats times, so that a program that never
// stops fails its test instead of hanging it. `on_request` sees each request's
// command first, on the driver's thread.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "sim/device.h"
#include "sim/simulated_midi.h"

namespace tamblet::test {

class EndlessDevice : public midi::Peer {
 public:
  static constexpr int kRepeats = 100000;

  explicit EndlessDevice(sim::Device& device) : device_(device) {}

  std::vector<sim::Reply> OnRequest(std::span<const uint8_t> request) override {
    const sim::Command command = sim::DecodeRequest(request).command;
    if (on_request) on_request(command);
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(command);
    if (endless && command == sim::Command::kContinue && !progress_.empty() &&
        ++repeats_ <= kRepeats) {
      // Paced, so that a window showing each step is not flooded.
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      return progress_;
    }
    std::vector<sim::Reply> replies = device_.OnRequest(request);
    // Bit 5 of the sub-command byte marks a progress reply.
    if (replies.size() == 1 && replies[0].bytes.size() > 6 && (replies[0].bytes[6] & 0x20))
      progress_ = replies;
    return replies;
  }

  std::vector<sim::Command> commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }

  std::atomic<bool> endless = false;
  std::function<void(sim::Command)> on_request;  // set before the run

 private:
  sim::Device& device_;
  mutable std::mutex mutex_;
  std::vector<sim::Command> commands_;
  std::vector<sim::Reply> progress_;
  int repeats_ = 0;
};

}  // namespace tamblet::test
