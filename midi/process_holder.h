#pragma once
// A process named as the holder of a port or lock, from /proc.

#include <cstdint>
#include <optional>

#include "midi/midi_layer.h"

namespace tamblet::midi {

// The process `pid` with its name (/proc/PID/comm); none for pid 0, for a
// process that has gone, or for one this program may not see.
std::optional<PortHolder> ProcessHolder(uint32_t pid);

}  // namespace tamblet::midi
