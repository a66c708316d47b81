#pragma once
// The six commands through which the update drives the device. Each builds its
// request frames, exchanges them through the port pair, judges each reply by
// fixed byte tests and returns 0 for success, 1 for failure.

#include <cstdint>

#include "midi/sysex_port.h"
#include "protocol/display.h"

namespace tamblet {

inline constexpr uint32_t kReplyTimeoutMs = 5000;
inline constexpr uint32_t kReplySlotSize = 512;
inline constexpr uint32_t kModelNameSize = 16;  // 15 characters and a NUL

inline constexpr uint16_t kOpCopy = 0x0201;
inline constexpr uint16_t kOpUninstall = 0x0400;
inline constexpr uint16_t kOpInstall = 0x0401;

inline constexpr char kOutOfMemoryText[] = "Not enough memory! try closing some applications";

class DeviceCommands {
 public:
  DeviceCommands(CSysExPort& port, Display& display) : port_(port), display_(display) {}

  int32_t GetModelName(char (&name)[kModelNameSize]);
  int32_t SelectDevice(uint8_t target_select);
  int32_t RunOperation(uint16_t code, uint32_t start, uint32_t count, uint32_t chunk_size);
  int32_t WriteChunk(uint32_t address, const uint8_t* data, uint32_t count);
  int32_t VerifySum(uint32_t address, uint32_t count, uint16_t sum);
  int32_t ModeOff();

 private:
  CSysExPort& port_;
  Display& display_;
};

}  // namespace tamblet
