#pragma once
// The ports the MIDI layer offers, judged by the acceptance rule; the pair the
// window takes; and the instruments they make: the k-th accepted output of a
// card or client with its k-th accepted input.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/device_identity.h"
#include "instruments/card_identity.h"
#include "midi/midi_layer.h"

namespace tamblet {

struct PortEntry {
  uint32_t index = 0;
  std::string name;
  bool accepted = false;
};

struct PortList {
  std::vector<PortEntry> outputs;
  std::vector<PortEntry> inputs;
};

struct Instrument {
  PortEntry output;
  PortEntry input;
  std::string label;  // what names it where it is reported
};

// Ports counted per direction and read one by one, as the caller asks.
class PortSource {
 public:
  virtual ~PortSource() = default;
  virtual uint32_t Count(PortDirection direction) = 0;
  virtual PortEntry Read(PortDirection direction, uint32_t index) = 0;
};

// The layer's ports, each queried when it is read. A port whose record cannot
// be read has an empty name and is never accepted.
class LayerPorts final : public PortSource {
 public:
  explicit LayerPorts(midi::MidiLayer& midi) : midi_(midi) {}
  uint32_t Count(PortDirection direction) override;
  PortEntry Read(PortDirection direction, uint32_t index) override;

 private:
  midi::MidiLayer& midi_;
};

// Every port of both directions, outputs first.
PortList ListPorts(midi::MidiLayer& midi);

struct WindowChoice {
  std::optional<PortEntry> output;
  std::optional<PortEntry> input;
};

// What the window takes: the first accepted output and, only once there is
// one, the first accepted input. Nothing past a taken port is read, so the
// window queries no more of the layer than it needs.
WindowChoice ChooseWindowPair(PortSource& ports);

// The card or client an accepted port belongs to: its name up to the space
// before the direction word ("QELMAR SIM" of "QELMAR SIM OUT 1").
std::string CardOf(const std::string& port_name);

// One pair per instrument, in the order of their outputs. Labels are the
// output's name, with its index added where two instruments share a name.
std::vector<Instrument> PairInstruments(const PortList& ports);

// The window's pair among ports listed already; none when it finds no pair.
std::optional<Instrument> WindowPair(const PortList& ports);

// Accepted ports that no instrument takes, outputs first.
std::vector<PortEntry> UnpairedPorts(const PortList& ports,
                                     const std::vector<Instrument>& instruments);

// Why no instrument was chosen. A choice that cannot be right is a usage error
// (a mismatched pair); one that names nothing there is not.
struct ChoiceError {
  std::string text;
  bool usage = false;
};

// The instrument chosen by its output and/or its input, each an index or an
// exact port name of an accepted port. Both given must be the two ports of one
// instrument; with one, the other is its instrument's partner.
std::optional<Instrument> ChoosePair(const PortList& ports,
                                     const std::optional<std::string>& output,
                                     const std::optional<std::string>& input, ChoiceError& error);

// The instrument `number` in PairInstruments' order, counted from 1.
std::optional<Instrument> ChooseInstrument(const PortList& ports, uint32_t number,
                                           ChoiceError& error);

// One ALSA card's ports, in the order the layer lists them.
struct CardPorts {
  int card = 0;
  CardIdentity identity;
  std::vector<std::string> outputs, inputs;  // port names as PortName gives them
};

// The card of each output, by index. ALSA's ports come first in the layer,
// card after card; a card counts only where its names follow on there, so a
// card that came or went between the two listings is left out, not misplaced.
std::map<uint32_t, CardPorts> MatchCards(const PortList& ports,
                                         const std::vector<CardPorts>& cards);

// What `ports` shows of the instrument's card; empty when its card is unknown.
CardIdentity IdentityOf(const std::map<uint32_t, CardPorts>& cards, const Instrument& instrument);

// The instrument whose card passes `filter`: the first pair of that card, as
// one plugged in is updated. Cards given by MatchCards. Two cards that pass
// are a usage error: the filter does not tell them apart.
std::optional<Instrument> ChooseByIdentity(const PortList& ports,
                                           const std::map<uint32_t, CardPorts>& cards,
                                           const IdentityFilter& filter, ChoiceError& error);

}  // namespace tamblet
