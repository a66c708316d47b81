#pragma once
// tamblet-cli's core: `ports`, `update FILE [--all]`, `--json`, run through the
// same dialog logic, port pair and acceptance rule as the window. It takes the
// MIDI layer, the wait policy and the clock from its caller, so that tests run
// it against simulated devices without real waits.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/load_outcome.h"
#include "base/stop_token.h"
#include "base/wait_policy.h"
#include "cli/console.h"
#include "cli/forced_stop.h"
#include "cli/update_report.h"
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

struct CliContext {
  midi::MidiLayer& midi;
  WaitPolicy& waits;
  int out_fd = 1;
  int err_fd = 2;
  bool terminal = false;  // out_fd is a terminal: draw progress bars
  // A MIDI layer of its own for each instrument of --all, for backends that
  // open one port a direction per client; none: every instrument shares `midi`.
  std::function<std::unique_ptr<midi::MidiLayer>()> open_layer;
  // Called with true before the updates start and false once they ended.
  std::function<void(bool)> inhibit_sleep;
  // The "t" of JSON objects.
  Clock clock = SecondsSinceStart;
  // What the system says when no instrument is found; none: nothing to add.
  std::function<std::vector<std::string>()> why_no_ports;
  // Each ALSA card with its ports' names, in the layer's order: which card an
  // instrument is, for `ports` and the report. None: no card is known.
  std::function<std::vector<CardPorts>()> alsa_cards = nullptr;
  // For `watch`: the cards as they come and go, and a layer of one card's ports.
  std::function<std::unique_ptr<CardSource>()> watch_cards = nullptr;
  std::function<std::unique_ptr<midi::MidiLayer>(int card)> open_card_layer = nullptr;
  std::function<std::optional<CardIdentity>(int card)> card_identity = nullptr;
};

// The exit status of one Load, by how far it got.
int ExitStatusOf(const LoadOutcome& outcome);

class Cli {
 public:
  explicit Cli(CliContext context) : context_(std::move(context)) {}

  // `args` excludes the program name; returns the exit status.
  int Run(const std::vector<std::string>& args);

  // One Ctrl-C, from any thread. True when no update runs and the program may
  // simply end.
  bool Interrupt();
  // SIGTERM, from any thread: every update stops before its next request and
  // closes its ports. True when no update runs.
  bool Terminate();

  struct File;

 private:
  struct Options;
  struct Outcome;
  struct LoadJob;
  int Ports(bool json);
  Console::Mode ModeOf(const Options& options) const;
  int Update(const Options& options);
  int Watch(const Options& options);
  // One Load of one instrument on this thread, as the window runs it.
  Outcome Load(const LoadJob& run);
  void Record(UpdateReport& report, const FileFacts& facts, const Outcome& outcome,
              const CardIdentity& identity, const std::string& card);

  CliContext context_;
  // Every update of the command stops by this one token: SIGTERM before the
  // next request, a second Ctrl-C now.
  StopToken stop_;
  StopSwitch ctrl_c_{stop_};
  std::atomic<bool> terminated_{false};  // why it stopped, for the exit status
  std::atomic<bool> watching_{false};
  std::atomic<int> loads_{0};  // Loads under way
  std::mutex console_mutex_;
  Console* console_ = nullptr;  // while an update runs
};

}  // namespace tamblet::cli
