// Decoding of requests by hand-written bytes, independent of the program's encoders.

#include "sim/request.h"

#include <gtest/gtest.h>

namespace tamblet::sim {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(DecodeRequest, WorkedExamples) {
  const Request name = DecodeRequest(Bytes{0xF0, 0x43, 0x50, 0x03, 0x00, 0x00, 0x02, 0xF7});
  EXPECT_EQ(name.command, Command::kGetModelName);
  EXPECT_TRUE(name.well_formed());

  const Request range =
      DecodeRequest(Bytes{0xF0, 0x43, 0x50, 0x03, 0x00, 0x01, 0x02, 0x30, 0x30, 0x30, 0x30, 0x30,
                          0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0x30, 0x30, 0x30, 0x30, 0xF7});
  EXPECT_EQ(range.command, Command::kSetRange);
  EXPECT_TRUE(range.well_formed());
  EXPECT_EQ(range.address, 0u);
  EXPECT_EQ(range.count, 0x10000u);

  const Request write = DecodeRequest(Bytes{0xF0, 0x43, 0x50, 0x03, 0x00, 0x03, 0x00, 0x30, 0x30,
                                            0x30, 0x33, 0x30, 0x30, 0x30, 0x30, 0x31, 0x30, 0x30,
                                            0x30, 0x50, 0x00, 0x01, 0x7F, 0x6C, 0xF7});
  EXPECT_EQ(write.command, Command::kWriteData);
  ASSERT_TRUE(write.well_formed()) << write.problem;
  EXPECT_EQ(write.address, 0x1000u);
  EXPECT_EQ(write.data, (Bytes{0x80, 0x01, 0xFF}));
}

TEST(DecodeRequest, UnknownMessagesHaveNoCommand) {
  for (const Bytes& bytes : {Bytes{}, Bytes{0xF0, 0x43, 0xF7}, Bytes{0x90, 0x40, 0x7F},
                             Bytes{0xF0, 0x43, 0x50, 0x03, 0x00, 0x06, 0x00, 0xF7},
                             Bytes{0xF0, 0x43, 0x50, 0x03, 0x00, 0x05, 0x7E, 0xF7}}) {
    EXPECT_EQ(DecodeRequest(bytes).command, Command::kUnknown);
  }
}

TEST(Unpack7, Examples) {
  EXPECT_EQ(Unpack7(Bytes{0x61, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x7F, 0x40, 0x10}, 8),
            (Bytes{0x80, 0x81, 0x02, 0x03, 0x04, 0x05, 0xFF, 0x90}));
  EXPECT_EQ(Unpack7(Bytes{0x50, 0x00, 0x01, 0x7F}, 3), (Bytes{0x80, 0x01, 0xFF}));
  EXPECT_EQ(Unpack7(Bytes{}, 0), Bytes{});
}

TEST(Unpack7, RejectsBrokenPacking) {
  struct Case {
    const char* why;
    Bytes packed;
    uint32_t n;
  } cases[] = {
      {"unused low bit of a short lead byte set", {0x51, 0x00, 0x01, 0x7F}, 3},
      {"lead byte not shifted up", {0x05, 0x00, 0x01, 0x7F}, 3},
      {"one byte short", {0x50, 0x00, 0x01}, 3},
      {"one byte too many", {0x50, 0x00, 0x01, 0x7F, 0x00}, 3},
      {"data byte of 0x80", {0x00, 0x80}, 1},
  };
  for (const Case& c : cases) EXPECT_FALSE(Unpack7(c.packed, c.n)) << c.why;
}

TEST(ReadHexField, AcceptsOnlyUppercaseDigits) {
  struct Case {
    const char* text;
    std::optional<uint32_t> value;
  } cases[] = {
      {"00000000", 0u},       {"FFFFFFFF", 0xFFFFFFFFu}, {"0800", 0x800u},
      {"1A2B", 0x1A2Bu},      {"1a2b", std::nullopt},    {"12G4", std::nullopt},
      {"12 4", std::nullopt}, {"", std::nullopt},        {"123456789", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::string_view text(c.text);
    const Bytes bytes(text.begin(), text.end());
    EXPECT_EQ(ReadHexField(bytes), c.value) << c.text;
  }
}

}  // namespace
}  // namespace tamblet::sim
