// `watch FILE`: every instrument updated once as it is plugged in, until
// Ctrl-C or SIGTERM.

#include <chrono>
#include <deque>
#include <map>
#include <thread>

#include "cli/instrument_run.h"
#include "cli/options.h"
#include "cli/system_hints.h"
#include "instruments/plug_tracker.h"

namespace tamblet::cli {
namespace {

// Long enough for the card of an instrument pulled out to be seen to go.
constexpr auto kHintSettle = std::chrono::milliseconds(500);

// Each update runs on its own thread with its own layer of its card's ports;
// the watching thread alone follows the cards and the plug-ins.
class Watcher {
 public:
  Watcher(Session& session, Console& console, const File& file, UpdateReport& report,
          IdentityFilter filter)
      : session_(session),
        console_(console),
        file_(file),
        report_(report),
        filter_(std::move(filter)) {}

  // One card came or went.
  void OnCard(const CardEvent& event);
  // Joins the updates that ended and says how each did; tells to unplug an
  // instrument whose update failed once it stayed plugged in a moment.
  void Collect();
  bool idle() const { return running_.empty(); }
  bool busy() const { return tracker_.running() > 0; }

 private:
  struct Running {
    std::thread thread;
    size_t slot;
    std::string label;
  };
  struct Finished {
    uint64_t id;
    Outcome outcome;
  };
  struct Hint {
    uint64_t id;
    std::string label;
    std::chrono::steady_clock::time_point due;
  };
  void Hints();
  void Start(uint64_t id, std::unique_ptr<midi::MidiLayer> layer, const Instrument& pair);

  Session& session_;
  Console& console_;
  const File& file_;
  UpdateReport& report_;
  const IdentityFilter filter_;
  PlugTracker tracker_;
  std::vector<Hint> hints_;
  std::map<uint64_t, Running> running_;
  std::mutex finished_mutex_;
  std::deque<Finished> finished_;
};

void Watcher::OnCard(const CardEvent& event) {
  const SystemPorts& system = session_.context.system;
  if (!event.added) {
    tracker_.Unplug(event.card);
    return;
  }
  std::unique_ptr<midi::MidiLayer> layer = system.open_card_layer(event.card);
  const std::vector<Instrument> instruments =
      layer ? PairInstruments(ListPorts(*layer)) : std::vector<Instrument>{};
  const auto identity = system.card_identity ? system.card_identity(event.card)
                                             : std::optional<CardIdentity>(CardIdentity{});
  if (!identity) return;  // gone from sysfs already: its removal follows
  uint64_t id = 0;
  // One update per card: the instrument is the USB device, whose first pair it is.
  const std::string name = instruments.empty() ? "" : CardOf(instruments.front().output.name);
  const bool chosen = filter_.Matches(*identity);
  const auto plugged =
      tracker_.Plug(event.card, *identity, name, !instruments.empty() && chosen, &id);
  if (plugged == PlugTracker::Plugged::kStart) Start(id, std::move(layer), instruments.front());
  if (plugged == PlugTracker::Plugged::kNoInstrument && !instruments.empty())
    console_.Diagnostic(
        name + " (" +
        (identity->key().empty() ? "card " + std::to_string(event.card) : identity->key()) +
        "): not the " + filter_.Describe() + " asked for; left alone");
}

void Watcher::Start(uint64_t id, std::unique_ptr<midi::MidiLayer> layer, const Instrument& pair) {
  const std::string label = tracker_.Label(id);
  const CardIdentity identity = tracker_.identity(id);
  const size_t slot = console_.AddSlot(label);
  console_.Plugged(slot, identity, CardOf(pair.output.name));
  auto body = [this, id, slot, identity, layer = std::move(layer),
               pair = InstrumentLayer::Pair{pair.output.index, pair.input.index, pair.output.name,
                                            pair.input.name}]() {
    Outcome outcome = Load(session_, {console_, *layer, pair, slot, file_, kPlugAgain});
    if (report_.open())
      Record(session_, report_, file_.facts, outcome, identity, CardOf(pair.out_name));
    std::lock_guard<std::mutex> lock(finished_mutex_);
    finished_.push_back({id, std::move(outcome)});
  };
  running_[id] = Running{std::thread(std::move(body)), slot, label};
}

void Watcher::Collect() {
  std::deque<Finished> done;
  {
    std::lock_guard<std::mutex> lock(finished_mutex_);
    done.swap(finished_);
  }
  for (Finished& end : done) {
    Running& run = running_.at(end.id);
    run.thread.join();
    console_.EndSlot(run.slot);
    console_.Ended(run.slot, end.outcome);
    const auto after = tracker_.End(end.id, end.outcome.exit == kExitComplete);
    // A pulled instrument fails its update before its card is seen to go.
    if (after == PlugTracker::Ended::kUnplugToRetry)
      hints_.push_back({end.id, run.label, std::chrono::steady_clock::now() + kHintSettle});
    running_.erase(end.id);
  }
  Hints();
}

void Watcher::Hints() {
  const auto now = std::chrono::steady_clock::now();
  for (auto hint = hints_.begin(); hint != hints_.end();) {
    if (hint->due > now && !session_.stop.requested()) {
      ++hint;
      continue;
    }
    int card = -1;
    const auto& identity_of = session_.context.system.card_identity;
    const bool there = tracker_.Present(hint->id, &card) &&
                       (!identity_of || identity_of(card) == tracker_.identity(hint->id));
    if (there && !session_.stop.requested())
      console_.Diagnostic(hint->label + ": unplug it and plug it in to try again");
    hint = hints_.erase(hint);
  }
}

}  // namespace

int Watch(Session& session, const Options& options) {
  const CliContext& context = session.context;
  const std::unique_ptr<Console> owned = session.OpenConsole(options.json);
  Console& console = *owned;
  auto finish = [&](int status) {
    console.Exit(status);
    return status;
  };

  // The file is checked once; a bad one ends the watch at once.
  const File file = ReadOnce(options.file, true);
  if (file.failure) {
    console.Status(console.AddSlot(""), file.failure->text, Overall{});
    if (file.failure->text == kFileNotFoundText) {
      const std::string why = WhyUnreadable(options.file);
      if (!why.empty()) console.Diagnostic(options.file + ": " + why);
    }
    return finish(kExitFileFailed);
  }

  UpdateReport report;
  if (options.report) {
    if (const std::string why = report.Open(*options.report); !why.empty()) {
      console.Diagnostic(*options.report + ": " + why);
      return finish(kExitUsage);
    }
  }
  if (!context.system.watch_cards || !context.system.open_card_layer) {
    console.Diagnostic("watching needs ALSA's cards, which this build does not reach");
    return finish(kExitOpenFailed);
  }
  const std::unique_ptr<CardSource> cards = context.system.watch_cards();
  session.Attach(&console, true);
  console.Diagnostic(
      "waiting for instruments; each is updated once per plug-in. Ctrl-C "
      "twice or SIGTERM stops.");
  if (context.system.no_sound_card) {
    if (const std::string none = context.system.no_sound_card(); !none.empty())
      console.Diagnostic(none +
                         ": an instrument is seen once it is plugged in as an ALSA card; "
                         "instruments on JACK are not watched");
  }

  Watcher watcher(session, console, file, report, {options.serial, options.usb_path});
  bool inhibited = false;
  while (!session.stop.requested()) {
    for (const CardEvent& event : cards->Next(static_cast<int>(WaitPolicy::kStopSliceMs)))
      watcher.OnCard(event);
    watcher.Collect();
    const bool busy = watcher.busy();
    if (busy != inhibited && context.inhibit_sleep) context.inhibit_sleep(busy);
    inhibited = busy;
  }
  // Stopped: each update ends at its step (Ctrl-C) or before its next request.
  while (!watcher.idle()) {
    watcher.Collect();
    if (!watcher.idle()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (inhibited && context.inhibit_sleep) context.inhibit_sleep(false);
  session.Attach(nullptr);
  console.Finish();
  const int status = session.terminated.load() ? kExitTerminated : kExitStopped;
  console.Diagnostic(status == kExitTerminated ? "terminated; every port is closed"
                                               : "stopped; every port is closed");
  return finish(status);
}

}  // namespace tamblet::cli
