#pragma once
// The simulated device on a raw MIDI device file, such as the device side of a
// USB gadget's MIDI function (/dev/snd/midiCnD0): requests are reassembled
// from the byte stream, answered by the device, and the replies written back,
// each after its delay in real time. One worker thread does all of it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sim/device.h"

namespace tamblet::sim {

class RawDeviceHost {
 public:
  using RequestLog =
      std::function<void(std::span<const uint8_t> request, const std::vector<Reply>& replies)>;
  // Runs on the worker thread when the device file goes away (an unplugged
  // gadget): keep it async-signal-safe.
  using DeviceGone = void (*)();

  RawDeviceHost(Device& device, RequestLog log, DeviceGone gone);
  ~RawDeviceHost();
  RawDeviceHost(const RawDeviceHost&) = delete;
  RawDeviceHost& operator=(const RawDeviceHost&) = delete;

  // Opens `path` for reading and writing; false with `error` set on failure.
  bool Start(const std::string& path, std::string* error);
  // Worker stopped, file closed. Also on a host that never started.
  void Stop();

 private:
  enum class Io { kReady, kStop, kGone };
  Io WaitFor(short events, std::chrono::steady_clock::time_point until);
  bool WriteAll(std::span<const uint8_t> bytes);  // false when stopping or gone
  void Answer(std::span<const uint8_t> request);
  void Work();

  Device& device_;
  RequestLog log_;
  DeviceGone gone_;
  int fd_ = -1;
  int stop_fd_ = -1;  // an eventfd, readable once Stop begins
  std::atomic<bool> stopping_{false};
  std::thread worker_;
};

}  // namespace tamblet::sim
