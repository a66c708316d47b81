#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "midi/alsa/seq_events.h"
#include "midi/stream/sysex_reassembler.h"

namespace tamblet::midi::alsa {
namespace {

using stream::MessageSink;
using stream::SysExReassembler;

using Bytes = std::vector<uint8_t>;
using State = SubstreamState;

std::string Hex(std::span<const uint8_t> bytes) {
  std::string text;
  char digits[3];
  for (uint8_t b : bytes) text += (std::snprintf(digits, sizeof(digits), "%02X", b), digits);
  return text;
}

// Long message "L<hex>", broken one "E<hex>", short one "S<its three bytes>".
struct Recorder : MessageSink {
  void OnSysEx(std::span<const uint8_t> m) override { events.push_back("L" + Hex(m)); }
  void OnSysExError(std::span<const uint8_t> r) override { events.push_back("E" + Hex(r)); }
  void OnShort(uint32_t m) override {
    events.push_back("S" + Hex(Bytes{uint8_t(m), uint8_t(m >> 8), uint8_t(m >> 16)}));
  }
  std::vector<std::string> events;
};

// How reads cut a stream changes nothing: fuzz/sysex_stream_fuzz.cpp feeds
// every input whole and in pieces, so the tables here feed whole streams.
std::vector<std::string> Feed(const Bytes& stream) {
  SysExReassembler reassembler;
  Recorder recorder;
  reassembler.Feed(stream, recorder);
  return recorder.events;
}

TEST(SysExReassembly, Table) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      // Whole messages, back to back.
      {"F0 43 50 F7 F0 F7", {"LF04350F7", "LF0F7"}},
      // Noise, a stray F7 and real-time bytes before F0.
      {"01 7F F7 F8 FE F0 01 F7", {"LF001F7"}},
      // Real-time bytes inside.
      {"F0 F8 01 FE FA 02 FF F7", {"LF00102F7"}},
      // Broken by a channel status, then by a new start.
      {"F0 01 02 90 40 7F", {"EF00102", "S90407F"}},
      {"F0 01 F0 02 F7", {"EF001", "LF002F7"}},
      // Running status, with one and two data bytes and real-time inside.
      {"90 40 7F 41 F8 00 C3 05 06", {"S90407F", "S904100", "SC30500", "SC30600"}},
      // System common messages have none; a SysEx and an undefined status end it.
      {"F2 01 02 03 F3 05 06", {"SF20102", "SF30500"}},
      {"90 40 7F F0 F7 41 00 80 40 00 F4 41 00", {"S90407F", "LF0F7", "S804000"}},
  };
  for (const auto& [hex, expected] : cases) {
    Bytes stream;
    for (size_t at = 0; at < hex.size(); at += 3)
      stream.push_back(std::stoi(hex.substr(at, 2), nullptr, 16));
    EXPECT_EQ(Feed(stream), expected) << hex;
  }
}

// A message of just the buffer's size; one a byte longer, reported once with
// what fitted and the rest dropped up to its end; a far longer one ended by a
// channel message.
TEST(SysExReassembly, BufferSizeIsTheLimit) {
  constexpr size_t kMax = SysExReassembler::kMaxMessage;
  Bytes fits(kMax, 0x11), over(kMax + 1, 0x22), far(3 * kMax, 0x33);
  fits.front() = over.front() = far.front() = 0xF0;
  fits.back() = over.back() = 0xF7;
  Bytes stream = fits;
  for (const Bytes& part : {over, Bytes{0xF0, 0x44, 0xF7}, far, Bytes{0x90, 0x40, 0x7F}}) {
    stream.insert(stream.end(), part.begin(), part.end());
  }
  const auto first = [](const Bytes& b) { return Hex(std::span<const uint8_t>(b).first(kMax)); };
  const std::vector<std::string> expected = {"L" + Hex(fits), "E" + first(over), "LF044F7",
                                             "E" + first(far), "S90407F"};
  EXPECT_EQ(Feed(stream), expected);
}

// A SysEx of `n` bytes, F0 .. F7, its data counting up.
Bytes SysEx(size_t n, uint8_t first = 0) {
  Bytes m(n);
  for (size_t i = 0; i < n; ++i) m[i] = uint8_t((first + i) & 0x7F);
  m.front() = 0xF0, m.back() = 0xF7;
  return m;
}

// Sequencer events rejoined into what the device sent: "P" is the next piece
// of at most 256 bytes of the message in hand (the kernel's cut), "N" a note,
// "C" a clock, "U" a notice that carries no MIDI, "X" events the kernel lost.
TEST(SeqEventRejoin, Table) {
  const Bytes a = SysEx(300), b = SysEx(2362, 5), c = SysEx(8, 9);
  const std::string note = "S90407F";
  const std::tuple<std::string, std::vector<Bytes>, std::vector<std::string>> cases[] = {
      {"PCPPPCPPPPPP", {b}, {"L" + Hex(b)}},
      {"PNPP", {c, a}, {"L" + Hex(c), note, "L" + Hex(a)}},
      {"UPUP", {a}, {"L" + Hex(a)}},
      {"PXPP", {a, c}, {"E" + Hex(std::span(a).first(256)), "L" + Hex(c)}},
  };
  snd_midi_event_t* decoder = nullptr;
  ASSERT_EQ(snd_midi_event_new(16, &decoder), 0);
  snd_midi_event_no_status(decoder, 1);
  for (const auto& [script, messages, expected] : cases) {
    Bytes wire;
    size_t message = 0, offset = 0;
    for (char kind : script) {
      snd_seq_event_t event;
      snd_seq_ev_clear(&event);
      if (kind == 'P') {
        const Bytes& m = messages.at(message);
        const size_t n = std::min<size_t>(256, m.size() - offset);
        snd_seq_ev_set_sysex(&event, unsigned(n), const_cast<uint8_t*>(m.data() + offset));
        if ((offset += n) == m.size()) ++message, offset = 0;
      } else if (kind == 'N') {
        snd_seq_ev_set_noteon(&event, 0, 0x40, 0x7F);
      } else if (kind == 'X') {
        wire.push_back(kLostBytesMark);
        continue;
      } else {
        event.type = kind == 'C' ? SND_SEQ_EVENT_CLOCK : SND_SEQ_EVENT_PORT_SUBSCRIBED;
      }
      AppendEventBytes(event, decoder, &wire);
    }
    EXPECT_EQ(Feed(wire), expected) << script;
  }
  snd_midi_event_free(decoder);
}

// Only a whole SysEx goes out, and only when it fits the device's buffer.
TEST(SeqRequestCheck, Table) {
  const Bytes frame = SysEx(2362);
  const std::tuple<Bytes, std::optional<State>, SeqSend> cases[] = {
      {frame, State{{}, 4096, 2362}, SeqSend::kOk},
      {frame, State{{}, 4096, 2361}, SeqSend::kNoRoomYet},
      {frame, State{{}, 2361, 2361}, SeqSend::kLongerThanBuffer},
      {frame, std::nullopt, SeqSend::kOk},  // no word from the kernel
      {frame, State{}, SeqSend::kOk},       // nobody holds it yet
      {Bytes{0xF0, 0xF7}, State{{}, 4, 4}, SeqSend::kOk},
      {Bytes{0xF0, 0x01}, State{{}, 4, 4}, SeqSend::kNotOneSysEx},
      {Bytes{0x01, 0xF7}, State{{}, 4, 4}, SeqSend::kNotOneSysEx},
      {Bytes{0xF0, 0x90, 0xF7}, State{{}, 4, 4}, SeqSend::kNotOneSysEx},  // two messages
      {Bytes{}, State{{}, 4, 4}, SeqSend::kNotOneSysEx},
  };
  for (const auto& [request, output, verdict] : cases)
    EXPECT_EQ(CheckSeqRequest(request, output), verdict) << Hex(request).substr(0, 8);
}

// A card's midiD text: the substream's holder and room, under its own heading.
TEST(RawmidiProc, Table) {
  const std::string text =
      "Output 0\n\n"  // the device's name, which may read like a heading
      "Output 0\n  Tx bytes     : 0\n"
      "Output 1\n  Tx bytes     : 1200\n  Owner PID    : 4321\n  Mode         : native\n"
      "  Buffer size  : 4096\n  Avail        : 1734\n"
      "Input 0\n  Rx bytes     : 56\n  Owner PID    : 77\n  Buffer size  : 4096\n"
      "  Avail        : 0\n  Overruns     : 0\n"
      "Input 10\n  Rx bytes     : 0\n  Owner PID    : 5\n";
  const std::tuple<std::string, PortDirection, uint32_t, std::optional<State>> cases[] = {
      {text, PortDirection::kOutput, 0, State{}},
      {text, PortDirection::kOutput, 1, State{4321, 4096, 1734}},
      {text, PortDirection::kInput, 0, State{77, 4096, 0}},
      {text, PortDirection::kInput, 1, std::nullopt},
      {text, PortDirection::kInput, 10, State{5, {}, {}}},
      {text, PortDirection::kOutput, 2, std::nullopt},
      {"", PortDirection::kOutput, 0, std::nullopt},
      {"X\n\nOutput 0\n  Owner PID    : \n", PortDirection::kOutput, 0, State{}},
  };
  for (const auto& [proc, direction, subdevice, expected] : cases)
    EXPECT_EQ(ParseRawmidiProc(proc, direction, subdevice), expected)
        << (direction == PortDirection::kOutput ? "Output " : "Input ") << subdevice;
}

}  // namespace
}  // namespace tamblet::midi::alsa
