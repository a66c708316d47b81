#pragma once
// What every backend does alike with the buffers and records it hands over:
// the header flags, the test for a whole SysEx message, and capability records.

#include <cstdint>
#include <span>
#include <string_view>

#include "base/device_identity.h"
#include "midi/midi_layer.h"

namespace tamblet::midi {

// Null header or no data: MMSYSERR_INVALPARAM; queued: MIDIERR_STILLPLAYING.
MMRESULT PrepareHeader(MIDIHDR* header);
MMRESULT UnprepareHeader(MIDIHDR* header);
// Whether a header may be queued for sending or receiving: it must have data,
// be prepared and not already be queued.
MMRESULT CheckQueueable(const MIDIHDR* header);
void MarkQueued(MIDIHDR* header);
void MarkDone(MIDIHDR* header);

// F0 ... F7, two bytes at least.
bool IsWholeSysEx(std::span<const uint8_t> bytes);

// A longer name is cut on a character boundary; one of 32 bytes fills the
// field without a terminating NUL.
MidiCaps MakeCaps(uint16_t mid, uint16_t pid, std::string_view name);
// The device's ports get its ids and a name formed by DevicePortName.
MidiCaps DeviceCaps(std::string_view product, PortDirection direction, uint32_t number);
// Ids 0/0 and the port's own name.
MidiCaps ForeignCaps(std::string_view name);

}  // namespace tamblet::midi
