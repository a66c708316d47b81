#pragma once
// Turns a raw MIDI byte stream, arriving in pieces of any size, into the
// messages a MIDI input port reports: whole SysEx messages, broken or
// oversized ones, and short (channel and system common) messages.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tamblet::midi::stream {

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // One whole message, F0 .. F7.
  virtual void OnSysEx(std::span<const uint8_t> message) = 0;
  // A SysEx broken by another status byte, or longer than the receive buffer;
  // `received` is what had arrived of it (at most the buffer's size).
  virtual void OnSysExError(std::span<const uint8_t> received) = 0;
  // status | data1 << 8 | data2 << 16, unused data bytes zero.
  virtual void OnShort(uint32_t message) = 0;
};

class SysExReassembler {
 public:
  static constexpr size_t kMaxMessage = 4096;  // one receive buffer

  void Feed(std::span<const uint8_t> bytes, MessageSink& sink);
  // Forgets a message in progress and the running status.
  void Reset();

 private:
  enum class State { kIdle, kSysEx, kSkipping };
  void OnStatus(uint8_t status, MessageSink& sink);
  void OnData(uint8_t data, MessageSink& sink);

  State state_ = State::kIdle;
  std::array<uint8_t, kMaxMessage> sysex_{};
  size_t length_ = 0;
  uint8_t status_ = 0;  // running or pending status; 0 for none
  uint8_t needed_ = 0;  // data bytes the status takes
  uint8_t have_ = 0;
  uint8_t data_[2] = {};
};

}  // namespace tamblet::midi::stream
