#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace tamblet {
namespace {

using namespace std::string_literals;
using Bytes = std::vector<uint8_t>;

// "F0 43 50" as bytes.
Bytes H(const std::string& text) {
  Bytes out;
  const char* hex = text.c_str();
  for (char* end; *hex != '\0'; hex = end) {
    out.push_back(static_cast<uint8_t>(std::strtoul(hex, &end, 16)));
  }
  return out;
}

// The inverse of Pack7, kept deliberately naive: the worked example fixes the
// bit order, the round trip the rest.
Bytes Unpack7(const uint8_t* packed, int32_t packed_length, int32_t n) {
  Bytes out;
  for (int32_t at = 0; static_cast<int32_t>(out.size()) < n && at < packed_length;) {
    const uint8_t lead = packed[at++];
    for (int i = 0; i < 7 && static_cast<int32_t>(out.size()) < n && at < packed_length; ++i) {
      out.push_back(static_cast<uint8_t>((((lead >> (6 - i)) & 1) << 7) | packed[at++]));
    }
  }
  return out;
}

TEST(BuildFrame, WritesHeadChecksumAndEnd) {
  // Command, sub-command and data from offset 5; device number; checksum; the frame.
  const std::tuple<const char*, uint32_t, bool, const char*> cases[] = {
      {"00 02", 0, false, "F0 43 50 03 00 00 02 F7"},  // GetModelName
      {"00 01", 0x105, false, "F0 43 55 03 00 00 01 F7"},
      {"03 00 40 3F 01", 0, true, "F0 43 50 03 00 03 00 40 3F 01 00 F7"},
      {"03 00 01", 0, true, "F0 43 50 03 00 03 00 01 7F F7"},
      {"7F 7F 02", 0, true, "F0 43 50 03 00 7F 7F 02 7E F7"},  // command bytes not summed
  };
  for (const auto& [body_hex, device, checksum, expected_hex] : cases) {
    SCOPED_TRACE(expected_hex);
    const Bytes body = H(body_hex), expected = H(expected_hex);
    Bytes frame(64, 0xAA);
    std::copy(body.begin(), body.end(), frame.begin() + 5);
    const int32_t count = static_cast<int32_t>(body.size()) - 2;
    ASSERT_EQ(BuildFrame(frame.data(), device, count, checksum), std::ssize(expected));
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + std::ssize(expected) + 1),
              H(expected_hex + " AA"s));
  }
}

TEST(HexFields, DigitsAndFixedWidthFields) {
  const std::pair<uint32_t, uint8_t> digits[] = {
      {9, '9'}, {10, 'A'}, {15, 'F'}, {16, 0}, {0x10A, 'A'}};
  for (const auto& [value, digit] : digits) EXPECT_EQ(HexDigit(value), digit) << value;

  const std::tuple<int, uint32_t, std::string> fields[] = {
      {8, 0x89ABCDEF, "89ABCDEF"}, {4, 0x12345, "2345"}, {4, 0x800, "0800"}};
  for (const auto& [width, value, text] : fields) {
    Bytes frame(16, 0xAA);
    (width == 8 ? PutHex8 : PutHex4)(frame.data(), 3, value);
    const std::string written(frame.begin() + 2, frame.begin() + 4 + width);
    EXPECT_EQ(written, "\xAA" + text + "\xAA");
  }
}

TEST(HexFields, ParseHexStopsAtAnyNonDigit) {
  const std::tuple<const char*, uint8_t, uint32_t> cases[] = {{"1A2b", 8, 0x1A2},
                                                              {"00000200\xF7", 8, 0x200},
                                                              {"123456789", 8, 0x12345678},
                                                              {"123", 2, 0x12},
                                                              {":1", 8, 0},
                                                              {"@1", 8, 0},
                                                              {"G1", 8, 0},
                                                              {"1ABCDEF000", 10, 0xBCDEF000}};
  for (const auto& [text, max_digits, expected] : cases) {
    EXPECT_EQ(ParseHex(reinterpret_cast<const uint8_t*>(text), max_digits), expected) << text;
  }
}

TEST(BuildWriteData, WorkedExamples) {
  Bytes frame(4096, 0xAA);
  const Bytes data = H("80 01 FF"), full(2048, 0xC3);
  ASSERT_EQ(BuildWriteData(frame.data(), 0x1000, data.data(), 3), 25);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 26),
            H("F0 43 50 03 00 03 00 30 30 30 33 30 30 30 30 31 30 30 30 50 00 01 7F 6C F7 AA"));
  EXPECT_EQ(BuildWriteData(frame.data(), 0, full.data(), 2048), 2362);
}

// Any data round-trips through the frame, the frame stays 7-bit inside, and
// the checksum closes the covered bytes to a multiple of 128.
TEST(BuildWriteData, RoundTripsAnyDataAtAnyLength) {
  std::mt19937 rng(20240607);
  std::vector<int32_t> lengths = {0, 1, 6, 7, 8, 13, 14, 15, 2047, 2048};
  for (int i = 0; i < 16; ++i) lengths.push_back(static_cast<int32_t>(rng() % 2049));
  for (const int32_t n : lengths) {
    SCOPED_TRACE("n = " + std::to_string(n));
    Bytes data(static_cast<size_t>(n));
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    const uint32_t address = rng();
    Bytes frame(4096, 0xAA);
    const int32_t length = BuildWriteData(frame.data(), address, data.data(), n);
    const int32_t packed = n + (n + 6) / 7;
    ASSERT_EQ(length, packed + 21);
    EXPECT_EQ(frame[0], 0xF0);
    EXPECT_EQ(frame[length - 1], 0xF7);
    EXPECT_EQ(frame[length], 0xAA);
    for (int32_t k = 1; k < length - 1; ++k) ASSERT_LT(frame[k], 0x80) << "offset " << k;
    EXPECT_EQ(ParseHex(frame.data() + 7, 4), static_cast<uint32_t>(n));
    EXPECT_EQ(ParseHex(frame.data() + 11, 8), address);
    EXPECT_EQ(Unpack7(frame.data() + 19, packed, n), data);
    uint32_t sum = 0;
    for (int32_t k = 7; k <= 19 + packed; ++k) sum += frame[k];
    EXPECT_EQ(sum % 128, 0u);
  }
}

}  // namespace
}  // namespace tamblet
