#pragma once
// Simulated instruments on the in-process driver, wired as the program finds a
// real one: the driver's OUT and IN ports carry the device's ids and names and
// lead to the device (or any Peer).
//
//   test::SimulatedInstrument rig({"MODEL-X", 0x20000});  // the device's config
//   CSysExPort port(rig.midi, rig.waits);                 // declared after the rig
//   ASSERT_TRUE(port.Open(rig.out, rig.in));
//   ... rig.device.flash(), rig.peer.commands()
//
// Several instruments (SimulatedInstruments) have a driver each, as cards do,
// and are listed through one layer.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "midi/system/composite_midi_layer.h"
#include "sim/device.h"
#include "sim/simulated_midi.h"
#include "tests/support/endless_device.h"
#include "tests/support/fast_waits.h"
#include "tests/support/settled_waits.h"

namespace tamblet::test {

struct InstrumentPorts {
  std::string card = "QELMAR SIM";             // the ports "<card> OUT 1" and "<card> IN 1"
  std::vector<midi::MidiCaps> outputs_before;  // other programs' outputs, listed first
  bool real_time = false;  // device delays last as stated, not a thousandth of it
};

inline midi::MidiCaps OtherOutput(std::string_view name) { return midi::MakeCaps(1, 1, name); }

// A driver with one instrument's ports, leading to `peer`.
struct InstrumentDriver {
  explicit InstrumentDriver(midi::Peer& peer, const InstrumentPorts& ports = {})
      : layer(
            std::make_unique<midi::SimulatedMidi>(ports.real_time ? RealTimeWaits() : fast_waits)) {
    for (const auto& caps : ports.outputs_before) midi.AddOutPort(caps);
    out = midi.AddOutPort(midi::MakeCaps(kMakerMid, kDeviceOutputPid, ports.card + " OUT 1"));
    in = midi.AddInPort(midi::MakeCaps(kMakerMid, kDeviceInputPid, ports.card + " IN 1"));
    Connect(peer);
  }
  void Connect(midi::Peer& peer) { midi.Connect(&peer, out, in); }  // another device behind them
  bool Closed() const { return !midi.IsOutOpen(out) && !midi.IsInOpen(in); }

  FastWaits fast_waits;
  // Owned here, or by the layer of several it was handed to.
  std::unique_ptr<midi::SimulatedMidi> layer;
  midi::SimulatedMidi& midi = *layer;
  uint32_t out = 0, in = 0;
  // The program's side: a coming reply arrives, a missing one times out at once.
  SettledWaits waits{[this] { midi.Drain(); }};
};

// The simulated device behind `peer`: EndlessDevice sees each request first and
// can keep an operation running; PeerFor costs a benchmark nothing.
template <typename DevicePeer>
struct DeviceAndPeer {
  explicit DeviceAndPeer(sim::DeviceConfig config) : device(std::move(config)) {}
  sim::Device device;
  DevicePeer peer{device};
};

template <typename DevicePeer = EndlessDevice>
struct BasicInstrument : DeviceAndPeer<DevicePeer>, InstrumentDriver {
  explicit BasicInstrument(sim::DeviceConfig config = {}, const InstrumentPorts& ports = {})
      : DeviceAndPeer<DevicePeer>(std::move(config)), InstrumentDriver(this->peer, ports) {}
};

// Instruments "<card>1" to "<card>N", or named `cards`, each a `config` device
// on a driver of its own, listed through `layer` after `outputs_before`.
template <typename DevicePeer = EndlessDevice>
struct BasicInstruments {
  BasicInstruments(int count, const sim::DeviceConfig& config, const InstrumentPorts& ports = {})
      : BasicInstruments(Cards(ports.card, count), config, ports) {}
  BasicInstruments(const std::vector<std::string>& cards, const sim::DeviceConfig& config,
                   const InstrumentPorts& ports = {}) {
    std::vector<std::unique_ptr<midi::MidiLayer>> layers;
    if (!ports.outputs_before.empty()) {
      auto other = std::make_unique<midi::SimulatedMidi>();
      for (const auto& caps : ports.outputs_before) other->AddOutPort(caps);
      layers.push_back(std::move(other));
    }
    for (const std::string& card : cards) {
      instruments.push_back(std::make_unique<BasicInstrument<DevicePeer>>(
          config, InstrumentPorts{card, {}, ports.real_time}));
      layers.push_back(std::move(instruments.back()->layer));
    }
    layer = std::make_unique<midi::CompositeMidiLayer>(std::move(layers));
  }
  static std::vector<std::string> Cards(const std::string& card, int count) {
    std::vector<std::string> cards;
    for (int k = 1; k <= count; ++k) cards.push_back(card + std::to_string(k));
    return cards;
  }
  BasicInstrument<DevicePeer>& operator[](size_t k) { return *instruments[k]; }

  std::vector<std::unique_ptr<BasicInstrument<DevicePeer>>> instruments;
  std::unique_ptr<midi::MidiLayer> layer;  // owns their drivers, so it goes first
  SettledWaits waits{[this] {
    for (auto& instrument : instruments) instrument->midi.Drain();
  }};
};

using SimulatedInstrument = BasicInstrument<EndlessDevice>;
using SimulatedInstruments = BasicInstruments<EndlessDevice>;

}  // namespace tamblet::test
