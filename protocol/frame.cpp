#include "protocol/frame.h"

#include <bit>
#include <cstring>

#include "protocol/command_table.h"

namespace tamblet {
namespace {

constexpr uint8_t kSysExStart = 0xF0;
constexpr uint8_t kSysExEnd = 0xF7;
constexpr uint8_t kManufacturerId = 0x43;
constexpr uint8_t kDeviceByte = 0x50;

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

// A full group of 7 bytes held in the low 7 bytes of a little-endian word,
// packed as one 8-byte word.
inline void PackWord(uint8_t* out, uint64_t x) {
  const uint64_t tops = (x >> 7) & 0x0001010101010101ull;  // byte i's top bit at bit 8i
  // Byte-swapped, byte i's top bit sits at bit 8(7 - i); the multiply gathers
  // bit 8m to bit 56 + m, and no two partial products share a bit, so nothing
  // carries. Bit 57 + (6 - i) then holds byte i's top bit.
  const uint64_t lead = (__builtin_bswap64(tops) * 0x0102040810204080ull) >> 57;
  const uint64_t word = ((x & 0x007F7F7F7F7F7F7Full) << 8) | lead;
  std::memcpy(out, &word, sizeof word);
}

// The 8-bit sum of n bytes, eight at a time: pairs of bytes add into 16-bit
// lanes, folded before a lane can overflow (128 words add at most 65280).
uint8_t SumBytes(const uint8_t* p, int32_t n) {
  constexpr uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
  uint32_t sum = 0;
  while (n >= 8) {
    uint64_t lanes = 0;
    for (int words = 0; words < 128 && n >= 8; ++words) {
      uint64_t w;
      std::memcpy(&w, p, sizeof w);
      lanes += (w & kLowBytes) + ((w >> 8) & kLowBytes);
      p += 8;
      n -= 8;
    }
    sum += static_cast<uint32_t>((lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) +
                                 ((lanes >> 32) & 0xFFFF) + (lanes >> 48));
  }
  while (n-- > 0) sum += *p++;
  return static_cast<uint8_t>(sum);
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
  const uint8_t sum = SumBytes(frame + kFrameHeadLength, count);
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
  if constexpr (std::endian::native == std::endian::little) {
    // Whole words while an eighth byte can be read past the group.
    while (n >= 8) {
      uint64_t x;
      std::memcpy(&x, data, sizeof x);
      PackWord(out + total, x);
      data += 7;
      n -= 7;
      total += 8;
    }
    if (n == 7) {
      uint64_t x = 0;
      std::memcpy(&x, data, 7);
      PackWord(out + total, x);
      return total + 8;
    }
  }
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
  frame[kFrameCommand] = kWriteData.command;
  frame[kFrameSubCommand] = kWriteData.sub_command;
  PutHex4(frame, kWriteDataLengthOffset, static_cast<uint32_t>(n));
  PutHex8(frame, kWriteDataAddressOffset, address);
  const int32_t packed = Pack7(frame + kWriteDataPackedOffset, data, n);
  return BuildFrame(frame, 0, packed + kWriteDataFieldBytes, true);
}

}  // namespace tamblet
