#pragma once
// The device's identity, in one place: which cards or clients are the maker's
// device, and the capability records their ports get so that discovery's
// acceptance rule finds them. Every other port keeps its own name and ids that
// never match.

#include <cstdint>
#include <string_view>

#include "midi/midi_layer.h"

namespace tamblet::midi {

inline constexpr std::string_view kMakerPrefix = "QELMAR ";
inline constexpr uint16_t kMakerMid = 37;
inline constexpr uint16_t kDeviceOutputPid = 4;  // the port the program writes to
inline constexpr uint16_t kDeviceInputPid = 5;   // the port it reads from

enum class PortDirection { kOutput, kInput };

// A USB card's short name is its product string and its long name begins with
// the manufacturer string: either may carry the maker's word.
bool IsDeviceName(std::string_view product, std::string_view long_name = {});

// "QELMAR <model> OUT <n>" / "QELMAR <model> IN <n>" with the device's ids. The
// model is the product without the maker's word, its spaces made '-' (the
// acceptance rule reads the model up to the first space), shortened so that
// the whole name and its NUL fit the record.
MidiCaps DeviceCaps(std::string_view product, PortDirection direction, uint32_t number);

// Ids 0/0 and the port's own name, cut to the record's 32 bytes.
MidiCaps ForeignCaps(std::string_view name);

}  // namespace tamblet::midi
