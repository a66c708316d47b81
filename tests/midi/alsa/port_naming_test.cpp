// How ports are described and listed: the rawmidi naming rule, open errors, and
// the combined list of every backend's ports.

#include "midi/alsa/port_naming.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "app/port_discovery.h"
#include "midi/system/composite_midi_layer.h"
#include "sim/simulated_midi.h"

namespace tamblet::midi::alsa {
namespace {

constexpr PortDirection kOut = PortDirection::kOutput, kIn = PortDirection::kInput;

std::string Padded(std::string name) { return name.append(32 - name.size(), '\0'); }

// Each record goes through the real acceptance rule: the device's ports must be
// found whatever the product is called, every other port never.
TEST(RawmidiPortNaming, TableThroughTheAcceptanceRule) {
  const std::string kAt = " at usb-dummy_hcd.0-1, high speed";
  const struct {
    std::string card, long_name;
    const char *device, *subdevice;
    PortDirection direction;
    uint32_t number;
    bool ours;         // named and numbered as the device's port
    std::string name;  // the record's name, NUL-padded to 32 bytes
  } cases[] = {
      {"QELMAR ABC", "QELMAR ABC" + kAt, "ABC MIDI", "ABC MIDI 1", kOut, 1, true,
       "QELMAR ABC OUT 1"},
      // Several words after the maker's: the model keeps them, joined.
      {"QELMAR USB MIDI", "QELMAR QELMAR USB MIDI" + kAt, "", "", kIn, 1, true,
       "QELMAR USB-MIDI IN 1"},
      // The maker only in the manufacturer string, which the long name begins with.
      {"XY-1", "QELMAR XY-1" + kAt, "XY-1 MIDI 1", "", kOut, 2, true, "QELMAR XY-1 OUT 2"},
      // A long model is shortened alike in both directions; the name keeps its
      // number and a NUL.
      {"QELMAR ABCDEFGHIJKLMNOPQRSTUVW", "", "", "", kOut, 3, true,
       "QELMAR ABCDEFGHIJKLMNOPQ OUT 3"},
      {"QELMAR A B C D E F G H I J K L M", "", "", "", kIn, 10, true,
       "QELMAR A-B-C-D-E-F-G-H-I IN 10"},
      // Other cards: their own names and ids that never match.
      {"qelmar ABC", "qelmar ABC" + kAt, "dev", "sub", kOut, 1, false, "sub"},
      {"QELMAR", "Vendor QELMAR" + kAt, "dev", "sub", kOut, 1, false, "sub"},
      {"Other Synth", "Other Synth", "Synth MIDI", "", kIn, 1, false, "Synth MIDI"},
      {"Other Synth", "", "", "", kIn, 1, false, "Other Synth"},
      {"Other", "", "", "A subdevice name well over thirty-two bytes", kOut, 1, false,
       "A subdevice name well over thirt"},
      {"Other", "", "", "QELMAR ABC OUT 1", kOut, 1, false, "QELMAR ABC OUT 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.card);
    const MidiCaps caps =
        DescribeRawmidiPort({c.card, c.long_name}, c.device, c.subdevice, c.direction, c.number);
    const bool out = c.direction == kOut;
    const int pid = c.ours ? (out ? 4 : 5) : 0;
    EXPECT_EQ(std::tuple(caps.wMid, caps.wPid, std::string(caps.szPname, sizeof(caps.szPname))),
              std::tuple(c.ours ? 37 : 0, pid, Padded(c.name)));
    EXPECT_EQ(AcceptPort(caps, out ? kOut : kIn), c.ours);
    EXPECT_FALSE(AcceptPort(caps, out ? kIn : kOut));
  }
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
  grows->AddOutPort(MakeCaps(1, 1, "synth"));
  device->AddOutPort(MakeCaps(kMakerMid, kDeviceOutputPid, "QELMAR A OUT 1"));
  std::vector<std::unique_ptr<MidiLayer>> layers;
  layers.push_back(std::move(first));
  layers.push_back(std::move(second));
  CompositeMidiLayer system(std::move(layers));
  ASSERT_EQ(system.OutGetNumDevs(), 2u);
  grows->AddOutPort(MakeCaps(1, 1, "late"));
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
