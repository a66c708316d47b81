#include "protocol/device_commands.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <new>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "protocol/frame.h"
#include "sim/simulated_midi.h"
#include "tests/support/recording_window.h"
#include "tests/support/settled_waits.h"

// Lets a test make the next nothrow new[] fail. The commands allocate their
// buffers with it; the port made its own when it was built.
namespace {
std::atomic<int> allocations_until_failure{-1};  // negative: never fail
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (allocations_until_failure.fetch_sub(1) == 0) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

namespace tamblet {
namespace {

using namespace std::string_literals;
using Bytes = std::vector<uint8_t>;
using Answer = std::vector<sim::Reply>;  // what the device sends back to one request
using Ops = std::vector<test::ProgressOp>;
using Command = std::function<int32_t(DeviceCommands&)>;

Bytes Frame(Bytes body, const std::string& digits = "") {
  body.insert(body.begin(), {0xF0, 0x43, 0x50, 0x03, 0x00});
  body.insert(body.end(), digits.begin(), digits.end());
  body.push_back(0xF7);
  return body;
}
Answer Long(Bytes bytes) { return {{sim::Reply::Kind::kLongData, bytes}}; }
Answer Reply(Bytes body) { return Long(Frame(body)); }
Answer Error(Bytes bytes = {}) { return {{sim::Reply::Kind::kLongError, bytes}}; }
Answer Name(const std::string& name) { return Long(Frame({0x00, 0x42}, name)); }
Answer Progress(uint8_t command, uint8_t sub_command, uint32_t address) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", address);
  return Long(Frame({command, sub_command}, digits));
}
const Answer kNone, kShort = {{sim::Reply::Kind::kShortData, {0x90, 0x40, 0x7F}}};

test::ProgressOp SetRange(uint32_t max) { return {PBM_SETRANGE, 0, MakeRange(0, max)}; }
test::ProgressOp SetPos(uint32_t pos) { return {PBM_SETPOS, pos, 0}; }
const test::ProgressOp kStep = {PBM_DELTAPOS, 1, 0};

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

struct RecordingDisplay : Display {
  void SetStatusText(const char* text) override { texts.emplace_back(text); }
  void SendProgressMessage(uint32_t msg, uint32_t wparam, uint32_t lparam) override {
    progress.push_back({msg, wparam, lparam});
  }
  std::vector<std::string> texts;
  Ops progress;
};

class DeviceCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const uint32_t out = driver.AddOutPort(midi::MakeCaps(37, 4, "QELMAR OUT 1"));
    const uint32_t in = driver.AddInPort(midi::MakeCaps(37, 5, "QELMAR IN 1"));
    driver.Connect(&peer, out, in);
    ASSERT_TRUE(port.Open(out, in));
  }
  void TearDown() override { allocations_until_failure = -1; }
  // The answers to the next requests; forgets what was sent and shown so far.
  void Script(const std::vector<Answer>& answers) {
    peer.script.assign(answers.begin(), answers.end());
    peer.sent.clear();
    display.texts.clear();
    display.progress.clear();
  }
  const std::vector<Bytes>& Sent() const { return peer.sent; }

  ScriptedPeer peer;
  midi::SimulatedMidi driver;  // outlives the port
  test::SettledWaits waits{[this] { driver.Drain(); }};
  CSysExPort port{driver, waits};
  RecordingDisplay display;
  DeviceCommands commands{port, display};
};

TEST_F(DeviceCommandsTest, SingleExchangeCommandsJudgeTheirReplies) {
  char name[kModelNameSize];
  const Command get_name = [&](auto& c) { return c.GetModelName(name); };
  const Command select_device = [](auto& c) { return c.SelectDevice(0xFE); };
  const Command verify = [](auto& c) { return c.VerifySum(0x89ABCDEF, 0x12000, 0x1234); };
  const Command mode_off = [](auto& c) { return c.ModeOff(); };
  // Each command, its request and its acknowledgement (after the head).
  const std::tuple<const char*, Command, Bytes, Bytes> kinds[] = {
      {"name", get_name, Frame({0, 0x02}), {0, 0x42, 'A'}},
      {"select", select_device, Frame({1, 1, 0xFE}), {1, 0x41, 1}},
      {"verify", verify, Frame({4, 2}, "89ABCDEF000120001234"), {4, 0x42, 1}},
      {"mode off", mode_off, Frame({0, 1}), {0, 0x41, 1}},
  };
  for (const auto& [kind, run, request, ack] : kinds) {
    Bytes wrong_command = ack, no_flag = ack;
    wrong_command[0] ^= 0x01;
    no_flag[1] &= 0xBF;
    const std::pair<Answer, int32_t> cases[] = {
        {Reply(ack), 0},           {kNone, 1},          {Error(Frame(ack)), 1}, {kShort, 1},
        {Reply(wrong_command), 1}, {Reply(no_flag), 1},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
      SCOPED_TRACE(kind + " case "s + std::to_string(i));
      Script({cases[i].first});
      EXPECT_EQ(run(commands), cases[i].second);
      EXPECT_EQ(Sent(), std::vector<Bytes>{request});
      EXPECT_EQ(waits.waits().back(), kReplyTimeoutMs);
      EXPECT_TRUE(display.texts.empty() && display.progress.empty());
    }
  }
  // The status byte: must be 01 for SelectDevice and VerifySum, is not examined by ModeOff.
  const std::tuple<Command, Bytes, int32_t> statuses[] = {
      {select_device, {1, 0x41, 0}, 1}, {select_device, {1, 0x41, 2}, 1}, {verify, {4, 0x42, 0}, 1},
      {mode_off, {0, 0x41, 0}, 0},      {mode_off, {0, 0x41}, 0},
  };
  for (const auto& [run, reply, result] : statuses) {
    Script({Reply(reply)});
    EXPECT_EQ(run(commands), result) << ::testing::PrintToString(reply);
  }
}

TEST_F(DeviceCommandsTest, GetModelNameStoresWhatFitsTheBuffer) {
  const std::string sixteen = "ABCDEFGHIJKLMNOP", fifteen = sixteen.substr(0, 15);
  // The reply, the result, and what the buffer holds before its '#' fill.
  const std::tuple<const char*, Answer, int32_t, std::string> cases[] = {
      {"first F7 ends, bytes not examined", Name("\200\377A\367B"), 0, "\200\377A\0"s},
      {"fifteen and NUL", Name(fifteen), 0, fifteen + '\0'},
      {"sixteen, no NUL", Name(sixteen), 0, sixteen},
      {"twenty cut to sixteen", Name(sixteen + "QRST"), 0, sixteen},
      {"F7 at the slot's end", Name(std::string(kReplySlotSize - 8, 'N')), 0, std::string(16, 'N')},
      {"F7 just past the slot", Name(std::string(kReplySlotSize - 7, 'N')), 1, ""},
      {"long error with a name", Error(Frame({0x00, 0x42, 'A'})), 1, ""},
  };
  for (const auto& [trace, answer, result, stored] : cases) {
    SCOPED_TRACE(trace);
    char name[kModelNameSize];
    std::memset(name, '#', sizeof name);
    Script({answer});
    EXPECT_EQ(commands.GetModelName(name), result);
    std::string expected = stored;
    expected.resize(kModelNameSize, '#');
    EXPECT_EQ(std::string(name, kModelNameSize), expected);
  }
}

TEST_F(DeviceCommandsTest, RunOperationJudgesEveryReply) {
  const Answer ack = Reply({0x01, 0x42, 0x01}), busy = Progress(0x04, 0x21, 0);
  // Operation code, answers, result, frames sent (SetRange, the operation, then Continues).
  const std::tuple<const char*, uint16_t, std::vector<Answer>, int32_t, size_t> cases[] = {
      {"install", kOpInstall, {ack, Reply({4, 0x41, 1})}, 0, 2},
      // clang-format off
      {"progress", kOpCopy, {ack, Progress(2, 0x21, 0), Progress(2, 0x21, 1), Reply({2, 0x41, 1})}, 0, 4},
      // clang-format on
      {"final status 0", kOpInstall, {ack, Reply({4, 0x41, 0})}, 1, 2},
      {"flag of another operation", kOpInstall, {ack, Reply({4, 0x40, 1})}, 1, 2},
      {"Continue answered by 05", kOpInstall, {ack, busy, Reply({5, 0x41, 1})}, 1, 3},
      {"no reply to the operation", kOpInstall, {ack, kNone}, 1, 2},
      {"no reply to Continue", kOpInstall, {ack, busy, kNone}, 1, 3},
      {"long error to the operation", kOpInstall, {ack, Error()}, 1, 2},
      // Not taken for another progress reply from the slot's previous contents.
      {"long error to Continue", kOpInstall, {ack, busy, Error()}, 1, 3},
      // Both flags in the sub-command: the final test comes first, no Continue.
      {"final before progress", 0x0460, {ack, Reply({4, 0x60, 1})}, 0, 2},
      {"SetRange refused", kOpInstall, {Reply({1, 0x42, 0})}, 1, 1},
      {"SetRange no reply", kOpInstall, {kNone}, 1, 1},
  };
  for (const auto& [trace, code, answers, result, sent] : cases) {
    SCOPED_TRACE(trace);
    Script(answers);
    EXPECT_EQ(commands.RunOperation(code, 0, 0x4000, 0x1000), result);
    std::vector<Bytes> expected = {Frame({1, 2}, "0000000000004000"),
                                   Frame({uint8_t(code >> 8), uint8_t(code)})};
    expected.resize(sent, Frame({0x05, 0x7F}));
    EXPECT_EQ(Sent(), expected);
    EXPECT_TRUE(display.texts.empty());
  }
}

TEST_F(DeviceCommandsTest, RunOperationProgressPositions) {
  // Start, count, chunk size, the progress replies' addresses, the progress bar.
  const std::tuple<uint32_t, uint32_t, uint32_t, std::vector<uint32_t>, Ops> cases[] = {
      // clang-format off
      {0x10000, 0x8000, 0x1000, {0x10000, 0x11000, 0x13FFF}, {SetRange(8), SetPos(0), SetPos(0), SetPos(1), SetPos(3)}},
      // clang-format on
      {0, 0x7FFFF000, 0x1000, {}, {SetRange(0xFFFF), SetPos(0)}},  // range keeps 16 bits
      {0x10000, 0x1000, 0x1000, {0}, {SetRange(1), SetPos(0), SetPos(0xFFFF0)}},  // wraps
      // Counts from 2^31 on stay unsigned: no negative range or position.
      {0, 0xFFFFF000, 0x10000, {0xFFFF0000}, {SetRange(0xFFFF), SetPos(0), SetPos(0xFFFF)}},
      {0, 0x80000000, 0x8000, {}, {SetRange(0), SetPos(0)}},
  };
  for (const auto& [start, count, chunk_size, addresses, expected] : cases) {
    SCOPED_TRACE(count);
    std::vector<Answer> answers = {Reply({0x01, 0x42, 0x01})};
    for (uint32_t a : addresses) answers.push_back(Progress(0x02, 0x21, a));
    answers.push_back(Reply({0x02, 0x41, 0x01}));
    Script(answers);
    EXPECT_EQ(commands.RunOperation(kOpCopy, start, count, chunk_size), 0);
    EXPECT_EQ(display.progress, expected);
    ASSERT_EQ(Sent().size(), 2 + addresses.size());
    EXPECT_EQ(ParseHex(Sent()[0].data() + 15, 8), count);
  }
  // A chunk size of 0 is refused before anything is shown or sent.
  Script({});
  EXPECT_EQ(commands.RunOperation(kOpCopy, 0, 0x1000, 0), 1);
  EXPECT_TRUE(Sent().empty() && display.progress.empty() && display.texts.empty());
}

TEST_F(DeviceCommandsTest, WriteChunkSendsFramesOf2048WithOneStepEach) {
  Bytes image(4096);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  const uint32_t address = 0x00FFF800;
  // Count, data bytes of each frame, the progress range.
  const std::tuple<uint32_t, std::vector<int32_t>, uint32_t> cases[] = {
      {0, {}, 0}, {2049, {2048, 1}, 1}, {4096, {2048, 2048}, 2}};
  for (const auto& [count, frames, range_max] : cases) {
    SCOPED_TRACE(count);
    Script(std::vector<Answer>(frames.size(), Reply({0x03, 0x40, 0x01})));
    EXPECT_EQ(commands.WriteChunk(address, image.data(), count), 0);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), frames.size());
    for (size_t i = 0, offset = 0; i < sent.size(); offset += frames[i++]) {
      Bytes frame(4096);
      frame.resize(BuildWriteData(frame.data(), address + offset, &image[offset], frames[i]));
      EXPECT_EQ(sent[i], frame) << "frame " << i;
    }
    Ops expected = {SetRange(range_max), SetPos(0)};
    expected.insert(expected.end(), frames.size(), kStep);
    EXPECT_EQ(display.progress, expected);
    EXPECT_TRUE(display.texts.empty());
  }
}

TEST_F(DeviceCommandsTest, WriteChunkStopsAtTheFirstRefusedFrame) {
  const Bytes image(4 * 2048, 0x5A);
  const Answer ack = Reply({0x03, 0x40, 0x01});
  // Count, answers, frames sent.
  const std::tuple<const char*, uint32_t, std::vector<Answer>, size_t> cases[] = {
      {"second refused", 8192, {ack, Reply({3, 0x40, 0})}, 2},
      {"first wrong flag", 8192, {Reply({3, 0x20, 1})}, 1},
      {"third never answered", 8192, {ack, ack, kNone}, 3},
      // The slot is cleared for each frame: the first acknowledgement cannot
      // stand in for the broken second reply.
      {"long error after an acknowledgement", 8192, {ack, Error(), ack, ack}, 2},
      // Not negative: full frames go out.
      {"count above 2^31", 0x80000800u, {Reply({3, 0x40, 0})}, 1},
  };
  for (const auto& [trace, count, answers, frames] : cases) {
    SCOPED_TRACE(trace);
    Script(answers);
    EXPECT_EQ(commands.WriteChunk(0, image.data(), count), 1);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), frames);
    for (const Bytes& frame : sent) EXPECT_EQ(frame.size(), size_t{kMaxWriteDataFrame});
    Ops expected = {SetRange(count / 2048), SetPos(0)};
    expected.insert(expected.end(), frames - 1, kStep);
    EXPECT_EQ(display.progress, expected);
  }
}

TEST_F(DeviceCommandsTest, FailedAllocationShowsTextAndSendsNothing) {
  const Bytes image(16, 0);
  char name[kModelNameSize];
  const Command runs[] = {
      [&](auto& c) { return c.GetModelName(name); },
      [](auto& c) { return c.SelectDevice(1); },
      [](auto& c) { return c.RunOperation(kOpCopy, 0, 0x1000, 0x100); },
      [&](auto& c) { return c.WriteChunk(0, image.data(), 16); },
      [](auto& c) { return c.VerifySum(0, 16, 0); },
      [](auto& c) { return c.ModeOff(); },
  };
  for (int which = 0; which < 2; ++which) {  // the request buffer, then the reply slot
    for (size_t i = 0; i < std::size(runs); ++i) {
      SCOPED_TRACE("command " + std::to_string(i) + (which == 0 ? " request" : " slot"));
      Script({});
      allocations_until_failure = which;
      EXPECT_EQ(runs[i](commands), 1);
      allocations_until_failure = -1;
      EXPECT_EQ(display.texts, std::vector<std::string>{kOutOfMemoryText});
      EXPECT_TRUE(display.progress.empty() && Sent().empty());
    }
  }
}

}  // namespace
}  // namespace tamblet
