// Faults hit only the chosen occurrence of the chosen command, and change the
// reply the way they say.

#include <gtest/gtest.h>

#include "sim/device.h"
#include "tests/sim/sim_frames.h"

namespace tamblet::sim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kStep = 0x1000;

DeviceConfig Config() {
  DeviceConfig config;
  config.model_name = "QX-1";
  config.flash_size = 0x10000;
  config.progress_step = kStep;
  return config;
}

// Sends what `command` needs first, then the command; returns the command's replies.
std::vector<Reply> Exercise(Device& device, Command command) {
  auto operation = [&](const Bytes& request) {
    device.OnRequest(test::SetRange(0, 3 * kStep));
    return device.OnRequest(request);
  };
  switch (command) {
    case Command::kGetModelName:
      return device.OnRequest(test::GetModelName());
    case Command::kModeOff:
      return device.OnRequest(test::ModeOff());
    case Command::kSelectDevice:
      return device.OnRequest(test::SelectDevice(3));
    case Command::kSetRange:
      return device.OnRequest(test::SetRange(0x100, 0x200));
    case Command::kCopy:
      return operation(test::Copy());
    case Command::kUninstall:
      return operation(test::Uninstall());
    case Command::kInstall:
      // A range with no room for progress: the final reply comes at once.
      device.OnRequest(test::SetRange(0, kStep));
      return device.OnRequest(test::Install());
    case Command::kContinue:
      operation(test::Copy());
      return device.OnRequest(test::Continue());
    case Command::kVerifySum:
      return device.OnRequest(test::VerifySum(0, 4, 0x03FC));
    case Command::kWriteData:
      return device.OnRequest(test::WriteData(0x20, {0x80, 0x01, 0xFF}));
    case Command::kUnknown:
      break;
  }
  return {};
}

std::string Describe(Command command, const Fault& fault) {
  return FormatFaultRule({command, 2, fault});
}

class EveryFault : public ::testing::TestWithParam<std::tuple<Command, Fault>> {};

TEST_P(EveryFault, HitsOnlyTheChosenOccurrence) {
  const auto [command, fault] = GetParam();
  Device normal(Config());
  Device faulty(Config());
  ASSERT_TRUE(faulty.InjectFault(command, 2, fault));
  std::vector<std::vector<Reply>> expected, got;
  for (int i = 0; i < 3; ++i) {
    expected.push_back(Exercise(normal, command));
    got.push_back(Exercise(faulty, command));
  }
  for (int i : {0, 2}) {
    ASSERT_EQ(got[i].size(), 1u) << "occurrence " << i + 1;
    EXPECT_EQ(got[i][0].bytes, expected[i][0].bytes) << "occurrence " << i + 1;
    EXPECT_EQ(got[i][0].kind, Reply::Kind::kLongData);
    EXPECT_EQ(got[i][0].delay_ms, 0u);
  }
  ASSERT_EQ(expected[1].size(), 1u);
  const Bytes& good = expected[1][0].bytes;
  const auto& replies = got[1];
  EXPECT_EQ(faulty.stats().faults_applied, 1u);
  EXPECT_EQ(faulty.stats().refusals, normal.stats().refusals);

  if (fault.kind == FaultKind::kNoReply) {
    EXPECT_TRUE(replies.empty());
    return;
  }
  ASSERT_EQ(replies.size(), 1u);
  const Reply& reply = replies[0];
  const Bytes& bytes = reply.bytes;
  EXPECT_EQ(reply.kind,
            fault.kind == FaultKind::kLongError ? Reply::Kind::kLongError : Reply::Kind::kLongData);
  switch (fault.kind) {
    case FaultKind::kFailStatus: {
      ASSERT_GE(bytes.size(), 9u);
      EXPECT_EQ(bytes[5], good[5]);
      EXPECT_EQ(bytes[7], 0x00);
      EXPECT_EQ(bytes.back(), 0xF7);
      // A progress reply turns into a failed final reply.
      const bool progress = (good[6] & 0x60) == 0x20;
      EXPECT_EQ(bytes[6], progress ? (good[6] & ~0x20) | 0x40 : good[6]);
      break;
    }
    case FaultKind::kWrongCommand: {
      EXPECT_NE(bytes[5], good[5]);
      Bytes rest = bytes;
      rest[5] = good[5];
      EXPECT_EQ(rest, good);
      break;
    }
    case FaultKind::kOversize: {
      ASSERT_EQ(bytes.size(), 600u);
      EXPECT_TRUE(std::equal(good.begin(), good.end() - 1, bytes.begin()));
      EXPECT_EQ(bytes.back(), 0xF7);
      EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0xF7), 1);
      break;
    }
    case FaultKind::kNoEnd:
      EXPECT_EQ(bytes, Bytes(good.begin(), good.end() - 1));
      break;
    case FaultKind::kDelay:
      EXPECT_EQ(bytes, good);
      EXPECT_EQ(reply.delay_ms, fault.value);
      break;
    case FaultKind::kLate:
      EXPECT_EQ(bytes, good);
      EXPECT_GT(reply.delay_ms, 5000u);
      break;
    default:
      EXPECT_EQ(bytes, good);
      break;
  }
}

const Command kAllCommands[] = {
    Command::kGetModelName, Command::kModeOff,   Command::kSelectDevice, Command::kSetRange,
    Command::kCopy,         Command::kUninstall, Command::kInstall,      Command::kContinue,
    Command::kVerifySum,    Command::kWriteData,
};

INSTANTIATE_TEST_SUITE_P(
    Faults, EveryFault,
    ::testing::Combine(::testing::ValuesIn(kAllCommands),
                       ::testing::Values(Fault{FaultKind::kNoReply}, Fault{FaultKind::kFailStatus},
                                         Fault{FaultKind::kWrongCommand},
                                         Fault{FaultKind::kLongError}, Fault{FaultKind::kOversize},
                                         Fault{FaultKind::kNoEnd}, Fault{FaultKind::kDelay, 200},
                                         Fault{FaultKind::kLate})),
    [](const auto& info) {
      std::string name = Describe(std::get<0>(info.param), std::get<1>(info.param));
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

TEST(Faults, LongNameOnlyForGetModelName) {
  Device device(Config());
  EXPECT_FALSE(device.InjectFault(Command::kModeOff, 1, {FaultKind::kLongName}));
  EXPECT_FALSE(device.InjectFault(Command::kGetModelName, 0, {FaultKind::kNoReply}));
  EXPECT_FALSE(device.InjectFault(Command::kUnknown, 1, {FaultKind::kNoReply}));
  ASSERT_TRUE(device.InjectFault(Command::kGetModelName, 1, {FaultKind::kLongName}));
  ASSERT_TRUE(device.InjectFault(Command::kGetModelName, 2, {FaultKind::kLongName, 16}));
  EXPECT_EQ(device.OnRequest(test::GetModelName())[0].bytes,
            test::ReplyBytes(0x00, 0x42, test::Ascii("QX-1XXXXXXXXXXXXXXXX")));
  EXPECT_EQ(device.OnRequest(test::GetModelName())[0].bytes,
            test::ReplyBytes(0x00, 0x42, test::Ascii("QX-1XXXXXXXXXXXX")));
  EXPECT_EQ(device.OnRequest(test::GetModelName())[0].bytes,
            test::ReplyBytes(0x00, 0x42, test::Ascii("QX-1")));
}

TEST(Faults, FailStatusGivesEmptyNameAStatusByte) {
  DeviceConfig config = Config();
  config.model_name = "";
  Device device(config);
  device.InjectFault(Command::kGetModelName, 1, {FaultKind::kFailStatus});
  EXPECT_EQ(device.OnRequest(test::GetModelName())[0].bytes, test::ReplyBytes(0x00, 0x42, {0x00}));
}

TEST(Faults, LostWriteDataReplyStillWrites) {
  Device device(Config());
  device.InjectFault(Command::kWriteData, 1, {FaultKind::kNoReply});
  EXPECT_TRUE(device.OnRequest(test::WriteData(0x10, {0x80, 0x01, 0xFF})).empty());
  EXPECT_EQ(device.FlashRange(0x10, 3), (Bytes{0x80, 0x01, 0xFF}));
  EXPECT_EQ(device.stats().bytes_written, 3u);
}

TEST(Faults, LostProgressReplyLeavesTheOperationRunning) {
  Device device(Config());
  device.InjectFault(Command::kContinue, 1, {FaultKind::kNoReply});
  device.OnRequest(test::SetRange(0, 3 * kStep));
  device.OnRequest(test::Copy());
  EXPECT_TRUE(device.OnRequest(test::Continue()).empty());
  // The lost one reported 0x2000; the device goes on from there.
  EXPECT_EQ(device.OnRequest(test::Continue())[0].bytes, test::ReplyBytes(0x02, 0x41, {0x01}));
}

TEST(Faults, FailedProgressEndsTheOperation) {
  Device device(Config());
  device.InjectFault(Command::kCopy, 1, {FaultKind::kFailStatus});
  device.OnRequest(test::SetRange(0, 3 * kStep));
  EXPECT_EQ(device.OnRequest(test::Copy())[0].bytes, test::ReplyBytes(0x02, 0x41, {0x00}));
  EXPECT_FALSE(device.operations()[0].completed);
  EXPECT_EQ(device.OnRequest(test::Continue())[0].bytes, test::ReplyBytes(0x05, 0x7F, {0x00}));
}

TEST(Faults, ConfiguredDelayAppliesToEveryReplyUnlessAFaultSetsOne) {
  DeviceConfig config = Config();
  config.reply_delay_ms = 30;
  Device device(config);
  device.InjectFault(Command::kModeOff, 2, {FaultKind::kLate});
  EXPECT_EQ(device.OnRequest(test::ModeOff())[0].delay_ms, 30u);
  EXPECT_EQ(device.OnRequest(test::ModeOff())[0].delay_ms, kLateDelayMs);
  EXPECT_EQ(device.OnRequest(test::GetModelName())[0].delay_ms, 30u);
}

TEST(FaultRule, Parses) {
  struct Case {
    const char* text;
    Command command;
    int occurrence;
    FaultKind kind;
    uint32_t value;
  } cases[] = {
      {"VerifySum:3:no-reply", Command::kVerifySum, 3, FaultKind::kNoReply, 0},
      {"GetModelName:1:delay=200", Command::kGetModelName, 1, FaultKind::kDelay, 200},
      {"GetModelName:1:long-name", Command::kGetModelName, 1, FaultKind::kLongName, 0},
      {"GetModelName:2:long-name=32", Command::kGetModelName, 2, FaultKind::kLongName, 32},
      {"Continue:12:wrong-command", Command::kContinue, 12, FaultKind::kWrongCommand, 0},
      {"SelectDevice:1:fail-status", Command::kSelectDevice, 1, FaultKind::kFailStatus, 0},
      {"WriteData:5:long-error", Command::kWriteData, 5, FaultKind::kLongError, 0},
      {"ModeOff:1:oversize", Command::kModeOff, 1, FaultKind::kOversize, 0},
      {"ModeOff:1:oversize=1000", Command::kModeOff, 1, FaultKind::kOversize, 1000},
      {"Install:1:no-end", Command::kInstall, 1, FaultKind::kNoEnd, 0},
      {"SetRange:2:late", Command::kSetRange, 2, FaultKind::kLate, 0},
  };
  for (const Case& c : cases) {
    auto rule = ParseFaultRule(c.text);
    ASSERT_TRUE(rule) << c.text;
    EXPECT_EQ(rule->command, c.command) << c.text;
    EXPECT_EQ(rule->occurrence, c.occurrence) << c.text;
    EXPECT_EQ(rule->fault.kind, c.kind) << c.text;
    EXPECT_EQ(rule->fault.value, c.value) << c.text;
    EXPECT_EQ(FormatFaultRule(*rule), c.text);
  }
}

TEST(FaultRule, RejectsMalformedText) {
  for (const char* text :
       {"", "VerifySum", "VerifySum:3", "VerifySum:0:no-reply", "VerifySum:-1:no-reply",
        "VerifySum:x:no-reply", "verifysum:3:no-reply", "VerifySum:3:noreply",
        "VerifySum:3:no-reply=1", "VerifySum:3:delay",
        "VerifySum:3:delay=", "VerifySum:3:delay=12ms", "ModeOff:1:long-name", "Unknown:1:no-reply",
        "VerifySum:99999999999:no-reply", "VerifySum:3:no-reply:extra"}) {
    EXPECT_FALSE(ParseFaultRule(text)) << text;
  }
}

}  // namespace
}  // namespace tamblet::sim
