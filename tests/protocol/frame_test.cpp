#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/protocol/unpack7.h"

namespace tamblet {
namespace {

using Bytes = std::vector<uint8_t>;

using test::Unpack7;

Bytes Digits(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct FrameCase {
  const char* name;
  Bytes body;  // command, sub-command and data, from offset 5
  uint32_t device_number;
  bool with_checksum;
  Bytes expected;
};

TEST(BuildFrame, WritesHeadChecksumAndEnd) {
  const FrameCase cases[] = {
      {"model name request",
       {0x00, 0x02},
       0,
       false,
       {0xF0, 0x43, 0x50, 0x03, 0x00, 0x00, 0x02, 0xF7}},
      {"device byte keeps low 8 bits",
       {0x00, 0x01},
       0x105,
       false,
       {0xF0, 0x43, 0x55, 0x03, 0x00, 0x00, 0x01, 0xF7}},
      {"raw select byte passes unchanged",
       {0x01, 0x01, 0xFE},
       0,
       false,
       {0xF0, 0x43, 0x50, 0x03, 0x00, 0x01, 0x01, 0xFE, 0xF7}},
      {"checksum of nothing is 0",
       {0x03, 0x00},
       0,
       true,
       {0xF0, 0x43, 0x50, 0x03, 0x00, 0x03, 0x00, 0x00, 0xF7}},
      {"sum a multiple of 128 gives checksum 0",
       {0x03, 0x00, 0x40, 0x3F, 0x01},
       0,
       true,
       {0xF0, 0x43, 0x50, 0x03, 0x00, 0x03, 0x00, 0x40, 0x3F, 0x01, 0x00, 0xF7}},
      {"checksum negates the 8-bit sum, keeps 7 bits",
       {0x03, 0x00, 0x01},
       0,
       true,
       {0xF0, 0x43, 0x50, 0x03, 0x00, 0x03, 0x00, 0x01, 0x7F, 0xF7}},
      {"command bytes are not summed",
       {0x7F, 0x7F, 0x02},
       0,
       true,
       {0xF0, 0x43, 0x50, 0x03, 0x00, 0x7F, 0x7F, 0x02, 0x7E, 0xF7}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes frame(64, 0xAA);
    std::copy(c.body.begin(), c.body.end(), frame.begin() + 5);
    const int32_t count = static_cast<int32_t>(c.body.size()) - 2;
    const int32_t length = BuildFrame(frame.data(), c.device_number, count, c.with_checksum);
    ASSERT_EQ(length, static_cast<int32_t>(c.expected.size()));
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + length), c.expected);
    EXPECT_EQ(frame[length], 0xAA) << "wrote past the frame";
  }
}

TEST(BuildFrame, SetRangeExample) {
  Bytes frame(256, 0);
  frame[5] = 0x01;
  frame[6] = 0x02;
  PutHex8(frame.data(), 7, 0);
  PutHex8(frame.data(), 15, 0x10000);
  ASSERT_EQ(BuildFrame(frame.data(), 0, 16, false), 24);
  const Bytes expected = {0xF0, 0x43, 0x50, 0x03, 0x00, 0x01, 0x02, 0x30, 0x30, 0x30, 0x30, 0x30,
                          0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0x30, 0x30, 0x30, 0x30, 0xF7};
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 24), expected);
}

TEST(HexFields, HexDigitCoversLowEightBitsOnly) {
  const struct {
    uint32_t value;
    uint8_t expected;
  } cases[] = {{0, '0'},    {9, '9'},   {10, 'A'},    {15, 'F'},     {16, 0x00},
               {255, 0x00}, {256, '0'}, {0x10A, 'A'}, {0x1FF, 0x00}, {0xFFFFFF0F, 'F'}};
  for (const auto& c : cases) EXPECT_EQ(HexDigit(c.value), c.expected) << "value " << c.value;
}

TEST(HexFields, PutHexWritesFixedWidthUppercase) {
  const struct {
    int width;
    uint32_t value;
    std::string expected;
  } cases[] = {
      {8, 0, "00000000"},          {8, 0xFFFFFFFF, "FFFFFFFF"}, {8, 0x10000, "00010000"},
      {8, 0x89ABCDEF, "89ABCDEF"}, {4, 0x12345, "2345"},        {4, 0, "0000"},
      {4, 0x800, "0800"},          {4, 0xFFFF, "FFFF"},         {4, 0xABCD0000, "0000"},
  };
  for (const auto& c : cases) {
    Bytes frame(16, 0xAA);
    if (c.width == 8) {
      PutHex8(frame.data(), 3, c.value);
    } else {
      PutHex4(frame.data(), 3, c.value);
    }
    EXPECT_EQ(Bytes(frame.begin() + 3, frame.begin() + 3 + c.width), Digits(c.expected))
        << c.expected;
    EXPECT_EQ(frame[2], 0xAA);
    EXPECT_EQ(frame[3 + c.width], 0xAA);
  }
}

TEST(HexFields, ParseHexStopsAtAnyNonDigit) {
  const struct {
    Bytes text;
    uint8_t max_digits;
    uint32_t expected;
  } cases[] = {
      {{0x31, 0x41, 0x32, 0x62}, 8, 0x1A2},
      {{0x30, 0x30, 0x61, 0x30}, 8, 0},
      {{0x30, 0x30, 0x30, 0x30, 0x32, 0x30, 0x30, 0xF7}, 8, 0x200},
      {Bytes(8, 0x46), 8, 0xFFFFFFFF},
      {{0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39}, 8, 0x12345678},
      {{0x31, 0x32}, 0, 0},
      {{0x31, 0x32, 0x33}, 2, 0x12},
      {{0x3A, 0x31}, 8, 0},
      {{0x40, 0x31}, 8, 0},
      {{0x47, 0x31}, 8, 0},
      {{0x00}, 8, 0},
      {{0x31, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x30, 0x30, 0x30}, 10, 0xBCDEF000},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(ParseHex(cases[i].text.data(), cases[i].max_digits), cases[i].expected)
        << "case " << i;
  }
}

TEST(Pack7, PacksGroupsOfSevenLedByTheirTopBits) {
  const struct {
    Bytes data;
    Bytes expected;
  } cases[] = {
      {{}, {}},
      {{0x80, 0x81, 0x02, 0x03, 0x04, 0x05, 0xFF, 0x90},
       {0x61, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x7F, 0x40, 0x10}},
      {{0x80, 0x01, 0xFF}, {0x50, 0x00, 0x01, 0x7F}},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       {0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F}},
      {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x87},
       {0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}},
      {{0x80}, {0x40, 0x00}},
      {{0x7F}, {0x00, 0x7F}},
      {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x80},
       {0x01, 0, 0, 0, 0, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    Bytes out(c.expected.size() + 4, 0xAA);
    const int32_t n = static_cast<int32_t>(c.data.size());
    ASSERT_EQ(Pack7(out.data(), c.data.data(), n), static_cast<int32_t>(c.expected.size()));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + c.expected.size()), c.expected);
    EXPECT_EQ(out[c.expected.size()], 0xAA) << "wrote past the packed data";
  }
}

TEST(BuildWriteData, WorkedExamples) {
  {
    SCOPED_TRACE("80 01 FF at 0x1000");
    Bytes frame(4096, 0);
    const uint8_t data[] = {0x80, 0x01, 0xFF};
    ASSERT_EQ(BuildWriteData(frame.data(), 0x1000, data, 3), 25);
    const Bytes expected = {0xF0, 0x43, 0x50, 0x03, 0x00, 0x03, 0x00, 0x30, 0x30,
                            0x30, 0x33, 0x30, 0x30, 0x30, 0x30, 0x31, 0x30, 0x30,
                            0x30, 0x50, 0x00, 0x01, 0x7F, 0x6C, 0xF7};
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 25), expected);
  }
  {
    SCOPED_TRACE("no data");
    Bytes frame(4096, 0xAA);
    ASSERT_EQ(BuildWriteData(frame.data(), 0x12345678, nullptr, 0), 21);
    EXPECT_EQ(Bytes(frame.begin() + 7, frame.begin() + 11), Digits("0000"));
    EXPECT_EQ(Bytes(frame.begin() + 11, frame.begin() + 19), Digits("12345678"));
    EXPECT_EQ(frame[20], 0xF7);
    EXPECT_EQ(frame[21], 0xAA);
  }
  {
    SCOPED_TRACE("2048 bytes");
    Bytes frame(4096, 0xAA);
    const Bytes data(2048, 0xC3);
    ASSERT_EQ(BuildWriteData(frame.data(), 0, data.data(), 2048), kMaxWriteDataFrame);
    EXPECT_EQ(Bytes(frame.begin() + 7, frame.begin() + 11), (Bytes{0x30, 0x38, 0x30, 0x30}));
    EXPECT_EQ(frame[kMaxWriteDataFrame - 1], 0xF7);
    EXPECT_EQ(frame[kMaxWriteDataFrame], 0xAA);
  }
}

// Any data round-trips through the frame, the frame stays 7-bit inside, and
// the checksum closes the covered bytes to a multiple of 128.
TEST(BuildWriteData, RoundTripsAnyDataAtAnyLength) {
  std::mt19937 rng(20240607);
  std::vector<int32_t> lengths = {0,  1,   2,   6,    7,    8,    13,   14,
                                  15, 100, 511, 1024, 2040, 2046, 2047, 2048};
  for (int i = 0; i < 24; ++i) lengths.push_back(static_cast<int32_t>(rng() % 2049));
  for (const int32_t n : lengths) {
    SCOPED_TRACE("n = " + std::to_string(n));
    Bytes data(static_cast<size_t>(n));
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    const uint32_t address = rng();
    Bytes frame(4096, 0xAA);
    const int32_t length = BuildWriteData(frame.data(), address, data.data(), n);
    const int32_t packed = n + (n + 6) / 7;
    ASSERT_EQ(length, packed + 21);
    ASSERT_LE(length, kMaxWriteDataFrame);
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
