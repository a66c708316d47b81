#pragma once
// The six commands through which the update drives the device. Each builds its
// request frames, exchanges them through the port pair, judges each reply by
// fixed byte tests and returns 0 for success, 1 for failure.

#include <cstdint>

#include "base/display.h"
#include "base/stop_token.h"
#include "base/status_texts.h"
#include "midi/sysex_port.h"
#include "protocol/command_table.h"

namespace tamblet {

inline constexpr uint32_t kReplyTimeoutMs = 5000;
inline constexpr uint32_t kReplySlotSize = 512;
inline constexpr uint32_t kModelNameSize = 16;  // 15 characters and a NUL

class DeviceCommands {
 public:
  // `stop` null: the commands are never stopped. Once it is flipped, at either
  // level, no request leaves: the command fails as if no reply had come.
  DeviceCommands(CSysExPort& port, Display& display, const StopToken* stop = nullptr)
      : port_(port), display_(display), stop_(stop) {}

  int32_t GetModelName(char (&name)[kModelNameSize]);
  int32_t SelectDevice(uint8_t target_select);
  int32_t RunOperation(uint16_t code, uint32_t start, uint32_t count, uint32_t chunk_size);
  int32_t WriteChunk(uint32_t address, const uint8_t* data, uint32_t count);
  int32_t VerifySum(uint32_t address, uint32_t count, uint16_t sum);
  int32_t ModeOff();

 private:
  CSysExPort& port_;
  Display& display_;
  const StopToken* stop_;
};

}  // namespace tamblet
