#include "sim/devsim/devsim_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tamblet::sim {
namespace {

std::variant<DevsimOptions, std::string> Parse(std::vector<std::string_view> args) {
  return ParseDevsimOptions(args);
}

TEST(DevsimOptions, ValuesReachTheDeviceConfig) {
  const auto parsed =
      Parse({"--model", "ABC 1", "--flash-size", "0x20000", "--progress-step", "512", "--delay",
             "7", "--fault", "VerifySum:3:no-reply", "--fault", "GetModelName:1:delay=200",
             "--dump", "/tmp/x.bin", "--name", "QELMAR T1", "--server", "srv", "--quiet"});
  ASSERT_TRUE(std::holds_alternative<DevsimOptions>(parsed)) << std::get<std::string>(parsed);
  const auto& options = std::get<DevsimOptions>(parsed);
  EXPECT_EQ(options.device.model_name, "ABC 1");
  EXPECT_EQ(options.device.flash_size, 0x20000u);
  EXPECT_EQ(options.device.progress_step, 512u);
  EXPECT_EQ(options.device.reply_delay_ms, 7u);
  ASSERT_EQ(options.faults.size(), 2u);
  EXPECT_EQ(FormatFaultRule(options.faults[0]), "VerifySum:3:no-reply");
  EXPECT_EQ(FormatFaultRule(options.faults[1]), "GetModelName:1:delay=200");
  EXPECT_EQ(options.dump_path, "/tmp/x.bin");
  EXPECT_EQ(options.client_name, "QELMAR T1");
  EXPECT_EQ(options.server_name, "srv");
  EXPECT_TRUE(options.quiet);
}

TEST(DevsimOptions, DefaultsAppearAsTheDevice) {
  const auto parsed = Parse({});
  ASSERT_TRUE(std::holds_alternative<DevsimOptions>(parsed));
  EXPECT_EQ(std::get<DevsimOptions>(parsed).client_name, "QELMAR SIM");
  EXPECT_FALSE(std::get<DevsimOptions>(parsed).quiet);
}

TEST(DevsimOptions, BadCommandLinesAreRefused) {
  const std::vector<std::vector<std::string_view>> bad = {
      {"--model"},
      {"--flash-size", "12k"},
      {"--flash-size", "0"},
      {"--flash-size", "99999999999"},
      {"--delay", "-1"},
      {"--progress-step", ""},
      {"--fault", "VerifySum"},
      {"--fault", "NoSuchCommand:1:no-reply"},
      {"--name", ""},
      {"--frobnicate"},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(args.front());
    EXPECT_TRUE(std::holds_alternative<std::string>(Parse(args)));
  }
}

TEST(DevsimOptions, RequestLinesNameTheCommandAndTheAnswer) {
  const std::vector<uint8_t> get_name = {0xF0, 0x43, 0x50, 0x03, 0x00, 0x00, 0x02, 0xF7};
  EXPECT_EQ(DescribeExchange(get_name, {Reply{Reply::Kind::kLongData, {0xF0, 0xF7}, 0}}),
            "GetModelName (8 bytes) -> 2 bytes");
  EXPECT_EQ(DescribeExchange(get_name, {}), "GetModelName (8 bytes) -> no reply");
  EXPECT_EQ(DescribeExchange(get_name, {Reply{Reply::Kind::kLongError, {0xF0, 0xF7}, 30}}),
            "GetModelName (8 bytes) -> 2 bytes broken after 30 ms");
  const std::vector<uint8_t> junk = {0x90, 0x40, 0x7F};
  EXPECT_EQ(DescribeExchange(junk, {}).substr(0, 7), "Unknown");
}

}  // namespace
}  // namespace tamblet::sim
