// The device's answers to good and broken requests, and what it keeps.

#include "sim/device.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/sim/sim_frames.h"

namespace tamblet::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using test::Ascii;
using test::ReplyBytes;

DeviceConfig SmallDevice() {
  DeviceConfig config;
  config.model_name = "QX-1";
  config.flash_size = 0x40000;
  config.progress_step = 0x1000;
  return config;
}

// The one reply a request gets.
Bytes Ask(Device& device, const Bytes& request) {
  auto replies = device.OnRequest(request);
  if (replies.size() != 1) {
    ADD_FAILURE() << "expected one reply, got " << replies.size();
    return {};
  }
  EXPECT_EQ(replies[0].kind, Reply::Kind::kLongData);
  return replies[0].bytes;
}

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

TEST(Device, AnswersEachCommand) {
  struct Case {
    const char* name;
    Bytes request;
    Bytes reply;
  } cases[] = {
      {"GetModelName", test::GetModelName(), ReplyBytes(0x00, 0x42, Ascii("QX-1"))},
      {"ModeOff", test::ModeOff(), ReplyBytes(0x00, 0x41, {0x01})},
      {"SelectDevice", test::SelectDevice(0x05), ReplyBytes(0x01, 0x41, {0x01})},
      {"SetRange", test::SetRange(0x1000, 0x2000), ReplyBytes(0x01, 0x42, {0x01})},
      {"WriteData", test::WriteData(0x100, {1, 2, 3}), ReplyBytes(0x03, 0x40, {0x01})},
      // Erased flash: 0x10 bytes of 0xFF sum to 0x0FF0.
      {"VerifySum right", test::VerifySum(0x0, 0x10, 0x0FF0), ReplyBytes(0x04, 0x42, {0x01})},
      {"VerifySum wrong", test::VerifySum(0x0, 0x10, 0x0FF1), ReplyBytes(0x04, 0x42, {0x00})},
      {"Copy with no range", test::Copy(), ReplyBytes(0x02, 0x41, {0x00})},
      {"Uninstall with no range", test::Uninstall(), ReplyBytes(0x04, 0x40, {0x00})},
      {"Continue with nothing running", test::Continue(), ReplyBytes(0x05, 0x7F, {0x00})},
      {"SetRange past the flash end", test::SetRange(0x3F000, 0x1001),
       ReplyBytes(0x01, 0x42, {0x00})},
      {"VerifySum past the flash end", test::VerifySum(0x3FFFF, 2, 0x1FE),
       ReplyBytes(0x04, 0x42, {0x00})},
  };
  for (const Case& c : cases) {
    Device device(SmallDevice());
    EXPECT_EQ(Ask(device, c.request), c.reply) << c.name;
  }
}

TEST(Device, ReportsNamesOfAnyLength) {
  for (std::string name : {"", "A", "FIFTEEN-CHARS-X", "A-NAME-OF-TWENTY-CHR"}) {
    DeviceConfig config = SmallDevice();
    config.model_name = name;
    Device device(config);
    EXPECT_EQ(Ask(device, test::GetModelName()), ReplyBytes(0x00, 0x42, Ascii(name.c_str())));
  }
}

TEST(Device, RecordsTargetAndRequests) {
  Device device(SmallDevice());
  EXPECT_FALSE(device.selected_target());
  Ask(device, test::SelectDevice(0x7F));
  EXPECT_EQ(device.selected_target(), 0x7F);
  Ask(device, test::VerifySum(0x20, 0x30, 0x1234));
  const auto log = device.log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].command, Command::kSelectDevice);
  EXPECT_EQ(log[0].target, 0x7F);
  EXPECT_EQ(log[1].command, Command::kVerifySum);
  EXPECT_EQ(log[1].address, 0x20u);
  EXPECT_EQ(log[1].count, 0x30u);
  EXPECT_EQ(log[1].sum, 0x1234);
  EXPECT_EQ(device.stats().sum_mismatches, 1u);
}

TEST(Device, FlashStartsWithFillAndInitialContents) {
  DeviceConfig config = SmallDevice();
  config.fill = 0x00;
  config.initial_contents = {0xAA, 0xBB};
  Device device(config);
  const Bytes flash = device.flash();
  ASSERT_EQ(flash.size(), 0x40000u);
  EXPECT_EQ(flash[0], 0xAA);
  EXPECT_EQ(flash[1], 0xBB);
  EXPECT_EQ(flash[2], 0x00);
  EXPECT_EQ(flash.back(), 0x00);
}

TEST(Device, WriteDataLandsInFlashExactly) {
  struct Case {
    uint32_t address;
    size_t length;
  } cases[] = {{0x0, 1}, {0x1001, 7}, {0x2345, 8}, {0x10000, 2048}, {0x3F800, 2048}, {0x500, 0}};
  for (const Case& c : cases) {
    Device device(SmallDevice());
    const Bytes data = RandomBytes(c.length, c.address);
    EXPECT_EQ(Ask(device, test::WriteData(c.address, data)), ReplyBytes(0x03, 0x40, {0x01}));
    Bytes expected(0x40000, 0xFF);
    std::copy(data.begin(), data.end(), expected.begin() + c.address);
    EXPECT_EQ(device.flash(), expected) << "length " << c.length;
    EXPECT_EQ(device.stats().bytes_written, c.length);
    EXPECT_EQ(device.stats().refusals, 0u);
  }
}

TEST(Device, VerifySumWrapsAtSixteenBits) {
  Device device(SmallDevice());
  const Bytes data = RandomBytes(2048, 7);
  Ask(device, test::WriteData(0x800, data));
  uint16_t sum = 0;
  for (uint8_t b : data) sum = static_cast<uint16_t>(sum + b);
  // 2048 random bytes sum past 0xFFFF; only the low 16 bits count.
  EXPECT_EQ(Ask(device, test::VerifySum(0x800, 2048, sum)), ReplyBytes(0x04, 0x42, {0x01}));
  EXPECT_EQ(Ask(device, test::VerifySum(0x800, 2047, sum)), ReplyBytes(0x04, 0x42, {0x00}));
}

// A good WriteData of 10 bytes at 0x1000, broken one way at a time.
TEST(Device, RefusesMalformedWriteData) {
  const Bytes good = test::WriteData(0x1000, RandomBytes(10, 3));
  ASSERT_EQ(good.size(), 10u + 2 + 21);
  auto changed = [&](size_t offset, uint8_t value) {
    Bytes b = good;
    b[offset] = value;
    return b;
  };
  auto checksum_fixed = [](Bytes b) {
    unsigned sum = 0;
    for (size_t i = 7; i + 2 < b.size(); ++i) sum += b[i];
    b[b.size() - 2] = static_cast<uint8_t>((256 - sum % 256) & 0x7F);
    return b;
  };
  Bytes no_end(good.begin(), good.end() - 1);
  Bytes one_short = good;
  one_short.erase(one_short.begin() + 20);
  struct Case {
    const char* why;
    Bytes request;
  } cases[] = {
      {"checksum off by one", changed(good.size() - 2, (good[good.size() - 2] + 1) & 0x7F)},
      {"lowercase hex in the address", checksum_fixed(changed(18, 'a'))},
      {"lowercase hex in the length", checksum_fixed(changed(10, 'a'))},
      {"no F7", no_end},
      {"data byte of 0x80 or more", checksum_fixed(changed(20, 0x81))},
      {"packed data one byte short", checksum_fixed(one_short)},
      {"length field larger than the data", checksum_fixed(changed(10, 'B'))},
      {"wrong manufacturer byte", changed(1, 0x44)},
      {"address past the flash end", checksum_fixed(changed(13, '4'))},
      {"unused bits of the last lead byte set", checksum_fixed(changed(27, good[27] | 0x01))},
  };
  for (const Case& c : cases) {
    Device device(SmallDevice());
    EXPECT_EQ(Ask(device, c.request), ReplyBytes(0x03, 0x40, {0x00})) << c.why;
    EXPECT_EQ(device.flash(), Bytes(0x40000, 0xFF)) << c.why;
    EXPECT_EQ(device.stats().refusals, 1u) << c.why;
    EXPECT_EQ(device.stats().bytes_written, 0u) << c.why;
  }
}

TEST(Device, RefusesWriteDataOverFrameLimit) {
  Device device(SmallDevice());
  EXPECT_EQ(Ask(device, test::WriteData(0, RandomBytes(2049, 1))), ReplyBytes(0x03, 0x40, {0x00}));
  EXPECT_EQ(device.stats().bytes_written, 0u);
}

TEST(Device, RefusesMalformedFixedRequests) {
  auto lower = [](Bytes b, size_t offset) {
    b[offset] = static_cast<uint8_t>(std::tolower(b[offset]));
    return b;
  };
  Bytes long_name_request = test::GetModelName();
  long_name_request.insert(long_name_request.end() - 1, 0x00);
  Bytes short_verify = test::VerifySum(0, 0x10, 0x0FF0);
  short_verify.erase(short_verify.begin() + 26);
  struct Case {
    const char* why;
    Bytes request;
    Bytes reply;
  } cases[] = {
      {"SetRange with lowercase hex", lower(test::SetRange(0xA000, 0x10), 11),
       ReplyBytes(0x01, 0x42, {0x00})},
      {"VerifySum with lowercase sum", lower(test::VerifySum(0, 0x10, 0x0FF0), 25),
       ReplyBytes(0x04, 0x42, {0x00})},
      {"VerifySum one byte short", short_verify, ReplyBytes(0x04, 0x42, {0x00})},
      {"GetModelName with a data byte", long_name_request, ReplyBytes(0x00, 0x42, {0x00})},
      {"SelectDevice with target 0x80", test::SelectDevice(0x80), ReplyBytes(0x01, 0x41, {0x00})},
      {"ModeOff without F7", Bytes{0xF0, 0x43, 0x50, 0x03, 0x00, 0x00, 0x01},
       ReplyBytes(0x00, 0x41, {0x00})},
  };
  for (const Case& c : cases) {
    Device device(SmallDevice());
    EXPECT_EQ(Ask(device, c.request), c.reply) << c.why;
    EXPECT_EQ(device.stats().refusals, 1u) << c.why;
    EXPECT_FALSE(device.selected_target()) << c.why;
  }
}

TEST(Device, IgnoresMessagesThatAreNoRequest) {
  Device device(SmallDevice());
  EXPECT_TRUE(device.OnRequest(Bytes{0xF0, 0x43, 0x50, 0x03, 0x00, 0x06, 0x00, 0xF7}).empty());
  EXPECT_TRUE(device.OnRequest(Bytes{0x90, 0x40, 0x7F}).empty());
  EXPECT_EQ(device.stats().requests, 2u);
  EXPECT_EQ(device.stats().ignored, 2u);
  EXPECT_EQ(device.stats().refusals, 0u);
}

// Install with start 0x10000 and count 0x20000, the progress step one chunk.
TEST(Device, InstallExchange) {
  Device device(SmallDevice());
  const Bytes set_range = {0xF0, 0x43, 0x50, 0x03, 0x00, 0x01, 0x02, 0x30, 0x30, 0x30, 0x31, 0x30,
                           0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x32, 0x30, 0x30, 0x30, 0x30, 0xF7};
  EXPECT_EQ(Ask(device, set_range), ReplyBytes(0x01, 0x42, {0x01}));
  const Bytes install = {0xF0, 0x43, 0x50, 0x03, 0x00, 0x04, 0x01, 0xF7};
  EXPECT_EQ(Ask(device, install), ReplyBytes(0x04, 0x21, Ascii("00011000")));
  const Bytes poll = {0xF0, 0x43, 0x50, 0x03, 0x00, 0x05, 0x7F, 0xF7};
  for (uint32_t address = 0x12000; address < 0x30000; address += 0x1000) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X", address);
    ASSERT_EQ(Ask(device, poll), ReplyBytes(0x04, 0x21, Ascii(digits)));
  }
  EXPECT_EQ(Ask(device, poll), ReplyBytes(0x04, 0x41, {0x01}));
  EXPECT_EQ(Ask(device, poll), ReplyBytes(0x05, 0x7F, {0x00})) << "nothing runs any more";

  const auto ops = device.operations();
  ASSERT_EQ(ops.size(), 1u);
  EXPECT_EQ(ops[0].command, Command::kInstall);
  EXPECT_EQ(ops[0].start, 0x10000u);
  EXPECT_EQ(ops[0].count, 0x20000u);
  EXPECT_EQ(ops[0].progress_replies, 31u);
  EXPECT_TRUE(ops[0].completed);
  EXPECT_EQ(device.flash(), Bytes(0x40000, 0xFF));
}

TEST(Device, ProgressAddressesStayInsideTheRange) {
  struct Case {
    uint32_t step;
    uint32_t start;
    uint32_t count;
    std::vector<uint32_t> progress;
  } cases[] = {
      {0x10000, 0x10000, 0x20000, {0x20000}}, {0x1000, 0x0, 0x1000, {}},
      {0x1000, 0x0, 0x1001, {0x1000}},        {0x0, 0x0, 0x20000, {}},
      {0x1000, 0x3F000, 0x1000, {}},          {0x800, 0x0, 0x0, {}},
  };
  for (const Case& c : cases) {
    DeviceConfig config = SmallDevice();
    config.progress_step = c.step;
    Device device(config);
    Ask(device, test::SetRange(c.start, c.count));
    Bytes reply = Ask(device, test::Copy());
    std::vector<uint32_t> seen;
    while (reply.size() == 16 && reply[6] == 0x21) {
      seen.push_back(static_cast<uint32_t>(
          std::stoul(std::string(reply.begin() + 7, reply.begin() + 15), nullptr, 16)));
      reply = Ask(device, test::Continue());
    }
    EXPECT_EQ(reply, ReplyBytes(0x02, 0x41, {0x01}));
    EXPECT_EQ(seen, c.progress) << "step " << c.step << " count " << c.count;
  }
}

TEST(Device, OperationsRecordTheirOrderAndRanges) {
  Device device(SmallDevice());
  auto run = [&](const Bytes& op, uint32_t start, uint32_t count) {
    Ask(device, test::SetRange(start, count));
    Bytes reply = Ask(device, op);
    while (reply[6] & 0x20) reply = Ask(device, test::Continue());
    EXPECT_EQ(reply[7], 0x01);
  };
  run(test::Copy(), 0, 0x40000);
  run(test::Uninstall(), 0x8000, 0x3000);
  run(test::Install(), 0x8000, 0x3000);
  // The range is used up by the operation that took it.
  EXPECT_EQ(Ask(device, test::Install()), ReplyBytes(0x04, 0x41, {0x00}));

  const auto ops = device.operations();
  ASSERT_EQ(ops.size(), 3u);
  EXPECT_EQ(ops[0].command, Command::kCopy);
  EXPECT_EQ(ops[0].count, 0x40000u);
  EXPECT_EQ(ops[1].command, Command::kUninstall);
  EXPECT_EQ(ops[2].command, Command::kInstall);
  EXPECT_EQ(ops[2].start, 0x8000u);
  EXPECT_EQ(ops[2].count, 0x3000u);
  EXPECT_EQ(device.stats().refusals, 1u);
}

TEST(Device, BrokenContinueFailsTheRunningOperation) {
  Device device(SmallDevice());
  Ask(device, test::SetRange(0, 0x4000));
  ASSERT_EQ(Ask(device, test::Uninstall())[6], 0x20);
  Bytes broken = test::Continue();
  broken.insert(broken.end() - 1, 0x00);
  EXPECT_EQ(Ask(device, broken), ReplyBytes(0x04, 0x40, {0x00}));
  EXPECT_FALSE(device.operations()[0].completed);
  EXPECT_EQ(Ask(device, test::Continue()), ReplyBytes(0x05, 0x7F, {0x00}));
}

TEST(Device, OtherRequestAbandonsRunningOperation) {
  Device device(SmallDevice());
  Ask(device, test::SetRange(0, 0x4000));
  ASSERT_EQ(Ask(device, test::Copy())[6], 0x21);
  Ask(device, test::GetModelName());
  EXPECT_EQ(Ask(device, test::Continue()), ReplyBytes(0x05, 0x7F, {0x00}));
  EXPECT_FALSE(device.operations()[0].completed);
}

}  // namespace
}  // namespace tamblet::sim
