#pragma once
// Small pieces shared by the port pair tests: a device whose answers the test
// sets, and message makers.

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "midi/simulated/simulated_midi.h"
#include "sim/reply.h"

namespace tamblet::test {

using Bytes = std::vector<uint8_t>;

// Answers every request with what `respond` returns (nothing when unset).
class ScriptPeer : public midi::Peer {
 public:
  using Respond = std::function<std::vector<sim::Reply>(std::span<const uint8_t>)>;
  void Set(Respond respond) {
    std::lock_guard<std::mutex> lock(mutex_);
    respond_ = std::move(respond);
  }
  void Always(std::vector<sim::Reply> replies) {
    Set([replies](std::span<const uint8_t>) { return replies; });
  }
  std::vector<sim::Reply> OnRequest(std::span<const uint8_t> request) override {
    Respond respond;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      respond = respond_;
    }
    return respond ? respond(request) : std::vector<sim::Reply>{};
  }

 private:
  std::mutex mutex_;
  Respond respond_;
};

// F0, then `length` - 2 bytes counting up from `first`, then F7.
inline Bytes Frame(size_t length, uint8_t first = 0x10) {
  Bytes bytes(length, 0);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((first + i) & 0x7F);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}

// A fault set with one switch changed: With<midi::InPortFaults>([](auto& f) { f.start = ...; }).
template <typename Faults, typename Change>
Faults With(Change change) {
  Faults faults;
  change(faults);
  return faults;
}

inline sim::Reply Long(Bytes bytes, uint32_t delay_ms = 0) {
  return {sim::Reply::Kind::kLongData, std::move(bytes), delay_ms};
}
inline sim::Reply LongError(Bytes bytes = {}, uint32_t delay_ms = 0) {
  return {sim::Reply::Kind::kLongError, std::move(bytes), delay_ms};
}
inline sim::Reply Short(uint8_t status, uint8_t data1 = 0, uint8_t data2 = 0) {
  return {sim::Reply::Kind::kShortData, {status, data1, data2}, 0};
}

}  // namespace tamblet::test
