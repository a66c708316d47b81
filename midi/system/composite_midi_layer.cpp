#include "midi/system/composite_midi_layer.h"

namespace tamblet::midi {

std::optional<LocalIndex> MapGlobalIndex(std::span<const uint32_t> counts, uint32_t index) {
  for (size_t layer = 0; layer < counts.size(); ++layer) {
    if (index < counts[layer]) {
      return LocalIndex{layer, index};
    }
    index -= counts[layer];
  }
  return std::nullopt;
}

CompositeMidiLayer::CompositeMidiLayer(std::vector<std::unique_ptr<MidiLayer>> layers)
    : layers_(std::move(layers)) {}

// An index means what it meant when the ports were counted: the counts are
// taken once and kept, so a layer whose list grows later cannot shift the
// ports of the layers after it.
const std::vector<uint32_t>& CompositeMidiLayer::Counts(Dir dir) {
  std::lock_guard<std::mutex> lock(counts_mutex_);
  if (!counts_[dir]) {
    std::vector<uint32_t> counts;
    counts.reserve(layers_.size());
    for (auto& layer : layers_) {
      counts.push_back(dir == kOut ? layer->OutGetNumDevs() : layer->InGetNumDevs());
    }
    counts_[dir] = std::move(counts);
  }
  return *counts_[dir];
}

std::optional<LocalIndex> CompositeMidiLayer::Locate(Dir dir, uint32_t index) {
  return MapGlobalIndex(Counts(dir), index);
}

uint32_t CompositeMidiLayer::OutGetNumDevs() {
  uint32_t total = 0;
  for (const uint32_t count : Counts(kOut)) {
    total += count;
  }
  return total;
}

uint32_t CompositeMidiLayer::InGetNumDevs() {
  uint32_t total = 0;
  for (const uint32_t count : Counts(kIn)) {
    total += count;
  }
  return total;
}

MMRESULT CompositeMidiLayer::OutGetDevCaps(uint32_t index, MidiCaps* caps) {
  const auto local = Locate(kOut, index);
  if (!local) {
    return MMSYSERR_BADDEVICEID;
  }
  return layers_[local->layer]->OutGetDevCaps(local->index, caps);
}

MMRESULT CompositeMidiLayer::InGetDevCaps(uint32_t index, MidiCaps* caps) {
  const auto local = Locate(kIn, index);
  if (!local) {
    return MMSYSERR_BADDEVICEID;
  }
  return layers_[local->layer]->InGetDevCaps(local->index, caps);
}

std::optional<PortHolder> CompositeMidiLayer::OutGetHolder(uint32_t index) {
  const auto local = Locate(kOut, index);
  return local ? layers_[local->layer]->OutGetHolder(local->index) : std::nullopt;
}

std::optional<PortHolder> CompositeMidiLayer::InGetHolder(uint32_t index) {
  const auto local = Locate(kIn, index);
  return local ? layers_[local->layer]->InGetHolder(local->index) : std::nullopt;
}

MMRESULT CompositeMidiLayer::Open(Dir dir, PortHandle* port, uint32_t index, MidiCallback callback,
                                  uintptr_t instance) {
  if (port == nullptr) {
    return MMSYSERR_INVALPARAM;
  }
  const auto local = Locate(dir, index);
  if (!local) {
    return MMSYSERR_BADDEVICEID;
  }
  MidiLayer* layer = layers_[local->layer].get();
  PortHandle handle = nullptr;
  const MMRESULT result = dir == kOut ? layer->OutOpen(&handle, local->index, callback, instance)
                                      : layer->InOpen(&handle, local->index, callback, instance);
  if (result != MMSYSERR_NOERROR) {
    return result;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Two layers handing out the same handle value at once could not be told
    // apart; refuse the second rather than misroute its calls.
    if (open_[dir].emplace(handle, layer).second) {
      *port = handle;
      return MMSYSERR_NOERROR;
    }
  }
  if (dir == kOut) {
    layer->OutClose(handle);
  } else {
    layer->InClose(handle);
  }
  return MMSYSERR_ERROR;
}

MidiLayer* CompositeMidiLayer::Owner(Dir dir, PortHandle port) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = open_[dir].find(port);
  return it == open_[dir].end() ? nullptr : it->second;
}

void CompositeMidiLayer::Forget(Dir dir, PortHandle port) {
  std::lock_guard<std::mutex> lock(mutex_);
  open_[dir].erase(port);
}

MMRESULT CompositeMidiLayer::OutOpen(PortHandle* port, uint32_t index, MidiCallback callback,
                                     uintptr_t instance) {
  return Open(kOut, port, index, callback, instance);
}

MMRESULT CompositeMidiLayer::InOpen(PortHandle* port, uint32_t index, MidiCallback callback,
                                    uintptr_t instance) {
  return Open(kIn, port, index, callback, instance);
}

MMRESULT CompositeMidiLayer::OutPrepareHeader(PortHandle port, MIDIHDR* header) {
  return Forward(kOut, port,
                 [&](MidiLayer& layer) { return layer.OutPrepareHeader(port, header); });
}
MMRESULT CompositeMidiLayer::OutUnprepareHeader(PortHandle port, MIDIHDR* header) {
  return Forward(kOut, port,
                 [&](MidiLayer& layer) { return layer.OutUnprepareHeader(port, header); });
}
MMRESULT CompositeMidiLayer::OutLongMsg(PortHandle port, MIDIHDR* header) {
  return Forward(kOut, port, [&](MidiLayer& layer) { return layer.OutLongMsg(port, header); });
}
MMRESULT CompositeMidiLayer::OutReset(PortHandle port) {
  return Forward(kOut, port, [&](MidiLayer& layer) { return layer.OutReset(port); });
}
MMRESULT CompositeMidiLayer::InPrepareHeader(PortHandle port, MIDIHDR* header) {
  return Forward(kIn, port, [&](MidiLayer& layer) { return layer.InPrepareHeader(port, header); });
}
MMRESULT CompositeMidiLayer::InUnprepareHeader(PortHandle port, MIDIHDR* header) {
  return Forward(kIn, port,
                 [&](MidiLayer& layer) { return layer.InUnprepareHeader(port, header); });
}
MMRESULT CompositeMidiLayer::InAddBuffer(PortHandle port, MIDIHDR* header) {
  return Forward(kIn, port, [&](MidiLayer& layer) { return layer.InAddBuffer(port, header); });
}
MMRESULT CompositeMidiLayer::InStart(PortHandle port) {
  return Forward(kIn, port, [&](MidiLayer& layer) { return layer.InStart(port); });
}
MMRESULT CompositeMidiLayer::InStop(PortHandle port) {
  return Forward(kIn, port, [&](MidiLayer& layer) { return layer.InStop(port); });
}
MMRESULT CompositeMidiLayer::InReset(PortHandle port) {
  return Forward(kIn, port, [&](MidiLayer& layer) { return layer.InReset(port); });
}

// The handle stays known until the backend's close has returned: callbacks
// still running during the close may call back into the port.
MMRESULT CompositeMidiLayer::OutClose(PortHandle port) {
  MidiLayer* layer = Owner(kOut, port);
  if (layer == nullptr) {
    return MMSYSERR_INVALHANDLE;
  }
  const MMRESULT result = layer->OutClose(port);
  if (result == MMSYSERR_NOERROR) {
    Forget(kOut, port);
  }
  return result;
}

MMRESULT CompositeMidiLayer::InClose(PortHandle port) {
  MidiLayer* layer = Owner(kIn, port);
  if (layer == nullptr) {
    return MMSYSERR_INVALHANDLE;
  }
  const MMRESULT result = layer->InClose(port);
  if (result == MMSYSERR_NOERROR) {
    Forget(kIn, port);
  }
  return result;
}

}  // namespace tamblet::midi
