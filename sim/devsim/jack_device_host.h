#pragma once
// The simulated device as a JACK client: one MIDI input port and one MIDI
// output port. Requests go from the process callback through a ring to a
// worker thread, which asks the device and sends its replies, each after its
// delay in real time.

#include <jack/jack.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "midi/jack/jack_ring.h"
#include "sim/device.h"

namespace tamblet::sim {

class JackDeviceHost {
 public:
  // Runs on the worker thread after each request.
  using RequestLog =
      std::function<void(std::span<const uint8_t> request, const std::vector<Reply>& replies)>;
  // Runs on a JACK thread when the server goes away: keep it async-signal-safe.
  using ServerGone = void (*)();

  JackDeviceHost(Device& device, RequestLog log, ServerGone server_gone);
  ~JackDeviceHost();
  JackDeviceHost(const JackDeviceHost&) = delete;
  JackDeviceHost& operator=(const JackDeviceHost&) = delete;

  // Opens the client under exactly `client_name` (no server is ever started);
  // false with `error` set on failure.
  bool Start(const std::string& client_name, const std::string& server_name, std::string* error);
  // Worker stopped, client closed. Also on a host that never started.
  void Stop();

  uint64_t dropped_events() const { return dropped_.load(); }

 private:
  static constexpr size_t kRingBytes = 1 << 16;

  static int Process(jack_nframes_t frames, void* arg);
  static void Shutdown(jack_status_t code, const char* reason, void* arg);
  void Work();
  bool SleepUntil(std::chrono::steady_clock::time_point when);  // false when stopping
  void SendReply(const Reply& reply);

  Device& device_;
  RequestLog log_;
  ServerGone server_gone_;
  jack_client_t* client_ = nullptr;
  jack_port_t* in_port_ = nullptr;
  jack_port_t* out_port_ = nullptr;
  midi::EventRing requests_{kRingBytes};
  midi::EventRing replies_{kRingBytes};
  sem_t wake_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> dropped_{0};
  std::thread worker_;
};

}  // namespace tamblet::sim
