#pragma once
// The device stage of Load: open the port pair, wait five seconds, check the
// model, select the target, then Copy, Load, Uninstall, Install, Verify and
// ModeOff. The first failure ends the run with that step's text.

#include <cstdint>
#include <optional>

#include "base/display.h"
#include "base/load_outcome.h"
#include "base/status_texts.h"
#include "base/wait_policy.h"
#include "protocol/device_commands.h"
#include "update/update_file.h"

namespace tamblet {

inline constexpr uint32_t kOpenWaitSteps = 5;
inline constexpr uint32_t kOpenWaitStepMs = 1000;

// What the device stage drives: the port pair's open and the six commands,
// each returning 0 for success.
class UpdateTarget {
 public:
  virtual ~UpdateTarget() = default;
  virtual bool Open(uint32_t out_index, uint32_t in_index) = 0;
  virtual int32_t GetModelName(char (&name)[kModelNameSize]) = 0;
  virtual int32_t SelectDevice(uint8_t target_select) = 0;
  virtual int32_t RunOperation(uint16_t code, uint32_t start, uint32_t count,
                               uint32_t chunk_size) = 0;
  virtual int32_t WriteChunk(uint32_t address, const uint8_t* data, uint32_t count) = 0;
  virtual int32_t VerifySum(uint32_t address, uint32_t count, uint16_t sum) = 0;
  virtual int32_t ModeOff() = 0;
};

// True when both names end within their 16 bytes at the same place and agree
// up to there; a name with no NUL in its 16 bytes never matches.
bool ModelNamesMatch(const char (&reported)[16], const char (&expected)[16]);

// "Loading.... (%3d%%)" with the share of the region already sent.
void FormatLoadingText(char (&text)[32], uint32_t region_size, uint32_t remaining);

// 16-bit wrapping sum of n bytes.
uint16_t Sum16(const uint8_t* data, uint32_t n);

// Runs the device stage on a checked header and its image. The port indices are
// those discovery recorded; without both, nothing is opened. Returns where it
// ended, with the text it left on the status line.
LoadOutcome RunDeviceStage(const UpdateHeader& header, const UpdateImage& image,
                           std::optional<uint32_t> out_index, std::optional<uint32_t> in_index,
                           UpdateTarget& target, LoadDisplay& display, WaitPolicy& waits);

}  // namespace tamblet
