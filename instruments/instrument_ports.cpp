#include "instruments/instrument_ports.h"

#include <algorithm>
#include <charconv>
#include <map>

#include "instruments/port_rule.h"

namespace tamblet {
namespace {

std::vector<const PortEntry*> Accepted(const std::vector<PortEntry>& entries) {
  std::vector<const PortEntry*> out;
  for (const PortEntry& e : entries)
    if (e.accepted) out.push_back(&e);
  return out;
}

// An index when the text is all digits, else an exact name.
const PortEntry* Find(const std::vector<PortEntry>& entries, const std::string& selector) {
  uint32_t index = 0;
  const char* end = selector.data() + selector.size();
  const auto parsed = std::from_chars(selector.data(), end, index);
  const bool numeric = !selector.empty() && parsed.ec == std::errc() && parsed.ptr == end;
  for (const PortEntry& e : entries)
    if (numeric ? e.index == index : e.name == selector) return &e;
  return nullptr;
}

// Ports read once already.
class ListedPorts final : public PortSource {
 public:
  explicit ListedPorts(const PortList& ports) : ports_(ports) {}
  uint32_t Count(PortDirection direction) override { return uint32_t(Of(direction).size()); }
  PortEntry Read(PortDirection direction, uint32_t index) override { return Of(direction)[index]; }

 private:
  const std::vector<PortEntry>& Of(PortDirection direction) const {
    return direction == PortDirection::kOutput ? ports_.outputs : ports_.inputs;
  }
  const PortList& ports_;
};

std::optional<PortEntry> FirstAccepted(PortSource& ports, PortDirection direction) {
  const uint32_t count = ports.Count(direction);
  for (uint32_t i = 0; i < count; ++i) {
    PortEntry entry = ports.Read(direction, i);
    if (entry.accepted) return entry;
  }
  return std::nullopt;
}

}  // namespace

uint32_t LayerPorts::Count(PortDirection direction) {
  return direction == PortDirection::kOutput ? midi_.OutGetNumDevs() : midi_.InGetNumDevs();
}

PortEntry LayerPorts::Read(PortDirection direction, uint32_t index) {
  const bool output = direction == PortDirection::kOutput;
  midi::MidiCaps caps;
  const midi::MMRESULT result =
      output ? midi_.OutGetDevCaps(index, &caps) : midi_.InGetDevCaps(index, &caps);
  // A failed query leaves no record worth judging.
  if (result != midi::MMSYSERR_NOERROR) return {index, {}, false};
  return {index, PortName(caps), AcceptPort(caps, direction)};
}

PortList ListPorts(midi::MidiLayer& midi) {
  LayerPorts layer(midi);
  PortList list;
  for (const PortDirection direction : kPortDirections) {
    auto& entries = direction == PortDirection::kOutput ? list.outputs : list.inputs;
    const uint32_t count = layer.Count(direction);
    for (uint32_t i = 0; i < count; ++i) entries.push_back(layer.Read(direction, i));
  }
  return list;
}

WindowChoice ChooseWindowPair(PortSource& ports) {
  WindowChoice choice;
  choice.output = FirstAccepted(ports, PortDirection::kOutput);
  if (choice.output) choice.input = FirstAccepted(ports, PortDirection::kInput);
  return choice;
}

std::map<uint32_t, CardPorts> MatchCards(const PortList& ports,
                                         const std::vector<CardPorts>& cards) {
  std::map<uint32_t, CardPorts> matched;
  size_t at = 0;  // the next output of the layer
  for (const CardPorts& card : cards) {
    const bool follows =
        at + card.outputs.size() <= ports.outputs.size() &&
        std::equal(
            card.outputs.begin(), card.outputs.end(), ports.outputs.begin() + long(at),
            [](const std::string& name, const PortEntry& port) { return name == port.name; });
    if (!follows) break;
    for (size_t k = 0; k < card.outputs.size(); ++k) matched[ports.outputs[at + k].index] = card;
    at += card.outputs.size();
  }
  return matched;
}

std::string CardOf(const std::string& port_name) { return std::string(DevicePartOf(port_name)); }

std::vector<Instrument> PairInstruments(const PortList& ports) {
  // Inputs of each card in index order; the k-th output of a card takes the k-th.
  std::map<std::string, std::vector<const PortEntry*>> inputs;
  for (const PortEntry* in : Accepted(ports.inputs)) inputs[CardOf(in->name)].push_back(in);
  std::map<std::string, size_t> taken;
  std::vector<Instrument> instruments;
  for (const PortEntry* out : Accepted(ports.outputs)) {
    const std::string card = CardOf(out->name);
    const auto& card_inputs = inputs[card];
    const size_t k = taken[card]++;
    if (k < card_inputs.size()) instruments.push_back({*out, *card_inputs[k], out->name});
  }
  for (Instrument& a : instruments) {
    const auto same = std::count_if(instruments.begin(), instruments.end(),
                                    [&a](const auto& b) { return b.output.name == a.output.name; });
    if (same > 1) a.label = a.output.name + " #" + std::to_string(a.output.index);
  }
  return instruments;
}

std::optional<Instrument> WindowPair(const PortList& ports) {
  ListedPorts listed(ports);
  const WindowChoice choice = ChooseWindowPair(listed);
  if (!choice.output || !choice.input) return std::nullopt;
  return Instrument{*choice.output, *choice.input, choice.output->name};
}

std::vector<PortEntry> UnpairedPorts(const PortList& ports,
                                     const std::vector<Instrument>& instruments) {
  std::vector<PortEntry> unpaired;
  for (const PortDirection direction : kPortDirections) {
    const bool output = direction == PortDirection::kOutput;
    for (const PortEntry* port : Accepted(output ? ports.outputs : ports.inputs)) {
      const bool taken = std::any_of(instruments.begin(), instruments.end(), [&](const auto& i) {
        return (output ? i.output.index : i.input.index) == port->index;
      });
      if (!taken) unpaired.push_back(*port);
    }
  }
  return unpaired;
}

std::optional<Instrument> ChoosePair(const PortList& ports,
                                     const std::optional<std::string>& output,
                                     const std::optional<std::string>& input, ChoiceError& error) {
  const PortEntry* out = output ? Find(ports.outputs, *output) : nullptr;
  const PortEntry* in = input ? Find(ports.inputs, *input) : nullptr;
  if ((output && !out) || (input && !in)) {
    error = {"no such port: " + (output && !out ? "output " + *output : "input " + *input), false};
    return std::nullopt;
  }
  if ((out && !out->accepted) || (in && !in->accepted)) {
    error = {"not an instrument's port: " + (out && !out->accepted ? out->name : in->name), false};
    return std::nullopt;
  }
  for (const Instrument& instrument : PairInstruments(ports)) {
    const bool out_fits = !out || instrument.output.index == out->index;
    const bool in_fits = !in || instrument.input.index == in->index;
    if (out_fits && in_fits) return instrument;
  }
  if (out && in) {
    error = {"--output " + out->name + " and --input " + in->name +
                 " are not the two ports of one instrument",
             true};
  } else {
    error = {"no partner port for " + (out ? out->name : in->name), false};
  }
  return std::nullopt;
}

std::optional<Instrument> ChooseInstrument(const PortList& ports, uint32_t number,
                                           ChoiceError& error) {
  const std::vector<Instrument> instruments = PairInstruments(ports);
  if (number >= 1 && number <= instruments.size()) return instruments[number - 1];
  error = {"no instrument " + std::to_string(number) + " (" + std::to_string(instruments.size()) +
               " found)",
           false};
  return std::nullopt;
}

CardIdentity IdentityOf(const std::map<uint32_t, CardPorts>& cards, const Instrument& instrument) {
  const auto card = cards.find(instrument.output.index);
  return card == cards.end() ? CardIdentity{} : card->second.identity;
}

std::optional<Instrument> ChooseByIdentity(const PortList& ports,
                                           const std::map<uint32_t, CardPorts>& cards,
                                           const IdentityFilter& filter, ChoiceError& error) {
  std::optional<Instrument> chosen;
  int chosen_card = -1;
  for (const Instrument& instrument : PairInstruments(ports)) {
    const auto card = cards.find(instrument.output.index);
    if (card == cards.end() || !filter.Matches(card->second.identity)) continue;
    if (!chosen) {
      chosen = instrument;
      chosen_card = card->second.card;
    } else if (card->second.card != chosen_card) {
      error = {"more than one instrument has " + filter.Describe() +
                   "; tell them apart as `tamblet-cli ports` shows them",
               true};
      return std::nullopt;
    }
  }
  if (!chosen) error = {"no instrument with " + filter.Describe(), false};
  return chosen;
}

}  // namespace tamblet
