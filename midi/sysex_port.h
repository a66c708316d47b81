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
#include <span>

#include "midi/midi_layer.h"
#include "midi/wait_policy.h"

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
  // Fields keep the names of the design: is_open, out_handle, out_header,
  // sent_event, in_handle, in_headers, reply_awaited, reply_event, reply_slot.
};

}  // namespace tamblet
