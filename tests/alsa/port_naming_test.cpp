#include "midi/alsa/port_naming.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "app/port_discovery.h"
#include "midi/alsa/rawmidi_stream.h"

namespace tamblet::midi::alsa {
namespace {

std::string NameBytes(const MidiCaps& caps) {
  return std::string(caps.szPname, sizeof(caps.szPname));
}

std::string Padded(std::string_view name) {
  std::string bytes(name);
  bytes.resize(32, '\0');
  return bytes;
}

struct NamingCase {
  std::string_view card, device, subdevice;
  Direction direction;
  uint32_t number;
  uint16_t mid, pid;
  std::string name_bytes;  // all 32
};

TEST(RawmidiPortNaming, Table) {
  const NamingCase cases[] = {
      {"QELMAR ABC", "ABC MIDI", "ABC MIDI 1", Direction::kOutput, 1, 37, 4,
       Padded("QELMAR ABC OUT 1")},
      {"QELMAR ABC", "ABC MIDI", "ABC MIDI 2", Direction::kInput, 2, 37, 5,
       Padded("QELMAR ABC IN 2")},
      {"QELMAR ABC", "", "", Direction::kInput, 12, 37, 5, Padded("QELMAR ABC IN 12")},
      // Cut to the 32 bytes of the record, with no room for a NUL.
      {"QELMAR ABCDEFGHIJKLMNOPQRSTUVW", "", "", Direction::kOutput, 3, 37, 4,
       "QELMAR ABCDEFGHIJKLMNOPQRSTUVW O"},
      // Other cards: their own names and ids that never match.
      {"qelmar ABC", "dev", "sub", Direction::kOutput, 1, 0, 0, Padded("sub")},
      {"QELMAR", "dev", "sub", Direction::kOutput, 1, 0, 0, Padded("sub")},
      {"Other Synth", "Synth MIDI", "", Direction::kInput, 1, 0, 0, Padded("Synth MIDI")},
      {"Other Synth", "", "", Direction::kInput, 1, 0, 0, Padded("Other Synth")},
      {"Other", "", "A subdevice name well over thirty-two bytes", Direction::kOutput, 1, 0, 0,
       "A subdevice name well over thirt"},
  };
  for (const NamingCase& c : cases) {
    const MidiCaps caps = DescribeRawmidiPort(c.card, c.device, c.subdevice, c.direction, c.number);
    EXPECT_EQ(caps.wMid, c.mid) << c.card;
    EXPECT_EQ(caps.wPid, c.pid) << c.card;
    EXPECT_EQ(NameBytes(caps), c.name_bytes) << c.card;
  }
}

// The names made for the device's card are the ones discovery accepts, each in
// its own direction only.
TEST(RawmidiPortNaming, DeviceCardIsFoundByDiscovery) {
  const MidiCaps out = DescribeRawmidiPort("QELMAR ABC", "", "", Direction::kOutput, 1);
  const MidiCaps in = DescribeRawmidiPort("QELMAR ABC", "", "", Direction::kInput, 1);
  EXPECT_TRUE(AcceptPort(out, PortDirection::kOutput));
  EXPECT_FALSE(AcceptPort(out, PortDirection::kInput));
  EXPECT_TRUE(AcceptPort(in, PortDirection::kInput));
  EXPECT_FALSE(AcceptPort(in, PortDirection::kOutput));
  const MidiCaps other =
      DescribeRawmidiPort("Other", "", "QELMAR ABC OUT 1", Direction::kOutput, 1);
  EXPECT_FALSE(AcceptPort(other, PortDirection::kOutput));
}

TEST(RawmidiOpenErrors, Table) {
  const struct {
    int error;
    MMRESULT result;
  } cases[] = {
      {0, MMSYSERR_NOERROR},     {-EBUSY, MMSYSERR_ALLOCATED},    {-EACCES, MMSYSERR_ERROR},
      {-EPERM, MMSYSERR_ERROR},  {-ENODEV, MMSYSERR_BADDEVICEID}, {-ENOENT, MMSYSERR_BADDEVICEID},
      {-ENOMEM, MMSYSERR_NOMEM}, {-EIO, MMSYSERR_ERROR},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OpenErrorToResult(c.error), c.result) << c.error;
  }
}

}  // namespace
}  // namespace tamblet::midi::alsa
