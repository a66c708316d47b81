#include "protocol/device_commands.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "protocol/command_table.h"
#include "protocol/frame.h"

namespace tamblet {
namespace {

constexpr uint32_t kRequestSize = 256;
constexpr uint32_t kWriteRequestSize = 4096;

constexpr uint8_t kSysExEnd = 0xF7;

constexpr int32_t kSuccessResult = 0;
constexpr int32_t kFailureResult = 1;

using Buffer = std::unique_ptr<uint8_t[]>;

Buffer Allocate(uint32_t size) { return Buffer(new (std::nothrow) uint8_t[size]()); }

// The request buffer and the reply slot of one call; allocated zero-filled,
// freed on every way out.
class Exchange {
 public:
  Exchange(CSysExPort& port, Display& display, const StopToken* stop, uint32_t request_size)
      : port_(port), stop_(stop), request_(Allocate(request_size)) {
    if (request_) slot_ = Allocate(kReplySlotSize);
    if (!request_ || !slot_) {
      request_.reset();
      display.SetStatusText(kOutOfMemoryText);
    }
  }

  bool ok() const { return slot_ != nullptr; }
  uint8_t* request() { return request_.get(); }
  const uint8_t* reply() const { return slot_.get(); }

  // Sends the frame in the request buffer; true when a reply came in time.
  // After a stop request nothing more is sent.
  bool Run(int32_t length) {
    if (stop_ && stop_->requested()) return false;
    // A long error delivers nothing into the slot; cleared, it cannot pass off
    // the previous exchange's acknowledgement as its own.
    std::memset(slot_.get(), 0, kReplySlotSize);
    port_.Send(request_.get(), static_cast<uint32_t>(length),
               std::span<uint8_t>(slot_.get(), kReplySlotSize));
    return port_.AwaitReply(kReplyTimeoutMs);
  }

  // Puts the command's two bytes in the request, before its data.
  uint8_t* Request(CommandCode c) {
    request_[kFrameCommand] = c.command;
    request_[kFrameSubCommand] = c.sub_command;
    return request_.get();
  }

  // A request of command and sub-command bytes only.
  bool RunBare(CommandCode c) { return Run(BuildFrame(Request(c), 0, 0, false)); }

 private:
  CSysExPort& port_;
  const StopToken* stop_;
  Buffer request_;
  Buffer slot_;
};

}  // namespace

int32_t DeviceCommands::GetModelName(char (&name)[kModelNameSize]) {
  Exchange ex(port_, display_, stop_, kRequestSize);
  if (!ex.ok()) return kFailureResult;
  if (!ex.RunBare(kGetModelName)) return kFailureResult;
  const uint8_t* reply = ex.reply();
  if (!Succeeded(reply, kGetModelName)) return kFailureResult;

  // The name runs to the first F7; a reply without one inside the slot is broken.
  const uint8_t* first = reply + kFrameData;
  const uint8_t* last = reply + kReplySlotSize;
  const uint8_t* end = std::find(first, last, kSysExEnd);
  if (end == last) return kFailureResult;

  // A name that fills the buffer is kept without its NUL, so that it can never
  // compare equal to a model name.
  const size_t length = static_cast<size_t>(end - first);
  const size_t kept = std::min<size_t>(length, kModelNameSize);
  std::memcpy(name, first, kept);
  if (kept < kModelNameSize) name[kept] = '\0';
  return kSuccessResult;
}

int32_t DeviceCommands::SelectDevice(uint8_t target_select) {
  Exchange ex(port_, display_, stop_, kRequestSize);
  if (!ex.ok()) return kFailureResult;
  uint8_t* frame = ex.Request(kSelectDevice);
  frame[kFrameData] = target_select;
  if (!ex.Run(BuildFrame(frame, 0, 1, false))) return kFailureResult;
  return Succeeded(ex.reply(), kSelectDevice) ? kSuccessResult : kFailureResult;
}

int32_t DeviceCommands::RunOperation(uint16_t code, uint32_t start, uint32_t count,
                                     uint32_t chunk_size) {
  // Positions are counted in chunks; a chunk size of 0 would divide by zero.
  if (chunk_size == 0) return kFailureResult;
  Exchange ex(port_, display_, stop_, kRequestSize);
  if (!ex.ok()) return kFailureResult;
  const CommandCode operation = OperationOf(code);

  display_.ChangeBar(BarChange::Range(count / chunk_size));
  display_.ChangeBar(BarChange::Position(0));

  uint8_t* frame = ex.Request(kSetRange);
  PutHex8(frame, 7, start);
  PutHex8(frame, 15, count);
  if (!ex.Run(BuildFrame(frame, 0, 16, false))) return kFailureResult;
  if (!Succeeded(ex.reply(), kSetRange)) return kFailureResult;

  const uint8_t* reply = ex.reply();
  bool replied = ex.RunBare(operation);
  for (;;) {
    // Answers to Continue are the operation's own; the final test comes first.
    if (!replied) return kFailureResult;
    if (IsFinalReply(reply, operation))
      return Succeeded(reply, operation) ? kSuccessResult : kFailureResult;
    if (!IsProgressReply(reply, operation)) return kFailureResult;
    const uint32_t address = ParseHex(reply + kFrameData, 8);
    display_.ChangeBar(BarChange::Position((address - start) / chunk_size));
    replied = ex.RunBare(kContinue);
  }
}

int32_t DeviceCommands::WriteChunk(uint32_t address, const uint8_t* data, uint32_t count) {
  Exchange ex(port_, display_, stop_, kWriteRequestSize);
  if (!ex.ok()) return kFailureResult;
  const uint32_t frame_bytes = static_cast<uint32_t>(kMaxWriteDataBytes);

  // The range counts whole frames while a short last frame is sent as well, so
  // the last step may go one past the end.
  display_.ChangeBar(BarChange::Range(count / frame_bytes));
  display_.ChangeBar(BarChange::Position(0));

  while (count != 0) {
    const uint32_t n = std::min(count, frame_bytes);
    const int32_t length = BuildWriteData(ex.request(), address, data, static_cast<int32_t>(n));
    if (!ex.Run(length)) return kFailureResult;
    if (!Succeeded(ex.reply(), kWriteData)) return kFailureResult;
    address += n;
    data += n;
    count -= n;
    display_.ChangeBar(BarChange::Advance(n));
  }
  return kSuccessResult;
}

int32_t DeviceCommands::VerifySum(uint32_t address, uint32_t count, uint16_t sum) {
  Exchange ex(port_, display_, stop_, kRequestSize);
  if (!ex.ok()) return kFailureResult;
  uint8_t* frame = ex.Request(kVerifySum);
  PutHex8(frame, 7, address);
  PutHex8(frame, 15, count);
  PutHex4(frame, 23, sum);
  if (!ex.Run(BuildFrame(frame, 0, 20, false))) return kFailureResult;
  return Succeeded(ex.reply(), kVerifySum) ? kSuccessResult : kFailureResult;
}

int32_t DeviceCommands::ModeOff() {
  Exchange ex(port_, display_, stop_, kRequestSize);
  if (!ex.ok()) return kFailureResult;
  if (!ex.RunBare(kModeOff)) return kFailureResult;
  return Succeeded(ex.reply(), kModeOff) ? kSuccessResult : kFailureResult;
}

}  // namespace tamblet
