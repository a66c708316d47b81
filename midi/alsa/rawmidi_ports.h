#pragma once
// Enumeration of the rawmidi ports of every ALSA card.

#include <string>
#include <vector>

#include "midi/alsa/port_naming.h"
#include "midi/midi_layer.h"

namespace tamblet::midi::alsa {

struct RawmidiAddress {
  int card = 0;
  int device = 0;
  int subdevice = 0;
};

struct RawmidiPort {
  std::string device;  // "hw:C,D,S", what snd_rawmidi_open takes
  RawmidiAddress address;
  std::string lock;  // its DeviceLock name, shared by every path to this port
  MidiCaps caps;
};

struct RawmidiPortList {
  std::vector<RawmidiPort> outputs;  // ports we write to
  std::vector<RawmidiPort> inputs;   // ports we read from
};

// The DeviceLock name of one port of one card's device and subdevice. Another
// way to the same port (the sequencer, say) takes the same name.
std::string AlsaPortLockName(int card, int device, int subdevice, PortDirection direction);

// Every card, every rawmidi device, every subdevice, in that order. Cards that
// cannot be opened or queried are skipped: they have no port we could use.
RawmidiPortList EnumerateRawmidiPorts();

}  // namespace tamblet::midi::alsa
