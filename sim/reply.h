#pragma once
// What the simulated device sends back for one request.

#include <cstdint>
#include <vector>

namespace tamblet::sim {

struct Reply {
  enum class Kind {
    kLongData,   // a SysEx message
    kLongError,  // a broken SysEx: the driver reports MIM_LONGERROR
    kShortData,  // a short message (up to 3 bytes)
  };
  Kind kind = Kind::kLongData;
  std::vector<uint8_t> bytes;
  uint32_t delay_ms = 0;  // device time before it leaves
};

}  // namespace tamblet::sim
