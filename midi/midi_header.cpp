#include "midi/midi_header.h"

#include <cstring>

namespace tamblet::midi {

static_assert(sizeof(MidiCaps::szPname) == kPortNameBytes);

MMRESULT PrepareHeader(MIDIHDR* header) {
  if (header == nullptr || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags |= MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT UnprepareHeader(MIDIHDR* header) {
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags &= ~MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT CheckQueueable(const MIDIHDR* header) {
  if (header == nullptr || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
  if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  return MMSYSERR_NOERROR;
}

void MarkQueued(MIDIHDR* header) {
  header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
}

void MarkDone(MIDIHDR* header) { header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE; }

bool IsWholeSysEx(std::span<const uint8_t> bytes) {
  return bytes.size() >= 2 && bytes.front() == 0xF0 && bytes.back() == 0xF7;
}

MidiCaps MakeCaps(uint16_t mid, uint16_t pid, std::string_view name) {
  MidiCaps caps;
  caps.wMid = mid;
  caps.wPid = pid;
  std::memcpy(caps.szPname, name.data(), Utf8PrefixLength(name, sizeof caps.szPname));
  return caps;
}

MidiCaps DeviceCaps(std::string_view product, PortDirection direction, uint32_t number) {
  return MakeCaps(kMakerMid,
                  direction == PortDirection::kOutput ? kDeviceOutputPid : kDeviceInputPid,
                  DevicePortName(product, direction, number));
}

MidiCaps ForeignCaps(std::string_view name) { return MakeCaps(0, 0, name); }

}  // namespace tamblet::midi
