#pragma once
// The inverse of Pack7, kept deliberately naive, for checking frames.

#include <cstdint>
#include <vector>

namespace tamblet::test {

inline std::vector<uint8_t> Unpack7(const uint8_t* packed, int32_t packed_length, int32_t n) {
  std::vector<uint8_t> out;
  int32_t at = 0;
  while (static_cast<int32_t>(out.size()) < n && at < packed_length) {
    const uint8_t lead = packed[at++];
    for (int i = 0; i < 7 && static_cast<int32_t>(out.size()) < n && at < packed_length; ++i) {
      const uint8_t top = static_cast<uint8_t>(((lead >> (6 - i)) & 1) << 7);
      out.push_back(static_cast<uint8_t>(top | packed[at++]));
    }
  }
  return out;
}

}  // namespace tamblet::test
