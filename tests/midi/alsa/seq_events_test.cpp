// Sequencer events turned back into the device's bytes, the room the kernel
// reports for a send, and the proc text that names a port's holder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "midi/alsa/seq_events.h"
#include "midi/stream/sysex_reassembler.h"
#include "tests/support/sysex_recorder.h"

namespace tamblet::midi::alsa {
namespace {

using stream::MessageSink;
using stream::SysExReassembler;

using Bytes = std::vector<uint8_t>;
using test::Feed;
using test::Hex;
using State = SubstreamState;

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
