#pragma once
// What the kernel tells about a rawmidi substream in /proc/asound/cardC/midiD:
// who holds it, and how much room its output buffer has.

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/device_identity.h"
#include "midi/alsa/rawmidi_ports.h"
#include "midi/midi_layer.h"

namespace tamblet::midi::alsa {

struct SubstreamState {
  std::optional<uint32_t> owner_pid;    // only while someone holds it
  std::optional<uint32_t> buffer_size;  // likewise
  std::optional<uint32_t> avail;
  bool operator==(const SubstreamState&) const = default;
};

// The substream's entry in the text of a card's midiD file ("Output S" for the
// port we write to, "Input S" for the one we read from); nothing when it has none.
std::optional<SubstreamState> ParseRawmidiProc(std::string_view text, PortDirection direction,
                                               uint32_t subdevice);

// The same, read from the running kernel.
std::optional<SubstreamState> ReadRawmidiState(const RawmidiAddress& address,
                                               PortDirection direction);

// The program that holds the substream now, when its process can be named.
std::optional<PortHolder> FindRawmidiHolder(const RawmidiAddress& address, PortDirection direction);

}  // namespace tamblet::midi::alsa
