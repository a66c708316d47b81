#include "midi/forwarding_midi_layer.h"

namespace tamblet::midi {

namespace {
constexpr PortDirection kOut = PortDirection::kOutput;
constexpr PortDirection kIn = PortDirection::kInput;
}  // namespace

uint32_t ForwardingMidiLayer::OutGetNumDevs() { return Count(kOut); }
uint32_t ForwardingMidiLayer::InGetNumDevs() { return Count(kIn); }

MMRESULT ForwardingMidiLayer::OutGetDevCaps(uint32_t index, MidiCaps* caps) {
  const auto target = Locate(kOut, index);
  return target ? target->layer->OutGetDevCaps(target->index, caps) : MMSYSERR_BADDEVICEID;
}

MMRESULT ForwardingMidiLayer::InGetDevCaps(uint32_t index, MidiCaps* caps) {
  const auto target = Locate(kIn, index);
  return target ? target->layer->InGetDevCaps(target->index, caps) : MMSYSERR_BADDEVICEID;
}

std::optional<PortHolder> ForwardingMidiLayer::OutGetHolder(uint32_t index) {
  const auto target = Locate(kOut, index);
  return target ? target->layer->OutGetHolder(target->index) : std::nullopt;
}

std::optional<PortHolder> ForwardingMidiLayer::InGetHolder(uint32_t index) {
  const auto target = Locate(kIn, index);
  return target ? target->layer->InGetHolder(target->index) : std::nullopt;
}

std::optional<std::string> ForwardingMidiLayer::OutGetNonRealTimeServer(uint32_t index) {
  const auto target = Locate(kOut, index);
  return target ? target->layer->OutGetNonRealTimeServer(target->index) : std::nullopt;
}

std::optional<std::string> ForwardingMidiLayer::InGetNonRealTimeServer(uint32_t index) {
  const auto target = Locate(kIn, index);
  return target ? target->layer->InGetNonRealTimeServer(target->index) : std::nullopt;
}

MMRESULT ForwardingMidiLayer::Open(PortDirection direction, PortHandle* port, uint32_t index,
                                   MidiCallback callback, uintptr_t instance) {
  if (port == nullptr) return MMSYSERR_INVALPARAM;
  const auto target = Locate(direction, index);
  if (!target) return MMSYSERR_BADDEVICEID;
  MidiLayer& layer = *target->layer;
  PortHandle handle = nullptr;
  const MMRESULT result = direction == kOut
                              ? layer.OutOpen(&handle, target->index, callback, instance)
                              : layer.InOpen(&handle, target->index, callback, instance);
  if (result != MMSYSERR_NOERROR) return result;
  if (Adopt(direction, handle, layer)) {
    *port = handle;
    return MMSYSERR_NOERROR;
  }
  if (direction == kOut) {
    layer.OutClose(handle);
  } else {
    layer.InClose(handle);
  }
  return MMSYSERR_ERROR;
}

// The handle stays known until the inner close has returned: callbacks still
// running during the close may call back into the port.
MMRESULT ForwardingMidiLayer::Close(PortDirection direction, PortHandle port) {
  MidiLayer* layer = Owner(direction, port);
  if (layer == nullptr) return MMSYSERR_INVALHANDLE;
  const MMRESULT result = direction == kOut ? layer->OutClose(port) : layer->InClose(port);
  if (result == MMSYSERR_NOERROR) Forget(direction, port);
  return result;
}

MMRESULT ForwardingMidiLayer::OutOpen(PortHandle* port, uint32_t index, MidiCallback callback,
                                      uintptr_t instance) {
  return Open(kOut, port, index, callback, instance);
}

MMRESULT ForwardingMidiLayer::InOpen(PortHandle* port, uint32_t index, MidiCallback callback,
                                     uintptr_t instance) {
  return Open(kIn, port, index, callback, instance);
}

MMRESULT ForwardingMidiLayer::OutClose(PortHandle port) { return Close(kOut, port); }
MMRESULT ForwardingMidiLayer::InClose(PortHandle port) { return Close(kIn, port); }

MMRESULT ForwardingMidiLayer::OutPrepareHeader(PortHandle port, MIDIHDR* header) {
  return Forward(kOut, port,
                 [&](MidiLayer& layer) { return layer.OutPrepareHeader(port, header); });
}
MMRESULT ForwardingMidiLayer::OutUnprepareHeader(PortHandle port, MIDIHDR* header) {
  return Forward(kOut, port,
                 [&](MidiLayer& layer) { return layer.OutUnprepareHeader(port, header); });
}
MMRESULT ForwardingMidiLayer::OutLongMsg(PortHandle port, MIDIHDR* header) {
  return Forward(kOut, port, [&](MidiLayer& layer) { return layer.OutLongMsg(port, header); });
}
MMRESULT ForwardingMidiLayer::OutReset(PortHandle port) {
  return Forward(kOut, port, [&](MidiLayer& layer) { return layer.OutReset(port); });
}
MMRESULT ForwardingMidiLayer::InPrepareHeader(PortHandle port, MIDIHDR* header) {
  return Forward(kIn, port, [&](MidiLayer& layer) { return layer.InPrepareHeader(port, header); });
}
MMRESULT ForwardingMidiLayer::InUnprepareHeader(PortHandle port, MIDIHDR* header) {
  return Forward(kIn, port,
                 [&](MidiLayer& layer) { return layer.InUnprepareHeader(port, header); });
}
MMRESULT ForwardingMidiLayer::InAddBuffer(PortHandle port, MIDIHDR* header) {
  return Forward(kIn, port, [&](MidiLayer& layer) { return layer.InAddBuffer(port, header); });
}
MMRESULT ForwardingMidiLayer::InStart(PortHandle port) {
  return Forward(kIn, port, [&](MidiLayer& layer) { return layer.InStart(port); });
}
MMRESULT ForwardingMidiLayer::InStop(PortHandle port) {
  return Forward(kIn, port, [&](MidiLayer& layer) { return layer.InStop(port); });
}
MMRESULT ForwardingMidiLayer::InReset(PortHandle port) {
  return Forward(kIn, port, [&](MidiLayer& layer) { return layer.InReset(port); });
}

}  // namespace tamblet::midi
