#pragma once
// Faults the simulated device can be told to make, and their text form for the
// command line: "<Command>:<occurrence>:<fault>", e.g. "VerifySum:3:no-reply",
// "GetModelName:1:delay=200", "Continue:2:wrong-command".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sim/request.h"

namespace tamblet::sim {

// Time-out the program allows per reply, and how far past it a late reply comes.
inline constexpr uint32_t kProgramReplyTimeoutMs = 5000;
inline constexpr uint32_t kLateMarginMs = 500;
inline constexpr uint32_t kLateDelayMs = kProgramReplyTimeoutMs + kLateMarginMs;

inline constexpr uint32_t kDefaultOversizeLength = 600;  // past the 512-byte reply slot
inline constexpr uint32_t kDefaultLongNameLength = 20;   // past the 15-character name buffer
// Largest N of oversize=N and long-name=N: past the program's 4096-byte receive
// buffer, and well within the largest event a JACK port buffer carries (32720).
inline constexpr uint32_t kMaxFaultLength = 8192;

enum class FaultKind {
  kNoReply,       // "no-reply": nothing is sent back
  kFailStatus,    // "fail-status": byte 7 = 0x00 (a progress reply becomes a failed final reply)
  kWrongCommand,  // "wrong-command": byte 5 differs from the one expected
  kLongError,     // "long-error": the driver reports a broken SysEx (MIM_LONGERROR)
  kOversize,  // "oversize[=N]": the reply padded before F7 to N bytes (default 600, at most 8192)
  kNoEnd,     // "no-end": the reply without its F7
  kLongName,  // "long-name[=N]": GetModelName only, a name of N characters (default 20, at most
              // 8192)
  kDelay,     // "delay=N": the reply leaves after N ms
  kLate,      // "late": the reply leaves kLateDelayMs after the request, past the time-out
};

struct Fault {
  FaultKind kind = FaultKind::kNoReply;
  // kDelay: milliseconds; kOversize: reply length; kLongName: name length.
  // 0 means the default for kOversize and kLongName.
  uint32_t value = 0;
};

struct FaultRule {
  Command command = Command::kUnknown;
  int occurrence = 0;  // 1-based: the k-th time the command is received
  Fault fault;
};

// Whether the fault can be applied to that command at that occurrence.
bool IsValidFault(Command command, int occurrence, const Fault& fault);

std::optional<FaultRule> ParseFaultRule(std::string_view text);
std::string FormatFaultRule(const FaultRule& rule);

}  // namespace tamblet::sim
