#pragma once
// tamblet-cli's core: `ports`, `update FILE [--all]`, `--json`, run through the
// same dialog logic, port pair and acceptance rule as the window. It takes the
// MIDI layer, the wait policy and the clock from its caller, so that tests run
// it against simulated devices without real waits.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/load_outcome.h"
#include "base/wait_policy.h"
#include "cli/console.h"
#include "instruments/card_identity.h"
#include "instruments/card_watch.h"
#include "instruments/instrument_ports.h"
#include "midi/midi_layer.h"

namespace tamblet::cli {

inline constexpr int kExitComplete = 0;
inline constexpr int kExitStepFailed = 1;  // a device step failed after the ports opened
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFileFailed = 3;  // the update file could not be read or failed its check
inline constexpr int kExitOpenFailed = 4;  // no instrument found, or its ports did not open
inline constexpr int kExitStopped = 130;   // stopped by a second Ctrl-C
inline constexpr int kExitTerminated = 143;  // stopped by SIGTERM (128 + 15)

// The program's output streams.
struct Streams {
  int out_fd = 1;
  int err_fd = 2;
  bool terminal = false;            // out_fd is a terminal: draw progress bars
  Clock clock = SecondsSinceStart;  // the "t" of JSON objects
};

// The system's ports and cards beyond the one MIDI layer. None of them: only
// that layer is known.
struct SystemPorts {
  // A MIDI layer of its own for each instrument of --all, for backends that
  // open one port a direction per client; none: every instrument shares one.
  std::function<std::unique_ptr<midi::MidiLayer>()> open_layer = nullptr;
  // What the system says when no instrument is found; none: nothing to add.
  std::function<std::vector<std::string>()> why_no_ports = nullptr;
  // Each ALSA card with its ports' names, in the layer's order: which card an
  // instrument is, for `ports` and the report.
  std::function<std::vector<CardPorts>()> alsa_cards = nullptr;
  // For `watch`: the cards as they come and go, and a layer of one card's ports.
  std::function<std::unique_ptr<CardSource>()> watch_cards = nullptr;
  std::function<std::unique_ptr<midi::MidiLayer>(int card)> open_card_layer = nullptr;
  std::function<std::optional<CardIdentity>(int card)> card_identity = nullptr;
  // Why no sound card is seen ("" when one is); none: not asked.
  std::function<std::string()> no_sound_card = nullptr;
};

struct CliContext {
  midi::MidiLayer& midi;
  WaitPolicy& waits;
  Streams streams = {};
  SystemPorts system = {};
  // Called with true before the updates start and false once they ended.
  std::function<void(bool)> inhibit_sleep = nullptr;
};

// The exit status of one Load, by how far it got.
int ExitStatusOf(const LoadOutcome& outcome);

struct Session;

class Cli {
 public:
  explicit Cli(CliContext context);
  ~Cli();

  // `args` excludes the program name; returns the exit status.
  int Run(const std::vector<std::string>& args);

  // One Ctrl-C, from any thread. True when no update runs and the program may
  // simply end.
  bool Interrupt();
  // SIGTERM, from any thread: every update stops before its next request and
  // closes its ports. True when no update runs.
  bool Terminate();

 private:
  const std::unique_ptr<Session> session_;
};

}  // namespace tamblet::cli
