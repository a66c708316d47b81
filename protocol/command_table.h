#pragma once
// Every request the program sends the device, by its command and sub-command
// bytes, and the tests its reply must pass. A reply echoes the command at byte
// 5 and the sub-command, flagged, at byte 6; byte 7 carries the status or the
// data. Nothing else of a reply is ever tested.

#include <cstdint>

#include "protocol/frame.h"

namespace tamblet {

inline constexpr uint8_t kFinalFlag = 0x40;     // on byte 6: the request's own answer
inline constexpr uint8_t kProgressFlag = 0x20;  // on byte 6: an operation still runs
inline constexpr uint8_t kReplySuccess = 0x01;  // byte 7 of a final reply that succeeded

struct CommandCode {
  uint8_t command;
  uint8_t sub_command;
  bool status_tested;  // byte 7 of the final reply must be kReplySuccess
};

// Reads the device's model name, from byte 7 to the first F7.
inline constexpr CommandCode kGetModelName{0x00, 0x02, false};
// Leaves the update mode; byte 7 of its answer means nothing.
inline constexpr CommandCode kModeOff{0x00, 0x01, false};
// Picks the target to update, its number in byte 7.
inline constexpr CommandCode kSelectDevice{0x01, 0x01, true};
// Start address and byte count of the operation that follows.
inline constexpr CommandCode kSetRange{0x01, 0x02, true};
// One frame of packed image data for one address.
inline constexpr CommandCode kWriteData{0x03, 0x00, true};
// The 16-bit sum the device must find over an address range.
inline constexpr CommandCode kVerifySum{0x04, 0x02, true};
// Asks a running operation for its next reply, which carries the operation's
// command byte, never this one's.
inline constexpr CommandCode kContinue{0x05, 0x7F, false};

// The operations, which answer with progress replies until their final one.
inline constexpr CommandCode kCopy{0x02, 0x01, true};
inline constexpr CommandCode kUninstall{0x04, 0x00, true};
inline constexpr CommandCode kInstall{0x04, 0x01, true};

// An operation as the update sequence names it: command byte high, sub-command low.
constexpr uint16_t OperationCode(CommandCode c) {
  return static_cast<uint16_t>(c.command << 8 | c.sub_command);
}
constexpr CommandCode OperationOf(uint16_t code) {
  return {static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code & 0xFF), true};
}
inline constexpr uint16_t kOpCopy = OperationCode(kCopy);
inline constexpr uint16_t kOpUninstall = OperationCode(kUninstall);
inline constexpr uint16_t kOpInstall = OperationCode(kInstall);

// The reply tests.
constexpr bool IsReplyTo(const uint8_t* reply, CommandCode c) {
  return reply[kFrameCommand] == c.command;
}
constexpr bool IsFinalReply(const uint8_t* reply, CommandCode c) {
  return IsReplyTo(reply, c) && reply[kFrameSubCommand] == (c.sub_command | kFinalFlag);
}
constexpr bool IsProgressReply(const uint8_t* reply, CommandCode c) {
  return IsReplyTo(reply, c) && reply[kFrameSubCommand] == (c.sub_command | kProgressFlag);
}
// A final reply that succeeded, by byte 7 where the command has it tested.
constexpr bool Succeeded(const uint8_t* reply, CommandCode c) {
  return IsFinalReply(reply, c) && (!c.status_tested || reply[kFrameData] == kReplySuccess);
}

}  // namespace tamblet
