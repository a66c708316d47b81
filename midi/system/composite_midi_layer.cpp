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
const std::vector<uint32_t>& CompositeMidiLayer::Counts(PortDirection direction) {
  const auto d = static_cast<size_t>(direction);
  std::lock_guard<std::mutex> lock(counts_mutex_);
  if (!counts_[d]) {
    std::vector<uint32_t> counts;
    counts.reserve(layers_.size());
    for (auto& layer : layers_) {
      counts.push_back(direction == PortDirection::kOutput ? layer->OutGetNumDevs()
                                                           : layer->InGetNumDevs());
    }
    counts_[d] = std::move(counts);
  }
  return *counts_[d];
}

uint32_t CompositeMidiLayer::Count(PortDirection direction) {
  uint32_t total = 0;
  for (const uint32_t count : Counts(direction)) {
    total += count;
  }
  return total;
}

std::optional<ForwardingMidiLayer::Target> CompositeMidiLayer::Locate(PortDirection direction,
                                                                      uint32_t index) {
  const auto local = MapGlobalIndex(Counts(direction), index);
  if (!local) return std::nullopt;
  return Target{layers_[local->layer].get(), local->index};
}

MidiLayer* CompositeMidiLayer::Owner(PortDirection direction, PortHandle port) {
  auto& open = open_[static_cast<size_t>(direction)];
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = open.find(port);
  return it == open.end() ? nullptr : it->second;
}

// Two layers handing out the same handle value at once could not be told
// apart; the second is refused rather than have its calls misrouted.
bool CompositeMidiLayer::Adopt(PortDirection direction, PortHandle port, MidiLayer& layer) {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_[static_cast<size_t>(direction)].emplace(port, &layer).second;
}

void CompositeMidiLayer::Forget(PortDirection direction, PortHandle port) {
  std::lock_guard<std::mutex> lock(mutex_);
  open_[static_cast<size_t>(direction)].erase(port);
}

}  // namespace tamblet::midi
