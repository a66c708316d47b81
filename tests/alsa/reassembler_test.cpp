#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "midi/alsa/sysex_reassembler.h"

namespace tamblet::midi::alsa {
namespace {

using Bytes = std::vector<uint8_t>;

struct Long {
  Bytes bytes;
  bool operator==(const Long&) const = default;
};
struct Broken {
  Bytes received;
  bool operator==(const Broken&) const = default;
};
struct Short {
  uint32_t message;
  bool operator==(const Short&) const = default;
};
using Event = std::variant<Long, Broken, Short>;

void PrintTo(const Long& l, std::ostream* os) { *os << "Long(" << l.bytes.size() << " bytes)"; }
void PrintTo(const Broken& b, std::ostream* os) {
  *os << "Broken(" << b.received.size() << " bytes)";
}
void PrintTo(const Short& s, std::ostream* os) {
  *os << "Short(0x" << std::hex << s.message << ")";
}

class Recorder : public MessageSink {
 public:
  void OnSysEx(std::span<const uint8_t> m) override {
    events.push_back(Long{{m.begin(), m.end()}});
  }
  void OnSysExError(std::span<const uint8_t> r) override {
    events.push_back(Broken{{r.begin(), r.end()}});
  }
  void OnShort(uint32_t m) override { events.push_back(Short{m}); }
  std::vector<Event> events;
};

std::vector<Event> FeedInPieces(const Bytes& stream, const std::vector<size_t>& cuts) {
  SysExReassembler reassembler;
  Recorder recorder;
  size_t from = 0;
  for (size_t cut : cuts) {
    reassembler.Feed(std::span<const uint8_t>(stream.data() + from, cut - from), recorder);
    from = cut;
  }
  reassembler.Feed(std::span<const uint8_t>(stream.data() + from, stream.size() - from), recorder);
  return recorder.events;
}

struct Case {
  std::string name;
  Bytes stream;
  std::vector<Event> expected;
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"whole message",
       {0xF0, 0x43, 0x50, 0x03, 0x00, 0x00, 0x02, 0xF7},
       {Long{{0xF0, 0x43, 0x50, 0x03, 0x00, 0x00, 0x02, 0xF7}}}},
      {"empty message", {0xF0, 0xF7}, {Long{{0xF0, 0xF7}}}},
      {"noise before the start", {0x01, 0x7F, 0x00, 0xF0, 0x01, 0xF7}, {Long{{0xF0, 0x01, 0xF7}}}},
      {"real-time bytes inside",
       {0xF0, 0xF8, 0x01, 0xFE, 0xFA, 0x02, 0xFF, 0xF7},
       {Long{{0xF0, 0x01, 0x02, 0xF7}}}},
      {"real-time bytes outside are ignored", {0xF8, 0xFE, 0xFC}, {}},
      {"channel status breaks a message",
       {0xF0, 0x01, 0x02, 0x90, 0x40, 0x7F},
       {Broken{{0xF0, 0x01, 0x02}}, Short{0x7F4090}}},
      {"system common status breaks a message",
       {0xF0, 0x01, 0xF6},
       {Broken{{0xF0, 0x01}}, Short{0xF6}}},
      {"new start breaks a message",
       {0xF0, 0x01, 0xF0, 0x02, 0xF7},
       {Broken{{0xF0, 0x01}}, Long{{0xF0, 0x02, 0xF7}}}},
      {"back to back",
       {0xF0, 0x01, 0xF7, 0xF0, 0x02, 0x03, 0xF7},
       {Long{{0xF0, 0x01, 0xF7}}, Long{{0xF0, 0x02, 0x03, 0xF7}}}},
      {"stray end byte", {0xF7, 0x05, 0xF0, 0xF7}, {Long{{0xF0, 0xF7}}}},
      {"running status", {0x90, 0x40, 0x7F, 0x41, 0x00, 0x42}, {Short{0x7F4090}, Short{0x004190}}},
      {"one data byte messages",
       {0xC3, 0x05, 0x06, 0xD0, 0x7F},
       {Short{0x05C3}, Short{0x06C3}, Short{0x7FD0}}},
      {"real-time byte inside a channel message", {0xB0, 0x07, 0xF8, 0x64}, {Short{0x6407B0}}},
      {"system common messages have no running status",
       {0xF2, 0x01, 0x02, 0x03, 0xF3, 0x05, 0x06},
       {Short{0x0201F2}, Short{0x05F3}}},
      {"message ends running status",
       {0x90, 0x40, 0x7F, 0xF0, 0xF7, 0x41, 0x00},
       {Short{0x7F4090}, Long{{0xF0, 0xF7}}}},
      {"undefined status ends running status",
       {0x80, 0x40, 0x00, 0xF4, 0x41, 0x00},
       {Short{0x004080}}},
  };
  return cases;
}

TEST(SysExReassembly, WholeStreamInOneRead) {
  for (const Case& c : Cases()) {
    EXPECT_EQ(FeedInPieces(c.stream, {}), c.expected) << c.name;
  }
}

TEST(SysExReassembly, SplitIntoTwoReadsAtEveryPosition) {
  for (const Case& c : Cases()) {
    for (size_t cut = 0; cut <= c.stream.size(); ++cut) {
      EXPECT_EQ(FeedInPieces(c.stream, {cut}), c.expected) << c.name << ", cut at " << cut;
    }
  }
}

TEST(SysExReassembly, OneByteAtATime) {
  for (const Case& c : Cases()) {
    std::vector<size_t> cuts;
    for (size_t i = 1; i < c.stream.size(); ++i) {
      cuts.push_back(i);
    }
    EXPECT_EQ(FeedInPieces(c.stream, cuts), c.expected) << c.name;
  }
}

Bytes MessageOfSize(size_t size, uint8_t fill = 0x11) {
  Bytes message(size, fill);
  message.front() = 0xF0;
  message.back() = 0xF7;
  return message;
}

TEST(SysExReassembly, BufferSizeIsTheLimit) {
  constexpr size_t kMax = SysExReassembler::kMaxMessage;
  const Bytes fits = MessageOfSize(kMax);
  EXPECT_EQ(FeedInPieces(fits, {}), std::vector<Event>{Long{fits}});

  // One byte more: reported once, at the byte that does not fit; the rest of
  // it up to its end is dropped, and the next message comes through.
  Bytes stream = MessageOfSize(kMax + 1);
  const Bytes after = {0xF0, 0x22, 0xF7};
  stream.insert(stream.end(), after.begin(), after.end());
  const Bytes received(stream.begin(), stream.begin() + kMax);
  const std::vector<Event> expected = {Broken{received}, Long{after}};
  EXPECT_EQ(FeedInPieces(stream, {}), expected);
  EXPECT_EQ(FeedInPieces(stream, {kMax - 1, kMax, kMax + 1}), expected);

  // Far longer, ended by a channel message rather than F7.
  Bytes long_stream = MessageOfSize(3 * kMax);
  long_stream.back() = 0x33;
  long_stream.insert(long_stream.end(), {0x90, 0x40, 0x7F});
  const std::vector<Event> long_expected = {
      Broken{Bytes(long_stream.begin(), long_stream.begin() + kMax)}, Short{0x7F4090}};
  EXPECT_EQ(FeedInPieces(long_stream, {100, kMax + 5}), long_expected);
}

TEST(SysExReassembly, ResetDropsAPartMessageAndRunningStatus) {
  SysExReassembler reassembler;
  Recorder recorder;
  const Bytes part = {0xF0, 0x01, 0x02};
  reassembler.Feed(part, recorder);
  reassembler.Reset();
  const Bytes rest = {0x03, 0xF7, 0x90, 0x40, 0x7F};
  reassembler.Feed(rest, recorder);
  reassembler.Reset();
  const Bytes running = {0x41, 0x00};
  reassembler.Feed(running, recorder);
  EXPECT_EQ(recorder.events, std::vector<Event>{Short{0x7F4090}});
}

}  // namespace
}  // namespace tamblet::midi::alsa
