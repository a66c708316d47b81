#include "midi/stream/sysex_reassembler.h"

namespace tamblet::midi::stream {
namespace {

constexpr uint8_t kSysExStart = 0xF0;
constexpr uint8_t kSysExEnd = 0xF7;
constexpr uint8_t kFirstRealTime = 0xF8;

uint8_t DataBytesOf(uint8_t status) {
  switch (status & 0xF0) {
    case 0xC0:
    case 0xD0:
      return 1;
    case 0xF0:
      break;
    default:
      return 2;
  }
  switch (status) {
    case 0xF1:  // time code quarter frame
    case 0xF3:  // song select
      return 1;
    case 0xF2:  // song position
      return 2;
    default:
      return 0;
  }
}

}  // namespace

void SysExReassembler::Reset() {
  state_ = State::kIdle;
  length_ = 0;
  status_ = 0;
  have_ = 0;
}

void SysExReassembler::Feed(std::span<const uint8_t> bytes, MessageSink& sink) {
  for (const uint8_t byte : bytes) {
    if (byte >= kFirstRealTime) {
      continue;  // real-time bytes may come anywhere, also inside a SysEx
    }
    if (byte & 0x80) {
      OnStatus(byte, sink);
    } else {
      OnData(byte, sink);
    }
  }
}

void SysExReassembler::OnStatus(uint8_t status, MessageSink& sink) {
  if (state_ == State::kSysEx) {
    if (status == kSysExEnd) {
      sysex_[length_++] = status;  // room is kept for it, see OnData
      state_ = State::kIdle;
      sink.OnSysEx(std::span<const uint8_t>(sysex_.data(), length_));
      return;
    }
    sink.OnSysExError(std::span<const uint8_t>(sysex_.data(), length_));
  }
  state_ = State::kIdle;
  // Every status byte but a channel status ends running status.
  status_ = 0;
  have_ = 0;
  if (status == kSysExStart) {
    state_ = State::kSysEx;
    sysex_[0] = status;
    length_ = 1;
    return;
  }
  if (status == kSysExEnd) {
    return;  // the end of a message already reported, or of none
  }
  needed_ = DataBytesOf(status);
  if (needed_ == 0) {
    if (status == 0xF6) {  // tune request; F4 and F5 are undefined
      sink.OnShort(status);
    }
    return;
  }
  status_ = status;
}

void SysExReassembler::OnData(uint8_t data, MessageSink& sink) {
  if (state_ == State::kSysEx) {
    // The last place of the buffer is kept for F7: a message of exactly the
    // buffer's size fits, one byte more does not.
    if (length_ + 1 < kMaxMessage) {
      sysex_[length_++] = data;
      return;
    }
    sysex_[length_++] = data;
    sink.OnSysExError(std::span<const uint8_t>(sysex_.data(), length_));
    state_ = State::kSkipping;
    return;
  }
  if (state_ == State::kSkipping || status_ == 0) {
    return;  // the rest of an oversized message, or bytes with no status
  }
  data_[have_++] = data;
  if (have_ < needed_) {
    return;
  }
  uint32_t message = status_;
  for (uint8_t i = 0; i < needed_; ++i) {
    message |= static_cast<uint32_t>(data_[i]) << (8 * (i + 1));
  }
  have_ = 0;
  if (status_ >= 0xF0) {
    status_ = 0;  // system common messages have no running status
  }
  sink.OnShort(message);
}

}  // namespace tamblet::midi::stream
