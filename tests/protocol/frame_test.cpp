#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "sim/request.h"

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

TEST(BuildFrame, WritesHeadChecksumAndEnd) {
  // Command, sub-command and data from offset 5; device number; checksum; the frame.
  const std::tuple<const char*, uint32_t, bool, const char*> cases[] = {
      {"00 01", 0x105, false, "F0 43 55 03 00 00 01 F7"},
      {"03 00 40 3F 01", 0, true, "F0 43 50 03 00 03 00 40 3F 01 00 F7"},
      {"03 00 01", 0, true, "F0 43 50 03 00 03 00 01 7F F7"},
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
  // Long runs of the largest byte: the word-wise sum must not overflow a lane.
  for (const int32_t n : {1024, 1025, 4096}) {
    Bytes frame(size_t(n) + 16, 0xFF);
    BuildFrame(frame.data(), 0, n, true);
    EXPECT_EQ(frame[7 + size_t(n)], uint8_t(-n * 0xFF) & 0x7F) << n;
  }
}

TEST(HexFields, DigitsKeepTheLowByteAndParsingStopsAtAnyNonDigit) {
  const std::pair<uint32_t, uint8_t> digits[] = {
      {9, '9'}, {10, 'A'}, {15, 'F'}, {16, 0}, {0x10A, 'A'}};
  for (const auto& [value, digit] : digits) EXPECT_EQ(HexDigit(value), digit) << value;
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

// Any data comes out of the frame whole as the simulated device decodes it,
// which checks the head, the hex fields, the 7-bit bytes and the checksum. Its
// decoder, pinned by the worked example in tests/sim, takes one encoding only.
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
    ASSERT_EQ(length, n + (n + 6) / 7 + 21);
    EXPECT_EQ(frame[length], 0xAA);
    const sim::Request request = sim::DecodeRequest(std::span(frame.data(), size_t(length)));
    ASSERT_TRUE(request.well_formed()) << request.problem;
    EXPECT_EQ(request.command, sim::Command::kWriteData);
    EXPECT_EQ(request.address, address);
    EXPECT_EQ(request.data, data);
  }
}

}  // namespace
}  // namespace tamblet
