#pragma once
// Several MIDI layers shown as one: the ports of the first layer, then those of
// the second, and so on, numbered per direction. Handles are passed through
// unchanged, so callbacks carry the same handle the caller holds; each open
// one is remembered with the layer that owns it.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "midi/forwarding_midi_layer.h"

namespace tamblet::midi {

struct LocalIndex {
  size_t layer;
  uint32_t index;
  bool operator==(const LocalIndex&) const = default;
};

// Which layer a global port index falls in, given each layer's port count.
std::optional<LocalIndex> MapGlobalIndex(std::span<const uint32_t> counts, uint32_t index);

class CompositeMidiLayer : public ForwardingMidiLayer {
 public:
  explicit CompositeMidiLayer(std::vector<std::unique_ptr<MidiLayer>> layers);

 protected:
  uint32_t Count(PortDirection direction) override;
  std::optional<Target> Locate(PortDirection direction, uint32_t index) override;
  MidiLayer* Owner(PortDirection direction, PortHandle port) override;
  bool Adopt(PortDirection direction, PortHandle port, MidiLayer& layer) override;
  void Forget(PortDirection direction, PortHandle port) override;

 private:
  const std::vector<uint32_t>& Counts(PortDirection direction);

  std::vector<std::unique_ptr<MidiLayer>> layers_;
  std::mutex counts_mutex_;
  std::optional<std::vector<uint32_t>> counts_[2];  // per layer, as first counted
  // Open handles per direction. Calls on a port may come from a backend's
  // callback thread (re-queueing a buffer), so the map has its own lock, held
  // only for the look-up, never across a forwarded call.
  std::mutex mutex_;
  std::map<PortHandle, MidiLayer*> open_[2];
};

}  // namespace tamblet::midi
