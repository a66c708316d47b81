#include "protocol/device_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "midi/sysex_port.h"
#include "protocol/frame.h"
#include "tests/protocol/unpack7.h"
#include "tests/support/fast_waits.h"
#include "tests/support/recording_window.h"
#include "tests/support/scripted_midi.h"

// Lets a test make the next allocations of the commands fail. The commands
// allocate their buffers with the nothrow form of new[], and nothing else in
// these tests uses it.
namespace {
std::atomic<int> nothrow_allocations_until_failure{-1};  // -1: never fail
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  int left = nothrow_allocations_until_failure.load();
  while (left >= 0 && !nothrow_allocations_until_failure.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 0) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

namespace tamblet {
namespace {

using test::Answer;
using test::Bytes;
using test::LongError;
using test::NameReply;
using test::NoReply;
using test::ProgressOp;
using test::ProgressReply;
using test::RawReply;
using test::Reply;
using test::ShortMessage;

class RecordingDisplay : public Display {
 public:
  void SetStatusText(const char* text) override { texts.emplace_back(text); }
  void SendProgressMessage(uint32_t msg, uint32_t wparam, uint32_t lparam) override {
    progress.push_back(ProgressOp{msg, wparam, lparam});
  }
  std::vector<std::string> texts;
  std::vector<ProgressOp> progress;
};

// A request as the device sees it: head, command bytes, data, F7.
Bytes Request(std::initializer_list<uint8_t> body, const std::string& digits = "") {
  Bytes out = {0xF0, 0x43, 0x50, 0x03, 0x00};
  out.insert(out.end(), body.begin(), body.end());
  out.insert(out.end(), digits.begin(), digits.end());
  out.push_back(0xF7);
  return out;
}

const Bytes kContinue = Request({0x05, 0x7F});

ProgressOp SetRange(uint32_t max) { return {PBM_SETRANGE, 0, MakeRange(0, max)}; }
ProgressOp SetPos(uint32_t pos) { return {PBM_SETPOS, pos, 0}; }
ProgressOp Step() { return {PBM_DELTAPOS, 1, 0}; }

class DeviceCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(port.Open(0, 0)); }
  void TearDown() override { nothrow_allocations_until_failure = -1; }

  size_t RepliesLeft() { return midi.ScriptLeft(); }

  test::ScriptedMidi midi;  // outlives the port
  test::ScriptedWaits waits{midi};
  CSysExPort port{midi, waits};
  RecordingDisplay display;
  DeviceCommands commands{port, display};
};

// --- The four single-exchange commands --------------------------------------

struct SingleCase {
  const char* name;
  std::function<int32_t(DeviceCommands&)> run;
  Bytes request;
  Answer answer;
  int32_t result;
};

Bytes Head(std::initializer_list<uint8_t> tail) {
  Bytes out = {0xF0, 0x43, 0x50, 0x03, 0x00};
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

TEST_F(DeviceCommandsTest, SingleExchangeCommandsJudgeTheirReplies) {
  auto select = [](DeviceCommands& c) { return c.SelectDevice(0xFE); };
  auto verify = [](DeviceCommands& c) { return c.VerifySum(0x89ABCDEF, 0x00012000, 0x1234); };
  auto mode_off = [](DeviceCommands& c) { return c.ModeOff(); };
  const Bytes select_request = Request({0x01, 0x01, 0xFE});
  const Bytes verify_request = Request({0x04, 0x02}, "89ABCDEF000120001234");
  const Bytes mode_off_request = Request({0x00, 0x01});

  const SingleCase cases[] = {
      {"select accepted", select, select_request, Reply(0x01, 0x41, 0x01), 0},
      {"select status 0", select, select_request, Reply(0x01, 0x41, 0x00), 1},
      {"select status 2", select, select_request, Reply(0x01, 0x41, 0x02), 1},
      {"select wrong flag", select, select_request, Reply(0x01, 0x21, 0x01), 1},
      {"select wrong command", select, select_request, Reply(0x00, 0x41, 0x01), 1},
      {"select head not examined", select, select_request, RawReply(Head({0x01, 0x41, 0x01})), 0},
      {"select long error", select, select_request, LongError(), 1},
      {"select long error with bytes", select, select_request, LongError(Head({0x01, 0x41, 0x01})),
       1},
      {"select no reply", select, select_request, NoReply(), 1},
      {"select short message only", select, select_request, ShortMessage(0x90, 0x40, 0x7F), 1},
      {"select empty message", select, select_request, RawReply({}), 1},
      {"verify accepted", verify, verify_request, Reply(0x04, 0x42, 0x01), 0},
      {"verify status 0", verify, verify_request, Reply(0x04, 0x42, 0x00), 1},
      {"verify wrong flag", verify, verify_request, Reply(0x04, 0x22, 0x01), 1},
      {"verify wrong command", verify, verify_request, Reply(0x03, 0x42, 0x01), 1},
      {"verify no reply", verify, verify_request, NoReply(), 1},
      {"verify long error", verify, verify_request, LongError(), 1},
      {"mode off status 1", mode_off, mode_off_request, Reply(0x00, 0x41, 0x01), 0},
      {"mode off status 0", mode_off, mode_off_request, Reply(0x00, 0x41, 0x00), 0},
      {"mode off status 7F", mode_off, mode_off_request, Reply(0x00, 0x41, 0x7F), 0},
      {"mode off without status", mode_off, mode_off_request, Reply(0x00, 0x41), 0},
      {"mode off wrong flag", mode_off, mode_off_request, Reply(0x00, 0x42, 0x01), 1},
      {"mode off wrong command", mode_off, mode_off_request, Reply(0x01, 0x41, 0x01), 1},
      {"mode off no reply", mode_off, mode_off_request, NoReply(), 1},
      {"mode off long error", mode_off, mode_off_request, LongError(), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    midi.ClearSent();
    midi.Script(c.answer);
    EXPECT_EQ(c.run(commands), c.result);
    EXPECT_EQ(midi.Sent(), std::vector<Bytes>{c.request});
    if (c.answer.kind == Answer::Kind::kNone) {
      ASSERT_FALSE(waits.waits().empty());
      EXPECT_EQ(waits.waits().back(), kReplyTimeoutMs);
    }
  }
  EXPECT_TRUE(display.texts.empty());
  EXPECT_TRUE(display.progress.empty());
}

TEST_F(DeviceCommandsTest, VerifySumSendsAddressCountAndSumDigits) {
  const struct {
    uint32_t address, count;
    uint16_t sum;
    const char* digits;
  } cases[] = {
      {0, 0, 0, "00000000000000000000"},
      {0x00010000, 0x00020000, 0x1234, "00010000000200001234"},
      {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF, "FFFFFFFFFFFFFFFFFFFF"},
  };
  for (const auto& c : cases) {
    midi.ClearSent();
    midi.Script(Reply(0x04, 0x42, 0x01));
    EXPECT_EQ(commands.VerifySum(c.address, c.count, c.sum), 0);
    const auto sent = midi.Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], Request({0x04, 0x02}, c.digits));
    EXPECT_EQ(sent[0].size(), 28u);
  }
}

// --- GetModelName -------------------------------------------------------------

TEST_F(DeviceCommandsTest, GetModelNameCopiesTheNameUpToF7) {
  const std::string fifteen = "ABCDEFGHIJKLMNO";
  const std::string sixteen = fifteen + "P";
  Bytes longest = Head({0x00, 0x42});  // F7 at the slot's last byte
  longest.resize(kReplySlotSize - 1, 'N');
  longest.push_back(0xF7);
  Bytes name_with_high_bytes = Head({0x00, 0x42, 0x80, 0xFF, 0x41, 0xF7, 0x42, 0xF7});

  const struct {
    const char* name;
    Answer answer;
    int32_t result;
    Bytes stored;  // the buffer afterwards, all 16 bytes
  } cases[] = {
      {"ordinary name", NameReply("ABC"), 0,
       Bytes{'A', 'B', 'C', 0, '#', '#', '#', '#', '#', '#', '#', '#', '#', '#', '#', '#'}},
      {"empty name", Reply(0x00, 0x42), 0,
       Bytes{0, '#', '#', '#', '#', '#', '#', '#', '#', '#', '#', '#', '#', '#', '#', '#'}},
      {"fifteen characters and NUL", NameReply(fifteen), 0,
       [&] {
         Bytes b(fifteen.begin(), fifteen.end());
         b.push_back(0);
         return b;
       }()},
      {"sixteen characters, no room for NUL", NameReply(sixteen), 0,
       Bytes(sixteen.begin(), sixteen.end())},
      {"long name cut to sixteen", NameReply(sixteen + "QRSTUVWXYZ"), 0,
       Bytes(sixteen.begin(), sixteen.end())},
      {"F7 at the slot's last byte", RawReply(longest), 0, Bytes(16, 'N')},
      {"name bytes not examined, first F7 ends", RawReply(name_with_high_bytes), 0,
       Bytes{0x80, 0xFF, 0x41, 0, '#', '#', '#', '#', '#', '#', '#', '#', '#', '#', '#', '#'}},
      {"wrong flag", Reply(0x00, 0x41, 0x41), 1, Bytes(16, '#')},
      {"wrong command", Reply(0x01, 0x42, 0x41), 1, Bytes(16, '#')},
      {"no reply", NoReply(), 1, Bytes(16, '#')},
      {"long error", LongError(), 1, Bytes(16, '#')},
      {"long error with a name", LongError(Head({0x00, 0x42, 'A', 0xF7})), 1, Bytes(16, '#')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    midi.ClearSent();
    midi.Script(c.answer);
    char name[kModelNameSize];
    std::memset(name, '#', sizeof name);
    EXPECT_EQ(commands.GetModelName(name), c.result);
    EXPECT_EQ(Bytes(name, name + kModelNameSize), c.stored);
    EXPECT_EQ(midi.Sent(), std::vector<Bytes>{Request({0x00, 0x02})});
  }
  EXPECT_TRUE(display.texts.empty());
}

TEST_F(DeviceCommandsTest, GetModelNameFailsWithoutF7InsideTheSlot) {
  Bytes no_end = Head({0x00, 0x42});
  no_end.resize(700, 'A');
  Bytes end_past_slot = Head({0x00, 0x42});
  end_past_slot.resize(kReplySlotSize, 'A');
  end_past_slot.push_back(0xF7);  // lands at offset 512, cut off
  for (const Bytes& reply : {no_end, end_past_slot}) {
    midi.Script(RawReply(reply));
    char name[kModelNameSize];
    std::memset(name, '#', sizeof name);
    EXPECT_EQ(commands.GetModelName(name), 1);
    EXPECT_EQ(std::string(name, kModelNameSize), std::string(kModelNameSize, '#'));
  }
}

// --- RunOperation -------------------------------------------------------------

TEST_F(DeviceCommandsTest, RunOperationInstallTranscript) {
  midi.Script(
      {Reply(0x01, 0x42, 0x01), ProgressReply(0x04, 0x21, 0x11000), Reply(0x04, 0x41, 0x01)});
  EXPECT_EQ(commands.RunOperation(kOpInstall, 0x10000, 0x20000, 0x1000), 0);

  const std::vector<Bytes> expected = {
      {0xF0, 0x43, 0x50, 0x03, 0x00, 0x01, 0x02, 0x30, 0x30, 0x30, 0x31, 0x30,
       0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x32, 0x30, 0x30, 0x30, 0x30, 0xF7},
      {0xF0, 0x43, 0x50, 0x03, 0x00, 0x04, 0x01, 0xF7},
      {0xF0, 0x43, 0x50, 0x03, 0x00, 0x05, 0x7F, 0xF7},
  };
  EXPECT_EQ(midi.Sent(), expected);
  EXPECT_EQ(display.progress, (std::vector<ProgressOp>{SetRange(32), SetPos(0), SetPos(1)}));
  EXPECT_TRUE(display.texts.empty());
  for (uint32_t ms : waits.waits()) EXPECT_EQ(ms, kReplyTimeoutMs);
}

struct OperationCase {
  const char* name;
  uint16_t code;
  std::vector<Answer> answers;  // after the accepted SetRange unless set_range is false
  int32_t result;
  size_t continues;  // Continue frames sent
  bool set_range = true;
};

TEST_F(DeviceCommandsTest, RunOperationJudgesEveryReply) {
  const OperationCase cases[] = {
      {"copy final", kOpCopy, {Reply(0x02, 0x41, 0x01)}, 0, 0},
      {"uninstall final", kOpUninstall, {Reply(0x04, 0x40, 0x01)}, 0, 0},
      {"install final", kOpInstall, {Reply(0x04, 0x41, 0x01)}, 0, 0},
      {"copy with progress",
       kOpCopy,
       {ProgressReply(0x02, 0x21, 0), ProgressReply(0x02, 0x21, 0x1000), Reply(0x02, 0x41, 0x01)},
       0,
       2},
      {"uninstall with progress",
       kOpUninstall,
       {ProgressReply(0x04, 0x20, 0x3000), Reply(0x04, 0x40, 0x01)},
       0,
       1},
      {"final status 0", kOpInstall, {Reply(0x04, 0x41, 0x00)}, 1, 0},
      {"final status 0 after progress",
       kOpInstall,
       {ProgressReply(0x04, 0x21, 0), Reply(0x04, 0x41, 0x00)},
       1,
       1},
      {"answer to Continue with command 05",
       kOpInstall,
       {ProgressReply(0x04, 0x21, 0), Reply(0x05, 0x41, 0x01)},
       1,
       1},
      {"answer to Continue with progress of 05",
       kOpInstall,
       {ProgressReply(0x04, 0x21, 0), ProgressReply(0x05, 0x7F, 0)},
       1,
       1},
      {"wrong command byte", kOpInstall, {Reply(0x02, 0x41, 0x01)}, 1, 0},
      {"acknowledge flag of another operation", kOpInstall, {Reply(0x04, 0x40, 0x01)}, 1, 0},
      {"plain sub-command", kOpInstall, {Reply(0x04, 0x01, 0x01)}, 1, 0},
      {"both flags", kOpInstall, {Reply(0x04, 0x61, 0x01)}, 1, 0},
      {"no reply to the operation", kOpInstall, {NoReply()}, 1, 0},
      {"no reply to Continue", kOpInstall, {ProgressReply(0x04, 0x21, 0), NoReply()}, 1, 1},
      // Not taken for another progress reply from the slot's previous contents.
      {"long error to Continue", kOpInstall, {ProgressReply(0x04, 0x21, 0), LongError()}, 1, 1},
      // The slot still holds the SetRange acknowledgement, whose command byte differs.
      {"long error to the operation", kOpInstall, {LongError()}, 1, 0},
      {"short message only", kOpInstall, {ShortMessage(0xF8)}, 1, 0},
      // A sub-command whose two flags coincide: the final test wins, no Continue.
      {"final before progress", 0x0460, {Reply(0x04, 0x60, 0x01)}, 0, 0},
      {"final before progress, refused", 0x0460, {Reply(0x04, 0x60, 0x00)}, 1, 0},
      {"SetRange refused", kOpInstall, {Reply(0x01, 0x42, 0x00)}, 1, 0, false},
      {"SetRange wrong flag", kOpInstall, {Reply(0x01, 0x41, 0x01)}, 1, 0, false},
      {"SetRange no reply", kOpInstall, {NoReply()}, 1, 0, false},
      {"SetRange long error", kOpInstall, {LongError()}, 1, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    midi.ClearSent();
    if (c.set_range) midi.Script(Reply(0x01, 0x42, 0x01));
    for (const Answer& a : c.answers) midi.Script(a);
    EXPECT_EQ(commands.RunOperation(c.code, 0, 0x4000, 0x1000), c.result);
    const auto sent = midi.Sent();
    const size_t expected_frames = c.set_range ? 2 + c.continues : 1;
    ASSERT_EQ(sent.size(), expected_frames);
    EXPECT_EQ(sent[0], Request({0x01, 0x02}, "0000000000004000"));
    if (c.set_range) {
      EXPECT_EQ(sent[1],
                Request({static_cast<uint8_t>(c.code >> 8), static_cast<uint8_t>(c.code & 0xFF)}));
    }
    for (size_t i = 2; i < sent.size(); ++i) EXPECT_EQ(sent[i], kContinue);
    EXPECT_EQ(RepliesLeft(), 0u);
  }
  EXPECT_TRUE(display.texts.empty());
}

TEST_F(DeviceCommandsTest, RunOperationProgressPositions) {
  const struct {
    const char* name;
    uint32_t start, count, chunk_size;
    std::vector<uint32_t> addresses;
    std::vector<ProgressOp> expected;
  } cases[] = {
      {"chunks from start",
       0x10000,
       0x8000,
       0x1000,
       {0x10000, 0x11000, 0x13000, 0x13FFF},
       {SetRange(8), SetPos(0), SetPos(0), SetPos(1), SetPos(3), SetPos(3)}},
      {"count below chunk size", 0x2000, 0xFFF, 0x1000, {}, {SetRange(0), SetPos(0)}},
      {"range keeps 16 bits", 0, 0x7FFFF000, 0x1000, {}, {SetRange(0xFFFF), SetPos(0)}},
      {"address below start wraps",
       0x10000,
       0x1000,
       0x1000,
       {0x0},
       {SetRange(1), SetPos(0), SetPos(0xFFFF0)}},
      // Counts from 2^31 on stay unsigned: no negative range.
      {"count of 2^32 - 4096",
       0,
       0xFFFFF000,
       0x10000,
       {0xFFFF0000},
       {SetRange(0xFFFF), SetPos(0), SetPos(0xFFFF)}},
      {"count of 2^31", 0, 0x80000000, 0x8000, {}, {SetRange(0), SetPos(0)}},
      {"chunk size 1", 5, 10, 1, {9}, {SetRange(10), SetPos(0), SetPos(4)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    display.progress.clear();
    midi.ClearSent();
    midi.Script(Reply(0x01, 0x42, 0x01));
    for (uint32_t a : c.addresses) midi.Script(ProgressReply(0x02, 0x21, a));
    midi.Script(Reply(0x02, 0x41, 0x01));
    EXPECT_EQ(commands.RunOperation(kOpCopy, c.start, c.count, c.chunk_size), 0);
    EXPECT_EQ(display.progress, c.expected);
    const auto sent = midi.Sent();
    ASSERT_EQ(sent.size(), 2 + c.addresses.size());
    EXPECT_EQ(ParseHex(sent[0].data() + 7, 8), c.start);
    EXPECT_EQ(ParseHex(sent[0].data() + 15, 8), c.count);
  }
}

TEST_F(DeviceCommandsTest, RunOperationFailureLeavesTheBarWhereItWas) {
  midi.Script(
      {Reply(0x01, 0x42, 0x01), ProgressReply(0x04, 0x21, 0x3000), Reply(0x04, 0x41, 0x00)});
  EXPECT_EQ(commands.RunOperation(kOpInstall, 0, 0x4000, 0x1000), 1);
  EXPECT_EQ(display.progress, (std::vector<ProgressOp>{SetRange(4), SetPos(0), SetPos(3)}));
}

TEST_F(DeviceCommandsTest, RunOperationRefusesChunkSizeZero) {
  midi.Script(Reply(0x01, 0x42, 0x01));
  EXPECT_EQ(commands.RunOperation(kOpCopy, 0, 0x1000, 0), 1);
  EXPECT_TRUE(midi.Sent().empty());
  EXPECT_TRUE(display.progress.empty());
  EXPECT_TRUE(display.texts.empty());
}

// --- WriteChunk ---------------------------------------------------------------

struct WriteFrame {
  uint32_t address;
  Bytes data;
};

// Decodes a WriteData frame as the device would.
WriteFrame Decode(const Bytes& frame) {
  EXPECT_GE(frame.size(), 21u);
  if (frame.size() < 21) return {};
  EXPECT_EQ(frame[5], 0x03);
  EXPECT_EQ(frame[6], 0x00);
  EXPECT_EQ(frame.back(), 0xF7);
  const int32_t n = static_cast<int32_t>(ParseHex(frame.data() + 7, 4));
  const int32_t packed = static_cast<int32_t>(frame.size()) - 21;
  EXPECT_EQ(packed, n + (n + 6) / 7);
  uint32_t sum = 0;
  for (size_t i = 7; i + 1 < frame.size(); ++i) sum += frame[i];
  EXPECT_EQ(sum % 128, 0u) << "checksum";
  return {ParseHex(frame.data() + 11, 8), test::Unpack7(frame.data() + 19, packed, n)};
}

TEST_F(DeviceCommandsTest, WriteChunkSplitsIntoFramesOf2048) {
  Bytes image(3 * 2048 + 5);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 8));

  const struct {
    const char* name;
    uint32_t count;
    std::vector<uint32_t> frame_sizes;
    uint32_t range_max;
  } cases[] = {
      {"nothing", 0, {}, 0},
      {"one byte", 1, {1}, 0},
      {"one frame", 2048, {2048}, 1},
      {"2049 bytes", 2049, {2048, 1}, 1},
      {"4096 bytes", 4096, {2048, 2048}, 2},
      {"three frames and a bit", 3 * 2048 + 5, {2048, 2048, 2048, 5}, 3},
  };
  const uint32_t address = 0x00FFF800;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    midi.ClearSent();
    display.progress.clear();
    for (size_t i = 0; i < c.frame_sizes.size(); ++i) midi.Script(Reply(0x03, 0x40, 0x01));
    EXPECT_EQ(commands.WriteChunk(address, image.data(), c.count), 0);

    const auto sent = midi.Sent();
    ASSERT_EQ(sent.size(), c.frame_sizes.size());
    uint32_t offset = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
      const WriteFrame f = Decode(sent[i]);
      EXPECT_EQ(f.address, address + offset) << "frame " << i;
      EXPECT_EQ(f.data, Bytes(image.begin() + offset, image.begin() + offset + c.frame_sizes[i]))
          << "frame " << i;
      offset += c.frame_sizes[i];
    }
    std::vector<ProgressOp> expected = {SetRange(c.range_max), SetPos(0)};
    expected.insert(expected.end(), c.frame_sizes.size(), Step());
    EXPECT_EQ(display.progress, expected);
  }
  EXPECT_TRUE(display.texts.empty());
}

TEST_F(DeviceCommandsTest, WriteChunkStopsAtTheFirstRefusedFrame) {
  const Bytes image(4 * 2048, 0x5A);
  const struct {
    const char* name;
    std::vector<Answer> answers;
    size_t frames_sent;
  } cases[] = {
      {"second refused", {Reply(0x03, 0x40, 0x01), Reply(0x03, 0x40, 0x00)}, 2},
      {"first wrong flag", {Reply(0x03, 0x20, 0x01)}, 1},
      {"first wrong command", {Reply(0x02, 0x40, 0x01)}, 1},
      {"third never answered", {Reply(0x03, 0x40, 0x01), Reply(0x03, 0x40, 0x01), NoReply()}, 3},
      {"first long error", {LongError()}, 1},
      // The slot is cleared for each frame: the first acknowledgement cannot
      // stand in for the broken second reply.
      {"long error after an acknowledgement",
       {Reply(0x03, 0x40, 0x01), LongError(), Reply(0x03, 0x40, 0x01)},
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    midi.ClearSent();
    display.progress.clear();
    for (const Answer& a : c.answers) midi.Script(a);
    EXPECT_EQ(commands.WriteChunk(0, image.data(), static_cast<uint32_t>(image.size())), 1);
    EXPECT_EQ(midi.Sent().size(), c.frames_sent);
    std::vector<ProgressOp> expected = {SetRange(4), SetPos(0)};
    expected.insert(expected.end(), c.frames_sent - 1, Step());
    EXPECT_EQ(display.progress, expected);
  }
}

// A count from 2^31 on is not negative: full frames are sent. The first is
// refused, so only its 2048 bytes are read.
TEST_F(DeviceCommandsTest, WriteChunkCountAbove2To31) {
  const Bytes image(2048, 0x11);
  midi.Script(Reply(0x03, 0x40, 0x00));
  EXPECT_EQ(commands.WriteChunk(0x1000, image.data(), 0x80000800u), 1);
  const auto sent = midi.Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Decode(sent[0]).data, image);
  EXPECT_EQ(display.progress, (std::vector<ProgressOp>{SetRange(0x0001), SetPos(0)}));
}

// --- Allocation failures ------------------------------------------------------

TEST_F(DeviceCommandsTest, FailedAllocationShowsTextAndSendsNothing) {
  const Bytes image(16, 0);
  const std::function<int32_t(DeviceCommands&)> commands_under_test[] = {
      [](DeviceCommands& c) {
        char name[kModelNameSize] = {};
        return c.GetModelName(name);
      },
      [](DeviceCommands& c) { return c.SelectDevice(1); },
      [](DeviceCommands& c) { return c.RunOperation(kOpCopy, 0, 0x1000, 0x100); },
      [&](DeviceCommands& c) { return c.WriteChunk(0, image.data(), 16); },
      [](DeviceCommands& c) { return c.VerifySum(0, 16, 0); },
      [](DeviceCommands& c) { return c.ModeOff(); },
  };
  for (int which = 0; which < 2; ++which) {  // request buffer, then reply slot
    for (size_t i = 0; i < std::size(commands_under_test); ++i) {
      SCOPED_TRACE("command " + std::to_string(i) + (which == 0 ? " request" : " slot"));
      display.texts.clear();
      display.progress.clear();
      midi.ClearSent();
      nothrow_allocations_until_failure = which;
      EXPECT_EQ(commands_under_test[i](commands), 1);
      nothrow_allocations_until_failure = -1;
      EXPECT_EQ(display.texts, std::vector<std::string>{kOutOfMemoryText});
      EXPECT_TRUE(display.progress.empty());
      EXPECT_TRUE(midi.Sent().empty());
    }
  }
}

}  // namespace
}  // namespace tamblet
