#pragma once
// How a rawmidi port is described to discovery. The maker's USB-MIDI device
// shows up as a card whose name begins with the maker's word; its ports get the
// ids and names the device's own driver would give them, so that the one
// acceptance rule finds them. Every other port keeps its own name and ids that
// never match.

#include <cstdint>
#include <string_view>

#include "midi/midi_layer.h"

namespace tamblet::midi::alsa {

enum class Direction { kOutput, kInput };

inline constexpr std::string_view kMakerCardPrefix = "QELMAR ";
inline constexpr uint16_t kMakerMid = 37;
inline constexpr uint16_t kMakerOutputPid = 4;
inline constexpr uint16_t kMakerInputPid = 5;

// `number` counts the card's ports of that direction from 1. The port's own
// name is the subdevice name, else the device name, else the card name. Names
// are cut to 32 bytes; a name of 32 bytes or more has no terminating NUL.
MidiCaps DescribeRawmidiPort(std::string_view card_name, std::string_view device_name,
                             std::string_view subdevice_name, Direction direction, uint32_t number);

}  // namespace tamblet::midi::alsa
