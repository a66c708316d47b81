#pragma once
// Several MIDI layers shown as one: the ports of the first layer, then those of
// the second, and so on, numbered per direction. Every call is forwarded to the
// layer that owns the port; handles are passed through unchanged, so callbacks
// carry the same handle the caller holds.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "midi/midi_layer.h"

namespace tamblet::midi {

struct LocalIndex {
  size_t layer;
  uint32_t index;
  bool operator==(const LocalIndex&) const = default;
};

// Which layer a global port index falls in, given each layer's port count.
std::optional<LocalIndex> MapGlobalIndex(std::span<const uint32_t> counts, uint32_t index);

class CompositeMidiLayer : public MidiLayer {
 public:
  explicit CompositeMidiLayer(std::vector<std::unique_ptr<MidiLayer>> layers);

  uint32_t OutGetNumDevs() override;
  MMRESULT OutGetDevCaps(uint32_t index, MidiCaps* caps) override;
  uint32_t InGetNumDevs() override;
  MMRESULT InGetDevCaps(uint32_t index, MidiCaps* caps) override;

  MMRESULT OutOpen(PortHandle* port, uint32_t index, MidiCallback callback,
                   uintptr_t instance) override;
  MMRESULT OutPrepareHeader(PortHandle port, MIDIHDR* header) override;
  MMRESULT OutUnprepareHeader(PortHandle port, MIDIHDR* header) override;
  MMRESULT OutLongMsg(PortHandle port, MIDIHDR* header) override;
  MMRESULT OutReset(PortHandle port) override;
  MMRESULT OutClose(PortHandle port) override;

  MMRESULT InOpen(PortHandle* port, uint32_t index, MidiCallback callback,
                  uintptr_t instance) override;
  MMRESULT InPrepareHeader(PortHandle port, MIDIHDR* header) override;
  MMRESULT InUnprepareHeader(PortHandle port, MIDIHDR* header) override;
  MMRESULT InAddBuffer(PortHandle port, MIDIHDR* header) override;
  MMRESULT InStart(PortHandle port) override;
  MMRESULT InStop(PortHandle port) override;
  MMRESULT InReset(PortHandle port) override;
  MMRESULT InClose(PortHandle port) override;
  std::optional<PortHolder> OutGetHolder(uint32_t index) override;
  std::optional<PortHolder> InGetHolder(uint32_t index) override;

 private:
  enum Dir { kOut = 0, kIn = 1 };
  const std::vector<uint32_t>& Counts(Dir dir);
  std::optional<LocalIndex> Locate(Dir dir, uint32_t index);
  MMRESULT Open(Dir dir, PortHandle* port, uint32_t index, MidiCallback callback,
                uintptr_t instance);
  MidiLayer* Owner(Dir dir, PortHandle port);
  void Forget(Dir dir, PortHandle port);
  template <typename Call>
  MMRESULT Forward(Dir dir, PortHandle port, Call call) {
    MidiLayer* layer = Owner(dir, port);
    return layer == nullptr ? MMSYSERR_INVALHANDLE : call(*layer);
  }

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
