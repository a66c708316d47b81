// tamblet-devsim's command line: what reaches the device, and what is refused.

#include <gtest/gtest.h>

#include <ranges>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sim/devsim/devsim_options.h"

namespace tamblet {
namespace {

// One command line, its words split at commas.
std::variant<sim::DevsimOptions, std::string> Parse(std::string_view line) {
  std::vector<std::string_view> args;
  for (const auto word : std::views::split(line, ',')) args.emplace_back(word.begin(), word.end());
  return sim::ParseDevsimOptions(args);
}

// --model, --flash-size, --fault, --dump, --quiet and the default name are used end to end.
TEST(DevsimOptions, ValuesReachTheDevice) {
  const auto parsed = Parse(
      "--progress-step,512,--delay=7,--fault,GetModelName:1:delay=200,--fault=VerifySum:2:late,"
      "--name,QELMAR T1,--server,s,--raw,/dev/snd/midiC1D0");
  ASSERT_TRUE(std::holds_alternative<sim::DevsimOptions>(parsed)) << std::get<std::string>(parsed);
  const auto& options = std::get<sim::DevsimOptions>(parsed);
  EXPECT_EQ(options.device.progress_step, 512u);
  EXPECT_EQ(options.device.reply_delay_ms, 7u);
  ASSERT_EQ(options.faults.size(), 2u);
  EXPECT_EQ(sim::FormatFaultRule(options.faults[0]), "GetModelName:1:delay=200");
  EXPECT_EQ(sim::FormatFaultRule(options.faults[1]), "VerifySum:2:late");
  EXPECT_EQ(options.client_name, "QELMAR T1");
  EXPECT_EQ(options.server_name, "s");
  EXPECT_EQ(options.raw_path, "/dev/snd/midiC1D0");
}

TEST(DevsimOptions, BadCommandLinesAreRefused) {
  for (const char* line :
       {"--model", "--flash-size,12k", "--flash-size,0", "--flash-size,99999999999", "--delay,-1",
        "--progress-step,", "--fault,VerifySum", "--fault,NoSuchCommand:1:no-reply", "--name,",
        "--raw,", "--frobnicate", "--model,A,--model=B", "stray"}) {
    EXPECT_TRUE(std::holds_alternative<std::string>(Parse(line))) << line;
  }
}

}  // namespace
}  // namespace tamblet
