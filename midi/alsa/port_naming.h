#pragma once
// How a rawmidi port is described to discovery: the device's cards get the
// device's records (base/device_identity.h), every other port its own name.

#include <cstdint>
#include <string_view>

#include "midi/midi_header.h"
#include "midi/midi_layer.h"

namespace tamblet::midi::alsa {

struct CardNames {
  std::string_view name;       // short name: a USB card's product string
  std::string_view long_name;  // begins with a USB card's manufacturer string
};

// `number` counts the card's ports of that direction from 1. Another card's
// port is named by its subdevice, else its device, else the card.
MidiCaps DescribeRawmidiPort(const CardNames& card, std::string_view device_name,
                             std::string_view subdevice_name, PortDirection direction,
                             uint32_t number);

}  // namespace tamblet::midi::alsa
