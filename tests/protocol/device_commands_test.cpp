#include "protocol/device_commands.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <tuple>

#include "protocol/frame.h"
#include "tests/support/failing_new.h"
#include "tests/support/recording_window.h"
#include "tests/support/simulated_instrument.h"

// The commands allocate their buffers with nothrow new[]; the port made its
// own when it was built.

namespace tamblet {
namespace {

using namespace std::string_literals;
using Bytes = std::vector<uint8_t>;
using Answer = std::vector<sim::Reply>;  // what the device sends back to one request
using Command = std::function<int32_t(DeviceCommands&)>;

Bytes Frame(Bytes body, const std::string& digits = "") {
  body.insert(body.begin(), {0xF0, 0x43, 0x50, 0x03, 0x00});
  body.insert(body.end(), digits.begin(), digits.end());
  body.push_back(0xF7);
  return body;
}
Answer Reply(Bytes body, const std::string& digits = "") {
  return {{sim::Reply::Kind::kLongData, Frame(body, digits)}};
}
Answer Error(Bytes bytes = {}) { return {{sim::Reply::Kind::kLongError, bytes}}; }
// A progress reply of a Copy (command 2) or an Install (command 4).
Answer Progress(uint8_t command, uint32_t address) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", address);
  return Reply({command, 0x21}, digits);
}
const Answer kNone;

char name[kModelNameSize];  // GetModelName's buffer where its contents do not matter
const Command kGetModelName = [](auto& c) { return c.GetModelName(name); };
const Command kSelectDevice = [](auto& c) { return c.SelectDevice(0xFE); };
const Command kVerifySum = [](auto& c) { return c.VerifySum(0x89ABCDEF, 0x12000, 0x1234); };
const Command kModeOff = [](auto& c) { return c.ModeOff(); };

// The device: answers each request with the next answer of the script. The
// driver's lock and the port's reply hand-over order its thread's accesses
// against the test's.
struct ScriptedPeer : midi::Peer {
  std::vector<sim::Reply> OnRequest(std::span<const uint8_t> request) override {
    sent.emplace_back(request.begin(), request.end());
    if (script.empty()) return {};
    const Answer answer = script.front();
    script.pop_front();
    return answer;
  }
  std::deque<Answer> script;
  std::vector<Bytes> sent;
};

class DeviceCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(port.Open(driver.out, driver.in)); }
  void TearDown() override { test::allocations_until_failure = -1; }
  // The answers to the next requests; forgets what was sent and shown so far.
  void Script(const std::vector<Answer>& answers) {
    peer.script.assign(answers.begin(), answers.end());
    peer.sent.clear();
    display.ClearTrace();
  }
  const std::vector<Bytes>& Sent() const { return peer.sent; }

  ScriptedPeer peer;
  test::InstrumentDriver driver{peer};  // outlives the port
  CSysExPort port{driver.midi, driver.waits};
  test::RecordingWindow display;  // its trace: see recording_window.h
  DeviceCommands commands{port, display};
};

TEST_F(DeviceCommandsTest, SingleExchangeCommandsJudgeTheirReplies) {
  // Each command, its request, its acknowledgement (after the head), and its
  // result when the status byte is 2 (the name and ModeOff do not examine it).
  const std::tuple<const char*, Command, Bytes, Bytes, int32_t> kinds[] = {
      {"name", kGetModelName, Frame({0, 0x02}), {0, 0x42, 'A'}, 0},
      {"select", kSelectDevice, Frame({1, 1, 0xFE}), {1, 0x41, 1}, 1},
      {"verify", kVerifySum, Frame({4, 2}, "89ABCDEF000120001234"), {4, 0x42, 1}, 1},
      {"mode off", kModeOff, Frame({0, 1}), {0, 0x41, 1}, 0},
  };
  for (const auto& [kind, run, request, ack, checks] : kinds) {
    Bytes wrong = ack, bare = ack, status = ack;
    wrong[0] ^= 0x01;
    bare[1] &= 0xBF;
    status[2] = 2;
    const std::pair<Answer, int32_t> cases[] = {
        {Reply(ack), 0},  {kNone, 1},        {Error(Frame(ack)), 1},
        {Reply(bare), 1}, {Reply(wrong), 1}, {Reply(status), checks},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
      SCOPED_TRACE(kind + " case "s + std::to_string(i));
      Script({cases[i].first});
      EXPECT_EQ(run(commands), cases[i].second);
      EXPECT_EQ(Sent(), std::vector<Bytes>{request});
      EXPECT_EQ(display.Trace(), "");
    }
  }
}

TEST_F(DeviceCommandsTest, GetModelNameStoresWhatFitsTheBuffer) {
  const std::string sixteen = "ABCDEFGHIJKLMNOP", fifteen = sixteen.substr(0, 15);
  const std::string slot_end(kReplySlotSize - 8, 'N');
  // The name in the reply, the result, and what the buffer then holds ('#': untouched).
  const std::tuple<const char*, std::string, int32_t, std::string> cases[] = {
      {"first F7 ends, bytes not examined", "\200\377A\367B", 0, "\200\377A\0############"s},
      {"fifteen and NUL", fifteen, 0, fifteen + '\0'},
      {"sixteen, no NUL", sixteen, 0, sixteen},
      {"cut to sixteen, F7 at the slot's end", slot_end, 0, std::string(16, 'N')},
      {"F7 just past the slot", slot_end + 'N', 1, std::string(16, '#')},
  };
  for (const auto& [trace, reported, result, stored] : cases) {
    SCOPED_TRACE(trace);
    char buffer[kModelNameSize];
    std::memset(buffer, '#', sizeof buffer);
    Script({Reply({0x00, 0x42}, reported)});
    EXPECT_EQ(commands.GetModelName(buffer), result);
    EXPECT_EQ(std::string(buffer, kModelNameSize), stored);
  }
}

// Progress, and a long error or no reply to the operation or a Continue, are
// judged in tests/app/load_test.cpp's full runs and fault table.
TEST_F(DeviceCommandsTest, RunOperationJudgesEveryReply) {
  const Answer ack = Reply({0x01, 0x42, 0x01}), busy = Progress(4, 0);
  // Operation code, answers, result, frames sent (SetRange, the operation, then Continues).
  const std::tuple<const char*, uint16_t, std::vector<Answer>, int32_t, size_t> cases[] = {
      {"final status 0", kOpInstall, {ack, Reply({4, 0x41, 0})}, 1, 2},
      {"flag of another operation", kOpInstall, {ack, Reply({4, 0x40, 1})}, 1, 2},
      {"Continue answered by 05", kOpInstall, {ack, busy, Reply({5, 0x41, 1})}, 1, 3},
      {"no reply to Continue", kOpInstall, {ack, busy, kNone}, 1, 3},
      // Both flags in the sub-command: the final test comes first, no Continue.
      {"final before progress", 0x0460, {ack, Reply({4, 0x60, 1})}, 0, 2},
      {"SetRange no reply", kOpInstall, {kNone}, 1, 1},
  };
  for (const auto& [trace, code, answers, result, sent] : cases) {
    SCOPED_TRACE(trace);
    Script(answers);
    EXPECT_EQ(commands.RunOperation(code, 0, 0x4000, 0x1000), result);
    EXPECT_EQ(Sent().size(), sent);
    EXPECT_EQ(display.Trace().find('['), std::string::npos);  // no text
  }
}

TEST_F(DeviceCommandsTest, RunOperationProgressPositions) {
  // Start, count, chunk size, the progress replies' addresses, the progress bar.
  const std::tuple<uint32_t, uint32_t, uint32_t, std::vector<uint32_t>, std::string> cases[] = {
      {0x10000, 0x8000, 0x1000, {0x10000, 0x11000, 0x13FFF}, " R8 P0 P0 P1 P3"},
      {0, 0x7FFFF000, 0x1000, {}, " R65535 P0"},          // range keeps 16 bits
      {0x10000, 0x1000, 0x1000, {0}, " R1 P0 P1048560"},  // wraps
      // Counts from 2^31 on stay unsigned: no negative range or position.
      {0, 0xFFFFF000, 0x10000, {0xFFFF0000}, " R65535 P0 P65535"},
      {0, 0x80000000, 0x8000, {}, " R0 P0"},
  };
  for (const auto& [start, count, chunk_size, addresses, progress] : cases) {
    SCOPED_TRACE(count);
    std::vector<Answer> answers = {Reply({0x01, 0x42, 0x01})};
    for (uint32_t a : addresses) answers.push_back(Progress(2, a));
    answers.push_back(Reply({0x02, 0x41, 0x01}));
    Script(answers);
    EXPECT_EQ(commands.RunOperation(kOpCopy, start, count, chunk_size), 0);
    EXPECT_EQ(display.Trace(), progress);
    ASSERT_EQ(Sent().size(), 2 + addresses.size());
    EXPECT_EQ(ParseHex(Sent()[0].data() + 15, 8), count);
  }
  // A chunk size of 0 is refused before anything is shown or sent.
  Script({});
  EXPECT_EQ(commands.RunOperation(kOpCopy, 0, 0x1000, 0), 1);
  EXPECT_TRUE(Sent().empty() && display.Trace().empty());
}

// Whole and short last frames, their bytes, and a long error or no reply after
// acknowledgements are checked by tests/app/load_test.cpp through the device.
TEST_F(DeviceCommandsTest, WriteChunkStopsAtTheFirstRefusal) {
  const Bytes image(4 * 2048);
  const Answer ack = Reply({0x03, 0x40, 0x01});
  // Count, answers, result, frames sent.
  const std::tuple<const char*, uint32_t, std::vector<Answer>, int32_t, uint32_t> cases[] = {
      {"nothing to send", 0, {}, 0, 0},
      {"second refused", 8192, {ack, Reply({3, 0x40, 0})}, 1, 2},
      {"first wrong flag", 8192, {Reply({3, 0x20, 1})}, 1, 1},
      {"count above 2^31 is not negative", 0x80000800u, {Reply({3, 0x40, 0})}, 1, 1},
  };
  for (const auto& [trace, count, answers, result, frames] : cases) {
    SCOPED_TRACE(trace);
    Script(answers);
    EXPECT_EQ(commands.WriteChunk(0x00FFF800, image.data(), count), result);
    EXPECT_EQ(Sent().size(), frames);
    // One step per acknowledged frame.
    const std::string range = std::to_string(count / 2048 % 65536);  // it keeps 16 bits
    std::string steps;
    for (uint32_t k = result; k < frames; ++k) steps += " D";
    EXPECT_EQ(display.Trace(), " R" + range + " P0" + steps);
  }
}

TEST_F(DeviceCommandsTest, FailedAllocationShowsTextAndSendsNothing) {
  const Bytes image(16, 0);
  const Command runs[] = {
      kGetModelName,
      kSelectDevice,
      kVerifySum,
      kModeOff,
      [](auto& c) { return c.RunOperation(kOpCopy, 0, 0x1000, 0x100); },
      [&](auto& c) { return c.WriteChunk(0, image.data(), 16); },
  };
  for (int which = 0; which < 2; ++which) {  // the request buffer, then the reply slot
    for (size_t i = 0; i < std::size(runs); ++i) {
      SCOPED_TRACE("command " + std::to_string(i) + (which == 0 ? " request" : " slot"));
      Script({});
      test::allocations_until_failure = which;
      EXPECT_EQ(runs[i](commands), 1);
      test::allocations_until_failure = -1;
      EXPECT_EQ(display.Trace(), "[" + std::string(kOutOfMemoryText) + "]");
      EXPECT_TRUE(Sent().empty());
    }
  }
}

}  // namespace
}  // namespace tamblet
