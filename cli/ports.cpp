// `ports`: every MIDI port, whether a rule accepts it, and the instruments they make.

#include <map>

#include "cli/instrument_run.h"

namespace tamblet::cli {

int Ports(Session& session, bool json) {
  const CliContext& context = session.context;
  const PortList ports = ListPorts(context.midi);
  const std::vector<Instrument> instruments = PairInstruments(ports);
  const std::optional<Instrument> window = WindowPair(ports);
  const std::map<uint32_t, CardPorts> cards = context.system.alsa_cards
                                                  ? MatchCards(ports, context.system.alsa_cards())
                                                  : std::map<uint32_t, CardPorts>{};
  // Never bars: nothing here is in progress.
  const std::unique_ptr<Console> console =
      MakeConsole(json ? Console::Mode::kJson : Console::Mode::kPlain, context.streams.out_fd,
                  context.streams.err_fd, context.streams.clock);

  auto in_window = [&window](PortDirection direction, const PortEntry& port) {
    if (!window) return false;
    const PortEntry& ours = direction == PortDirection::kOutput ? window->output : window->input;
    return ours.index == port.index;
  };
  for (const PortDirection direction : kPortDirections) {
    const bool output = direction == PortDirection::kOutput;
    const char* word = output ? "output" : "input";
    console->Heading(std::string(word) + " ports");
    for (const PortEntry& port : output ? ports.outputs : ports.inputs)
      console->Port(word, port, in_window(direction, port));
  }
  console->Heading("instruments");
  for (size_t k = 0; k < instruments.size(); ++k) {
    const Instrument& instrument = instruments[k];
    const bool picked = window && window->output.index == instrument.output.index &&
                        window->input.index == instrument.input.index;
    // Which device it is: its serial, else where it is plugged in.
    console->ListInstrument(k + 1, instrument, IdentityOf(cards, instrument), picked);
  }
  if (instruments.empty()) {
    console->NoInstrument();
    console->Diagnostic("no instrument found");
    if (context.system.why_no_ports && ports.outputs.empty() && ports.inputs.empty())
      for (const std::string& why : context.system.why_no_ports()) console->Diagnostic(why);
  }
  const int status = window ? kExitComplete : kExitOpenFailed;
  console->Exit(status);
  return status;
}

}  // namespace tamblet::cli
