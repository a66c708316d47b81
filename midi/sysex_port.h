#pragma once
// One MIDI output and one MIDI input port, opened and closed together; one
// request sent and its one reply awaited at a time. Two threads meet here: the
// caller's, which runs every operation, and the driver's, which runs the two
// callbacks.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "base/device_identity.h"
#include "base/wait_policy.h"
#include "midi/midi_layer.h"

namespace tamblet {

class CSysExPort {
 public:
  static constexpr int kInputBuffers = 8;
  static constexpr uint32_t kInputBufferSize = 4096;

  explicit CSysExPort(midi::MidiLayer& layer, WaitPolicy& waits = RealTimeWaits());
  virtual ~CSysExPort();
  CSysExPort(const CSysExPort&) = delete;
  CSysExPort& operator=(const CSysExPort&) = delete;

  bool Open(uint32_t out_index, uint32_t in_index);
  void Close();  // any time, also on a closed pair
  bool IsOpen() const;

  // Where the last Open stopped, when it failed at a port: which one, and the
  // layer's reason. Reset by every Open.
  struct OpenFailure {
    PortDirection direction;
    midi::MMRESULT result;
  };
  const std::optional<OpenFailure>& open_failure() const { return open_failure_; }

  // Sends one complete SysEx message and returns once the driver is done with
  // it. A non-empty reply_slot is armed first: the next long message that
  // arrives is copied into it from offset 0, cut to the slot's size.
  void Send(const uint8_t* frame, uint32_t length, std::span<uint8_t> reply_slot);

  // True when a reply (or a long error) was delivered within `timeout_ms`. On a
  // time-out the slot is disarmed: nothing is written into it afterwards.
  bool AwaitReply(uint32_t timeout_ms);

  static void OutputCallback(midi::PortHandle port, uint32_t msg, uintptr_t instance,
                             uintptr_t param1, uintptr_t param2);
  static void InputCallback(midi::PortHandle port, uint32_t msg, uintptr_t instance,
                            uintptr_t param1, uintptr_t param2);

 private:
  // A manual-reset event: stays set until reset, wakes every waiter.
  class Event {
   public:
    void Set();
    void Reset();
    bool IsSet();
    // True if set within `ms`; the wait goes through the policy.
    bool Wait(WaitPolicy& waits, uint32_t ms);

   private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
  };

  void OnOutput(uint32_t msg);
  void OnInput(midi::PortHandle port, uint32_t msg, uintptr_t param1);
  int HeaderIndex(const midi::MIDIHDR* header) const;

  midi::MidiLayer& layer_;
  WaitPolicy& waits_;
  std::optional<OpenFailure> open_failure_;

  std::atomic<bool> is_open{false};
  midi::PortHandle out_handle = nullptr;
  midi::MIDIHDR out_header{};
  Event sent_event;
  midi::PortHandle in_handle = nullptr;
  std::array<midi::MIDIHDR, kInputBuffers> in_headers{};
  std::unique_ptr<uint8_t[]> in_buffers;  // kInputBuffers * kInputBufferSize, one block
  // Armed while a reply slot waits for its reply. The callback checks, copies
  // and disarms under reply_mutex, and a timed-out AwaitReply disarms under it
  // too, so no copy into a slot can start or still run once AwaitReply returns.
  std::atomic<bool> reply_awaited{false};
  Event reply_event;
  std::span<uint8_t> reply_slot;
  std::mutex reply_mutex;
};

}  // namespace tamblet
