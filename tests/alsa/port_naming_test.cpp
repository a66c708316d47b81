// How ports are described and listed: the rawmidi naming rule, open errors, and
// the combined list of every backend's ports.

#include "midi/alsa/port_naming.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>

#include "app/port_discovery.h"
#include "midi/alsa/rawmidi_stream.h"
#include "midi/simulated/simulated_midi.h"
#include "midi/system/composite_midi_layer.h"

namespace tamblet::midi::alsa {
namespace {

constexpr Direction kOut = Direction::kOutput, kIn = Direction::kInput;

std::string Padded(std::string name) { return name.append(32 - name.size(), '\0'); }

TEST(RawmidiPortNaming, TableAndDiscovery) {
  const struct {
    const char *card, *device, *subdevice;
    Direction direction;
    uint32_t number;
    uint16_t mid, pid;
    std::string name;  // all 32 bytes of the record
  } cases[] = {
      {"QELMAR ABC", "ABC MIDI", "ABC MIDI 1", kOut, 1, 37, 4, Padded("QELMAR ABC OUT 1")},
      {"QELMAR ABC", "", "", kIn, 12, 37, 5, Padded("QELMAR ABC IN 12")},
      // Cut to the record's 32 bytes, with no room for a NUL.
      {"QELMAR ABCDEFGHIJKLMNOPQRSTUVW", "", "", kOut, 3, 37, 4,
       "QELMAR ABCDEFGHIJKLMNOPQRSTUVW O"},
      // Other cards: their own names and ids that never match.
      {"qelmar ABC", "dev", "sub", kOut, 1, 0, 0, Padded("sub")},
      {"QELMAR", "dev", "sub", kOut, 1, 0, 0, Padded("sub")},
      {"Other Synth", "Synth MIDI", "", kIn, 1, 0, 0, Padded("Synth MIDI")},
      {"Other Synth", "", "", kIn, 1, 0, 0, Padded("Other Synth")},
      {"Other", "", "A subdevice name well over thirty-two bytes", kOut, 1, 0, 0,
       "A subdevice name well over thirt"},
      {"Other", "", "QELMAR ABC OUT 1", kOut, 1, 0, 0, Padded("QELMAR ABC OUT 1")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.card);
    const MidiCaps caps = DescribeRawmidiPort(c.card, c.device, c.subdevice, c.direction, c.number);
    EXPECT_EQ(std::tuple(caps.wMid, caps.wPid, std::string(caps.szPname, sizeof(caps.szPname))),
              std::tuple(c.mid, c.pid, c.name));
    // Discovery takes the device card's ports whose names were not cut, each in
    // its own direction only.
    const bool out = c.direction == kOut, whole = c.name.back() == '\0';
    EXPECT_EQ(AcceptPort(caps, out ? PortDirection::kOutput : PortDirection::kInput),
              c.mid == 37 && whole);
    EXPECT_FALSE(AcceptPort(caps, out ? PortDirection::kInput : PortDirection::kOutput));
  }
}

TEST(RawmidiPortNaming, OpenErrors) {
  EXPECT_EQ(OpenErrorToResult(-EBUSY), MMSYSERR_ALLOCATED);     // held by another program
  EXPECT_EQ(OpenErrorToResult(-ENODEV), MMSYSERR_BADDEVICEID);  // gone since listed
}

// The combined list is each layer's ports in turn, empty layers skipped.
TEST(CompositeIndexMapping, Table) {
  const struct {
    std::vector<uint32_t> counts;
    uint32_t index;
    std::optional<LocalIndex> expected;
  } cases[] = {
      {{2, 3}, 1, LocalIndex{0, 1}}, {{2, 3}, 2, LocalIndex{1, 0}},
      {{2, 3}, 4, LocalIndex{1, 2}}, {{2, 3}, 5, std::nullopt},
      {{0, 2}, 0, LocalIndex{1, 0}}, {{2, 0, 1}, 2, LocalIndex{2, 0}},
      {{}, 0, std::nullopt},         {{3}, 0xFFFFFFFF, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(MapGlobalIndex(c.counts, c.index), c.expected) << c.index;
}

// An index means the port it meant when counted: a port that a layer gains
// later does not shift the ports of the layers after it.
TEST(CompositeIndexMapping, KeepsTheCountsItFirstGave) {
  auto first = std::make_unique<SimulatedMidi>(), second = std::make_unique<SimulatedMidi>();
  SimulatedMidi *grows = first.get(), *device = second.get();
  grows->AddOutPort(SimulatedMidi::Caps(1, 1, "synth"));
  device->AddOutPort(SimulatedMidi::Caps(37, 4, "QELMAR A OUT 1"));
  std::vector<std::unique_ptr<MidiLayer>> layers;
  layers.push_back(std::move(first));
  layers.push_back(std::move(second));
  CompositeMidiLayer system(std::move(layers));
  ASSERT_EQ(system.OutGetNumDevs(), 2u);
  grows->AddOutPort(SimulatedMidi::Caps(1, 1, "late"));
  EXPECT_EQ(system.OutGetNumDevs(), 2u);
  PortHandle port = nullptr;
  ASSERT_EQ(system.OutOpen(
                &port, 1, [](PortHandle, uint32_t, uintptr_t, uintptr_t, uintptr_t) {}, 0),
            MMSYSERR_NOERROR);
  EXPECT_TRUE(device->IsOutOpen(0));
  system.OutClose(port);
}

}  // namespace
}  // namespace tamblet::midi::alsa
