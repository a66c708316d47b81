// The simulated device's own strictness and its faults. The device in a whole
// update run, every fault kind included, is tested through the real program in
// tests/app/load_test.cpp.

#include "sim/device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>

#include "protocol/frame.h"

namespace tamblet::sim {
namespace {

using namespace std::string_view_literals;
using Bytes = std::vector<uint8_t>;

// A message in the frame layout, written by hand rather than by the program's
// encoders: F0 43 50 03 00 cmd sub data F7.
Bytes Msg(uint8_t cmd, uint8_t sub, std::string_view data = {}) {
  Bytes bytes(data.size() + 8);
  const uint8_t head[] = {0xF0, 0x43, 0x50, 0x03, 0x00, cmd, sub};
  std::copy(std::begin(head), std::end(head), bytes.begin());
  std::copy(data.begin(), data.end(), bytes.begin() + 7);
  bytes.back() = 0xF7;
  return bytes;
}

Bytes Set(Bytes bytes, size_t offset, uint8_t value) {
  bytes[offset] = value;
  return bytes;
}

// Sets the WriteData checksum so that it holds again after an edit.
Bytes Resum(Bytes bytes) {
  unsigned sum = 0;
  for (size_t i = 7; i + 2 < bytes.size(); ++i) sum += bytes[i];
  bytes[bytes.size() - 2] = static_cast<uint8_t>((128 - sum % 128) % 128);
  return bytes;
}

DeviceConfig Config() {
  DeviceConfig config;
  config.model_name = "QX-1";
  config.flash_size = 0x10000;
  return config;
}

Bytes Ask(Device& device, const Bytes& request) {
  const auto replies = device.OnRequest(request);
  if (replies.size() != 1) return {};
  EXPECT_EQ(replies[0].kind, Reply::Kind::kLongData);
  EXPECT_EQ(replies[0].delay_ms, 0u);  // a delay rule must not outlive its occurrence
  return replies[0].bytes;
}

// The worked example: 80 01 FF at 0x1000, checksum 0x6C.
const Bytes kWrite = Msg(0x03, 0x00, "000300001000\x50\x00\x01\x7F\x6C"sv);

TEST(Device, WriteDataLandsInFlashAndVerifySumReadsIt) {
  Device device(Config());
  EXPECT_EQ(Ask(device, kWrite), Msg(0x03, 0x40, "\x01"sv));
  EXPECT_EQ(device.FlashRange(0x0FFF, 5), (Bytes{0xFF, 0x80, 0x01, 0xFF, 0xFF}));
  EXPECT_EQ(Ask(device, Msg(0x04, 0x02, "00001000000000030180")), Msg(0x04, 0x42, "\x01"sv));
  EXPECT_EQ(Ask(device, Msg(0x04, 0x02, "00001000000000030181")), Msg(0x04, 0x42, "\0"sv));
  // 0x1000 erased bytes sum to 0xFF000: only the low 16 bits count.
  EXPECT_EQ(Ask(device, Msg(0x04, 0x02, "0000200000001000F000")), Msg(0x04, 0x42, "\x01"sv));
}

TEST(Device, RefusesBrokenRequestsAndWritesNothing) {
  Bytes too_long(kMaxWriteDataFrame + 16);
  const Bytes data(2049, 0x11);
  too_long.resize(BuildWriteData(too_long.data(), 0, data.data(), 2049));
  // Each is refused with its acknowledgement's status byte 0.
  const std::pair<const char*, Bytes> cases[] = {
      {"checksum off by one", Set(kWrite, 23, 0x6D)},
      {"lowercase hex address", Resum(Set(kWrite, 18, 'a'))},
      {"no F7", Bytes(kWrite.begin(), kWrite.end() - 1)},
      {"data byte 0x81", Resum(Set(kWrite, 21, 0x81))},
      {"length field past the data", Resum(Set(kWrite, 10, '4'))},
      {"unused lead bits set", Resum(Set(kWrite, 19, 0x51))},
      {"address past the flash", Resum(Set(kWrite, 14, '1'))},
      {"2049 bytes in one frame", too_long},
      {"wrong manufacturer", Set(kWrite, 1, 0x44)},
      {"SetRange past the flash", Msg(0x01, 0x02, "0000F00000001001")},
      {"SelectDevice 0x80", Msg(0x01, 0x01, "\x80")},
      {"ModeOff without F7", Bytes{0xF0, 0x43, 0x50, 0x03, 0x00, 0x00, 0x01}},
      {"GetModelName with data", Msg(0x00, 0x02, "\0"sv)},
      {"Install with no range", Msg(0x04, 0x01)},
      {"Continue with nothing running", Msg(0x05, 0x7F)},
  };
  for (const auto& [why, request] : cases) {
    SCOPED_TRACE(why);
    Device device(Config());
    EXPECT_EQ(Ask(device, request), Msg(request[5], request[6] | 0x40, "\0"sv));
    EXPECT_EQ(device.stats().refusals, 1u);
    EXPECT_EQ(device.flash(), Bytes(0x10000, 0xFF));
    EXPECT_FALSE(device.selected_target());
  }
  // No request of ours: ignored, not refused.
  Device device(Config());
  EXPECT_TRUE(device.OnRequest(Msg(0x06, 0x00)).empty());
  EXPECT_TRUE(device.OnRequest(Bytes{0x90, 0x40, 0x7F}).empty());
  EXPECT_EQ(device.stats().refusals, 0u);
}

// Each rule hits the second request only; the first and third are answered normally.
TEST(Faults, ChangeOnlyTheChosenReply) {
  const Bytes ok = Msg(0x00, 0x41, "\x01"sv);
  const auto kLong = Reply::Kind::kLongData;
  // The rule, then the faulty reply's kind, bytes (none: no reply at all) and delay.
  const std::tuple<const char*, Reply::Kind, Bytes, uint32_t> cases[] = {
      {"ModeOff:2:no-reply", kLong, {}, 0},
      {"ModeOff:2:fail-status", kLong, Msg(0x00, 0x41, "\0"sv), 0},
      {"ModeOff:2:wrong-command", kLong, Msg(0x01, 0x41, "\x01"sv), 0},
      {"ModeOff:2:long-error", Reply::Kind::kLongError, ok, 0},
      {"ModeOff:2:oversize", kLong, Msg(0x00, 0x41, "\x01" + std::string(591, '.')), 0},
      {"ModeOff:2:no-end", kLong, Bytes(ok.begin(), ok.end() - 1), 0},
      {"ModeOff:2:delay=200", kLong, ok, 200},
      {"ModeOff:2:late", kLong, ok, kLateDelayMs},
      {"GetModelName:2:long-name", kLong, Msg(0x00, 0x42, "QX-1XXXXXXXXXXXXXXXX"), 0},
      {"ModeOff:2:oversize=8192", kLong, Msg(0x00, 0x41, "\x01" + std::string(8183, '.')), 0},
  };
  for (const auto& [text, kind, bytes, delay_ms] : cases) {
    SCOPED_TRACE(text);
    const auto rule = ParseFaultRule(text);
    ASSERT_TRUE(rule);
    EXPECT_EQ(FormatFaultRule(*rule), text);
    Device device(Config());
    ASSERT_TRUE(device.InjectFault(*rule));
    const Bytes request = Msg(CommandByte(rule->command), SubCommandByte(rule->command));
    const Bytes normal = Ask(device, request);
    ASSERT_FALSE(normal.empty());
    const auto replies = device.OnRequest(request);
    EXPECT_EQ(Ask(device, request), normal);
    ASSERT_EQ(replies.size(), bytes.empty() ? 0u : 1u);
    if (replies.empty()) continue;
    EXPECT_EQ(replies[0].kind, kind);
    EXPECT_EQ(replies[0].bytes, bytes);
    EXPECT_EQ(replies[0].delay_ms, delay_ms);
  }
}

TEST(Faults, RulesThatDoNotParse) {
  for (const char* text :
       {"", "VerifySum:3", "VerifySum:0:no-reply", "VerifySum:x:no-reply", "verifysum:3:no-reply",
        "VerifySum:3:no-reply=1", "VerifySum:3:delay", "VerifySum:3:delay=12ms",
        "ModeOff:1:long-name", "VerifySum:99999999999:no-reply", "VerifySum:3:no-reply:extra",
        "ModeOff:1:oversize=8193", "GetModelName:1:long-name=4000000000"}) {
    EXPECT_FALSE(ParseFaultRule(text)) << text;
  }
}

// A driver thread feeds the device while the test thread reads what it keeps.
TEST(DeviceThreads, AccessorsWhileRequestsArrive) {
  Device device(Config());
  std::atomic<bool> done{false};
  std::thread driver([&] {
    Bytes data(64), frame(kMaxWriteDataFrame);
    for (uint32_t i = 0; i < 200; ++i) {
      std::fill(data.begin(), data.end(), static_cast<uint8_t>(i));
      const int32_t length = BuildWriteData(frame.data(), i * 64, data.data(), 64);
      device.OnRequest(std::span(frame.data(), static_cast<size_t>(length)));
    }
    done = true;
  });
  for (uint64_t last = 0, written; !done; last = written) {
    written = device.stats().bytes_written;
    EXPECT_GE(written, last);
    EXPECT_EQ(device.flash().size(), 0x10000u);
    EXPECT_LE(device.log().size(), 200u);
  }
  driver.join();
  EXPECT_EQ(device.stats().bytes_written, 200 * 64u);
  EXPECT_EQ(device.FlashRange(199 * 64, 64), Bytes(64, 199));
}

}  // namespace
}  // namespace tamblet::sim
