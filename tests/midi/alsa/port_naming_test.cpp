// How rawmidi ports are named, judged by the rule that finds the device's.

#include "midi/alsa/port_naming.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "instruments/port_rule.h"

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

}  // namespace
}  // namespace tamblet::midi::alsa
