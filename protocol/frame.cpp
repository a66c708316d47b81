#include "protocol/frame.h"

namespace tamblet {
namespace {

constexpr uint8_t kSysExStart = 0xF0;
constexpr uint8_t kSysExEnd = 0xF7;
constexpr uint8_t kManufacturerId = 0x43;
constexpr uint8_t kDeviceByte = 0x50;

constexpr uint8_t kWriteDataCommand = 0x03;
constexpr uint8_t kWriteDataSubCommand = 0x00;
constexpr int32_t kWriteDataLengthOffset = 7;
constexpr int32_t kWriteDataAddressOffset = 11;
constexpr int32_t kWriteDataPackedOffset = 19;
constexpr int32_t kWriteDataFieldBytes = 12;  // length and address digits

// The lead byte holds the top bit of group byte i in bit 6 - i.
inline void PackGroup(uint8_t* out, const uint8_t* data, int32_t g) {
  uint8_t lead = 0;
  for (int32_t i = 0; i < g; ++i) {
    lead = static_cast<uint8_t>((lead << 1) | (data[i] >> 7));
    out[1 + i] = data[i] & 0x7F;
  }
  lead = static_cast<uint8_t>(lead << (7 - g));
  out[0] = lead;
}

}  // namespace

int32_t BuildFrame(uint8_t* frame, uint32_t device_number, int32_t count, bool with_checksum) {
  // A negative count would put the end byte inside the head.
  if (count < 0) count = 0;
  frame[0] = kSysExStart;
  frame[1] = kManufacturerId;
  frame[2] = static_cast<uint8_t>(kDeviceByte | (device_number & 0xFF));
  frame[3] = 0x03;
  frame[4] = 0x00;
  if (!with_checksum) {
    frame[kFrameHeadLength + count] = kSysExEnd;
    return count + 8;
  }
  uint8_t sum = 0;
  const uint8_t* data = frame + kFrameHeadLength;
  for (int32_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  frame[kFrameHeadLength + count] = static_cast<uint8_t>(-sum) & 0x7F;
  frame[kFrameHeadLength + count + 1] = kSysExEnd;
  return count + 9;
}

uint8_t HexDigit(uint32_t value) {
  const uint32_t v = value & 0xFF;
  if (v <= 9) return static_cast<uint8_t>(0x30 + v);
  if (v <= 15) return static_cast<uint8_t>(0x37 + v);
  return 0x00;
}

void PutHex8(uint8_t* frame, int32_t offset, uint32_t value) {
  for (int32_t i = 0; i < 8; ++i) frame[offset + i] = HexDigit((value >> (28 - 4 * i)) & 0xF);
}

void PutHex4(uint8_t* frame, int32_t offset, uint32_t value) {
  for (int32_t i = 0; i < 4; ++i) frame[offset + i] = HexDigit((value >> (12 - 4 * i)) & 0xF);
}

uint32_t ParseHex(const uint8_t* text, uint8_t max_digits) {
  uint32_t result = 0;
  for (uint8_t i = 0; i < max_digits; ++i) {
    const uint8_t c = text[i];
    uint32_t digit;
    if (c >= 0x30 && c <= 0x39) {
      digit = c - 0x30u;
    } else if (c >= 0x41 && c <= 0x46) {
      digit = c - 0x37u;
    } else {
      break;
    }
    result = (result << 4) | digit;
  }
  return result;
}

int32_t Pack7(uint8_t* out, const uint8_t* data, int32_t n) {
  int32_t total = 0;
  // Full groups first: a fixed trip count lets the compiler unroll them.
  while (n >= 7) {
    PackGroup(out + total, data, 7);
    data += 7;
    n -= 7;
    total += 8;
  }
  if (n > 0) {
    PackGroup(out + total, data, n);
    total += n + 1;
  }
  return total;
}

int32_t BuildWriteData(uint8_t* frame, uint32_t address, const uint8_t* data, int32_t n) {
  frame[5] = kWriteDataCommand;
  frame[6] = kWriteDataSubCommand;
  PutHex4(frame, kWriteDataLengthOffset, static_cast<uint32_t>(n));
  PutHex8(frame, kWriteDataAddressOffset, address);
  const int32_t packed = Pack7(frame + kWriteDataPackedOffset, data, n);
  return BuildFrame(frame, 0, packed + kWriteDataFieldBytes, true);
}

}  // namespace tamblet
