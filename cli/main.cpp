// tamblet-cli: the window's update from a terminal or a script.

#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/standard_descriptors.h"
#include "cli/cli.h"
#include "cli/system_hints.h"
#include "instruments/card_identity.h"
#include "instruments/card_watch.h"
#include "instruments/port_rule.h"
#include "midi/alsa/alsa_midi.h"
#include "midi/alsa/rawmidi_ports.h"
#include "midi/system/system_midi.h"
#include "system/sleep_inhibitor.h"

namespace {

// Each ALSA card's ports as the layer names them, with the card's identity.
std::vector<tamblet::CardPorts> AlsaCards() {
  std::vector<tamblet::CardPorts> cards;
  const auto found = tamblet::midi::alsa::EnumerateRawmidiPorts();
  auto card_of = [&cards](int number) -> tamblet::CardPorts& {
    for (auto& card : cards)
      if (card.card == number) return card;
    cards.push_back({number,
                     tamblet::ReadCardIdentity("/sys", number).value_or(tamblet::CardIdentity{}),
                     {},
                     {}});
    return cards.back();
  };
  for (const auto& port : found.outputs)
    card_of(port.address.card).outputs.push_back(tamblet::PortName(port.caps));
  for (const auto& port : found.inputs)
    card_of(port.address.card).inputs.push_back(tamblet::PortName(port.caps));
  return cards;
}

}  // namespace

int main(int argc, char** argv) {
  tamblet::OpenClosedStandardDescriptors();
  const std::vector<std::string> args(argv + 1, argv + argc);

  // Blocked before any thread exists, so that only the watcher below sees them.
  // A hang-up (an SSH session dropped) must not cut an update: ignored.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);

  tamblet::SleepInhibitor inhibitor;

  const std::unique_ptr<tamblet::midi::MidiLayer> midi = tamblet::midi::CreateSystemMidiLayer();
  tamblet::cli::Cli cli({
      .midi = *midi,
      .waits = tamblet::RealTimeWaits(),
      .streams = {.out_fd = STDOUT_FILENO,
                  .err_fd = STDERR_FILENO,
                  .terminal = isatty(STDOUT_FILENO) == 1,
                  .clock = tamblet::cli::SecondsSinceStart},
      .system = {.open_layer = tamblet::midi::CreateSystemMidiLayer,
                 // Asked only when no port is found, to say why.
                 .why_no_ports =
                     [] {
                       return tamblet::cli::WhyNoPorts("/proc/asound", "/dev/snd",
                                                       !tamblet::midi::SystemJackServerMissing());
                     },
                 .alsa_cards = AlsaCards,
                 .watch_cards = [] { return tamblet::WatchDevSnd(); },
                 .open_card_layer = tamblet::midi::CreateAlsaCardMidiLayer,
                 .card_identity = [](int card) { return tamblet::ReadCardIdentity("/sys", card); },
                 .no_sound_card = [] { return tamblet::cli::NoSoundCard("/proc/asound"); }},
      .inhibit_sleep = [&inhibitor](bool on) { on ? inhibitor.Acquire() : inhibitor.Release(); },
  });

  std::thread watcher([&cli, &stops] {
    int signal_number = 0;
    for (;;) {
      if (sigwait(&stops, &signal_number) != 0) continue;
      if (signal_number == SIGTERM) {
        if (cli.Terminate()) _exit(tamblet::cli::kExitTerminated);
      } else if (cli.Interrupt()) {
        _exit(tamblet::cli::kExitStopped);
      }
    }
  });
  watcher.detach();  // ends with the process

  return cli.Run(args);
}
