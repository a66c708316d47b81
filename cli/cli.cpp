#include "cli/cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <map>
#include <optional>
#include <thread>

#include "app/version_preview.h"
#include "cli/instrument_view.h"
#include "cli/safe_text.h"
#include "cli/system_hints.h"
#include "instruments/instrument_ports.h"
#include "instruments/plug_tracker.h"
#include "update/update_run.h"

namespace tamblet::cli {

struct Cli::Options {
  bool ports = false;  // else update
  bool watch = false;
  std::optional<std::string> report;
  std::string file;
  std::optional<std::string> output;
  std::optional<std::string> input;
  std::optional<uint32_t> instrument;
  bool all = false;
  bool json = false;
};

struct Cli::Outcome {
  std::string label;
  std::string final_text;
  int exit = kExitComplete;
  double seconds = 0;       // negative: it never ran
  bool unreadable = false;  // the update file could not be read
  int64_t start_ms = 0, end_ms = 0;
  std::string output_port, input_port;
};

// The update file, read, checked and described once per command: every
// instrument is sent exactly these bytes, and the report describes them.
struct Cli::File {
  FileStageEvents stage;  // told again on each instrument's lines
  std::optional<LoadOutcome> failure;
  CheckedUpdate update;
  std::optional<std::string> preview;  // what Browse shows of it
  FileFacts facts;
};

struct Cli::LoadJob {
  Console& console;
  midi::MidiLayer& midi;
  std::optional<InstrumentLayer::Pair> pair;
  size_t slot;
  const File& file;
  bool json;
};

namespace {

constexpr char kFooter[] =
    "Exit status: 0 Complete!, 1 a device step failed, 2 bad usage, 3 the update file\n"
    "failed, 4 no instrument or its ports did not open, 130 stopped by Ctrl-C, 143 by\n"
    "SIGTERM. Ctrl-C once warns; a second within 3 s stops every update at its step.\n"
    "SIGTERM stops every update before its next request; SIGHUP is ignored.";

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

// Each line made printable: a complaint may quote any word it was given.
void WriteText(int fd, const std::string& text) {
  std::string clean;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    clean += PrintableText(std::string_view(text).substr(start, end - start)) + "\n";
  if (::write(fd, clean.data(), clean.size()) < 0) return;  // nowhere else to report it
}

// The file's bytes read once: checked, and described when a report wants them.
void ReadOnce(const std::string& path, bool describe, Cli::File& file) {
  file.facts.name = path;
  FileBytes bytes;
  file.failure = ReadUpdateFile(path, bytes, file.stage);
  if (file.failure) return;
  const std::span<const uint8_t> all(bytes.data.get(), static_cast<size_t>(bytes.length));
  if (all.size() >= kPreviewSize) file.preview = FormatVersionPreview(all.first<kPreviewSize>());
  if (describe) file.facts = DescribeFile(path, all);
  file.failure = CheckUpdateFile(all, file.update, file.stage);
}

// The program's words as options; the status to end with when they ask for no
// run (help, version, a mistake), with its text for standard output or error.
struct ParseEnd {
  int status;
  std::string out, err;
};

template <typename Options>
std::optional<ParseEnd> ParseArgs(const std::vector<std::string>& args, Options& o) {
  CLI::App app("Runs the firmware update of a QELMAR instrument, as the window's Load does.",
               "tamblet-cli");
  app.set_version_flag("--version", std::string("tamblet-cli ") + TAMBLET_VERSION);
  app.require_subcommand(0, 1);  // none: said below, after an unknown word is named
  app.footer(kFooter);
  app.get_formatter()->label("Usage", "usage");

  CLI::App* ports = app.add_subcommand(
      "ports", "every MIDI port, whether it is an instrument's, and the instruments");
  CLI::App* update = app.add_subcommand(
      "update", "check FILE and update the window's pair, the chosen instrument, or all");
  CLI::App* watch = app.add_subcommand(
      "watch", "check FILE, then update every instrument once as it is plugged in");
  for (CLI::App* where : {&app, ports, update, watch})  // before or after the command
    where->add_flag("--json", o.json, "one JSON object per line");
  std::string report;
  std::vector<CLI::Option*> report_options;
  for (CLI::App* where : {update, watch}) {
    where->add_option("FILE", o.file, "the update file (*.pgm)")->required()->type_name("");
    report_options.push_back(
        where->add_option("--report", report, "append one JSON line per finished update to REPORT")
            ->type_name("REPORT"));
  }
  std::string output, input;
  uint32_t number = 0;
  CLI::Option* out_option =
      update
          ->add_option("--output", output,
                       "output port, by index or exact name as `ports` shows it")
          ->type_name("PORT");
  CLI::Option* in_option =
      update
          ->add_option("--input", input,
                       "input port, by index or exact name; with --output, of one instrument")
          ->type_name("PORT");
  CLI::Option* number_option =
      update->add_option("--instrument", number, "the instrument numbered N by `ports`")
          ->type_name("N");
  CLI::Option* all_option = update->add_flag("--all", o.all, "every instrument at once");
  all_option->excludes(out_option)->excludes(in_option)->excludes(number_option);
  number_option->excludes(out_option)->excludes(in_option);

  std::vector<std::string> reversed(args.rbegin(), args.rend());  // as CLI11 takes them
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return ParseEnd{kExitComplete, app.help(), ""};
  } catch (const CLI::CallForVersion& version) {
    return ParseEnd{kExitComplete, std::string(version.what()) + "\n", ""};
  } catch (const CLI::ParseError& error) {
    return ParseEnd{kExitUsage, "",
                    std::string("tamblet-cli: ") + error.what() +
                        "\nRun 'tamblet-cli --help' or 'tamblet-cli COMMAND --help'.\n"};
  }
  if (!ports->parsed() && !update->parsed() && !watch->parsed())
    return ParseEnd{kExitUsage, "", "tamblet-cli: a command is needed: ports, update or watch\n"};
  if (number_option->count() != 0 && number == 0)
    return ParseEnd{kExitUsage, "", "tamblet-cli: --instrument counts from 1\n"};
  o.ports = ports->parsed();
  o.watch = watch->parsed();
  for (const CLI::Option* option : report_options)
    if (option->count() != 0) o.report = report;
  if (out_option->count() != 0) o.output = output;
  if (in_option->count() != 0) o.input = input;
  if (number_option->count() != 0) o.instrument = number;
  return std::nullopt;
}

}  // namespace

int ExitStatusOf(const tamblet::LoadOutcome& outcome) {
  switch (outcome.stage()) {
    case LoadStage::kFile:
      return kExitFileFailed;
    case LoadStage::kOpen:
      return kExitOpenFailed;
    case LoadStage::kDevice:
      return kExitStepFailed;
    case LoadStage::kComplete:
      return kExitComplete;
  }
  return kExitStepFailed;
}

int Cli::Run(const std::vector<std::string>& args) {
  Options options;
  if (const auto end = ParseArgs(args, options)) {
    WriteText(context_.out_fd, end->out);
    WriteText(context_.err_fd, end->err);
    return end->status;
  }
  if (options.ports) return Ports(options.json);
  return options.watch ? Watch(options) : Update(options);
}

int Cli::Ports(bool json) {
  const PortList ports = ListPorts(context_.midi);
  const std::vector<Instrument> instruments = PairInstruments(ports);
  const std::optional<Instrument> window = WindowPair(ports);
  const std::map<uint32_t, CardPorts> cards = context_.alsa_cards
                                                  ? MatchCards(ports, context_.alsa_cards())
                                                  : std::map<uint32_t, CardPorts>{};
  Console console(context_.out_fd, context_.err_fd,
                  json ? Console::Mode::kJson : Console::Mode::kPlain, context_.clock);
  using Slot = size_t;
  constexpr Slot kNone = Console::kNoSlot;

  auto in_window = [&window](PortDirection direction, const PortEntry& port) {
    if (!window) return false;
    const PortEntry& ours = direction == PortDirection::kOutput ? window->output : window->input;
    return ours.index == port.index;
  };
  for (const PortDirection direction : kPortDirections) {
    const bool output = direction == PortDirection::kOutput;
    const char* word = output ? "output" : "input";
    if (!json) console.Line(std::string(word) + " ports");
    for (const PortEntry& port : output ? ports.outputs : ports.inputs) {
      const bool picked = in_window(direction, port);
      if (json) {
        console.Object(kNone, "port",
                       {{"direction", word},
                        {"index", port.index},
                        {"name", port.name},
                        {"accepted", port.accepted},
                        {"window", picked}});
      } else {
        char index[16];
        std::snprintf(index, sizeof index, "%4u  ", port.index);
        console.Line(index + PadToWidth(PrintableText(port.name), 33) +
                     (port.accepted ? "  accepted" : "") + (picked ? "  * window's pair" : ""));
      }
    }
  }
  if (!json) console.Line("instruments");
  for (size_t k = 0; k < instruments.size(); ++k) {
    const Instrument& instrument = instruments[k];
    const bool picked = window && window->output.index == instrument.output.index &&
                        window->input.index == instrument.input.index;
    // Which device it is: its serial, else where it is plugged in.
    const auto card = cards.find(instrument.output.index);
    const CardIdentity identity = card == cards.end() ? CardIdentity{} : card->second.identity;
    if (json) {
      Json fields = {{"instrument", k + 1},
                     {"output", instrument.output.index},
                     {"input", instrument.input.index},
                     {"output_name", instrument.output.name},
                     {"input_name", instrument.input.name},
                     {"window", picked}};
      if (!identity.path.empty()) {
        fields["serial"] = identity.serial;
        fields["usb_path"] = identity.path;
      }
      console.Object(kNone, "instrument", fields);
    } else {
      std::string who;
      if (!identity.serial.empty()) who += "  serial " + identity.serial;
      if (!identity.path.empty()) who += "  " + identity.path;
      console.Line("   " + std::to_string(k + 1) + "  output " +
                   std::to_string(instrument.output.index) + " + input " +
                   std::to_string(instrument.input.index) + "  " + CardOf(instrument.output.name) +
                   who + (picked ? "  * window's pair" : ""));
    }
  }
  if (!json && instruments.empty()) console.Line("   none");
  if (instruments.empty()) {
    console.Diagnostic("no instrument found");
    if (context_.why_no_ports && ports.outputs.empty() && ports.inputs.empty())
      for (const std::string& why : context_.why_no_ports()) console.Diagnostic(why);
  }
  const int status = window ? kExitComplete : kExitOpenFailed;
  if (json) console.Object(kNone, "exit", {{"exit", status}});
  return status;
}

Console::Mode Cli::ModeOf(const Options& options) const {
  if (options.json) return Console::Mode::kJson;
  return context_.terminal ? Console::Mode::kTerminal : Console::Mode::kPlain;
}

int Cli::Update(const Options& options) {
  Console console(context_.out_fd, context_.err_fd, ModeOf(options), context_.clock);
  auto finish = [&](int status) {
    if (options.json) console.Object(Console::kNoSlot, "exit", {{"exit", status}});
    return status;
  };

  // Which instruments, each with its own view of the layer. Without a choice
  // the dialog discovers its pair itself, exactly as in the window.
  struct Job {
    std::optional<InstrumentLayer::Pair> pair;
    size_t slot;
  };
  auto pair_of = [](const Instrument& i) {
    return InstrumentLayer::Pair{i.output.index, i.input.index, i.output.name, i.input.name};
  };
  std::vector<Job> jobs;
  std::vector<PortEntry> unpaired;
  const PortList ports = ListPorts(context_.midi);
  if (options.all) {
    const std::vector<Instrument> instruments = PairInstruments(ports);
    unpaired = UnpairedPorts(ports, instruments);
    for (const Instrument& instrument : instruments)
      jobs.push_back({pair_of(instrument), console.AddSlot(instrument.label)});
    if (jobs.empty() && unpaired.empty()) {
      console.Diagnostic("no instrument found");
      return finish(kExitOpenFailed);
    }
  } else if (options.output || options.input || options.instrument) {
    ChoiceError error;
    const auto chosen = options.instrument
                            ? ChooseInstrument(ports, *options.instrument, error)
                            : ChoosePair(ports, options.output, options.input, error);
    if (!chosen) {
      console.Diagnostic(error.text);
      return finish(error.usage ? kExitUsage : kExitOpenFailed);
    }
    jobs.push_back({pair_of(*chosen), console.AddSlot(options.json ? chosen->label : "")});
  } else {
    const auto window = WindowPair(ports);
    jobs.push_back({std::nullopt, console.AddSlot(options.json && window ? window->label : "")});
  }

  // The report: what is recorded of the file, the card each instrument is.
  UpdateReport report;
  std::map<uint32_t, CardPorts> cards;
  if (options.report) {
    if (const std::string why = report.Open(*options.report); !why.empty()) {
      console.Diagnostic(*options.report + ": " + why);
      return finish(kExitUsage);
    }
    if (context_.alsa_cards) cards = MatchCards(ports, context_.alsa_cards());
  }
  File file;
  ReadOnce(options.file, report.open(), file);

  std::vector<Outcome> outcomes(jobs.size());
  auto run = [&](size_t k) {
    std::unique_ptr<midi::MidiLayer> own;
    if (jobs.size() > 1 && context_.open_layer) own = context_.open_layer();
    outcomes[k] =
        Load({console, own ? *own : context_.midi, jobs[k].pair, jobs[k].slot, file, options.json});
    if (report.open()) {
      const auto window = jobs[k].pair ? std::nullopt : WindowPair(ports);
      const uint32_t out = jobs[k].pair ? jobs[k].pair->out : window ? window->output.index : ~0u;
      const auto card = cards.find(out);
      Record(report, file.facts, outcomes[k],
             card == cards.end() ? CardIdentity{} : card->second.identity,
             CardOf(outcomes[k].output_port));
    }
  };

  // An accepted port that makes no pair is not updated, but it is accounted for.
  for (const PortEntry& port : unpaired) {
    const size_t slot = console.AddSlot(port.name);
    console.Diagnostic(PrintableText(port.name) + ": no partner port, so no instrument to update");
    console.Status(slot, kDeviceOpenFailedText, Overall{});
    if (options.json)
      console.Object(slot, "final",
                     {{"final", kDeviceOpenFailedText}, {"exit", kExitOpenFailed}, {"seconds", 0}});
    outcomes.push_back(
        {port.name, kDeviceOpenFailedText, kExitOpenFailed, -1, false, 0, 0, {}, {}});
  }

  if (context_.inhibit_sleep) context_.inhibit_sleep(true);
  {
    std::lock_guard<std::mutex> lock(console_mutex_);
    console_ = &console;
  }
  if (jobs.size() == 1) {
    run(0);
  } else {
    std::vector<std::thread> threads;
    for (size_t k = 0; k < jobs.size(); ++k) threads.emplace_back(run, k);
    for (std::thread& thread : threads) thread.join();
  }
  {
    std::lock_guard<std::mutex> lock(console_mutex_);
    console_ = nullptr;
  }
  if (context_.inhibit_sleep) context_.inhibit_sleep(false);
  console.Finish();

  // The first instrument that did not complete gives the status.
  int status = kExitComplete;
  bool refused = false;
  for (const Outcome& outcome : outcomes) {
    if (status == kExitComplete) status = outcome.exit;
    refused = refused || outcome.unreadable;
  }
  if (refused) {
    const std::string why = WhyUnreadable(options.file);
    if (!why.empty()) console.Diagnostic(options.file + ": " + why);
  }
  if (status == kExitStopped)
    console.Diagnostic("stopped; the ports are closed, the update did not finish");
  if (status == kExitTerminated)
    console.Diagnostic("terminated; the ports are closed, the update did not finish");
  if (options.all && !options.json) {
    size_t width = 10;
    for (const Outcome& outcome : outcomes)
      width = std::max(width, TextWidth(PrintableText(outcome.label)));
    console.Line("");
    console.Line(PadToWidth("instrument", width) + "  " + PadToWidth("final text", 28) + "  time");
    for (const Outcome& outcome : outcomes) {
      std::string row = PadToWidth(PrintableText(outcome.label), width) + "  " + outcome.final_text;
      if (outcome.seconds >= 0) row = PadToWidth(row, width + 30) + Seconds(outcome.seconds);
      console.Line(row);
    }
  }
  return options.all || options.json ? finish(status) : status;
}

int Cli::Watch(const Options& options) {
  Console console(context_.out_fd, context_.err_fd, ModeOf(options), context_.clock);
  auto finish = [&](int status) {
    if (options.json) console.Object(Console::kNoSlot, "exit", {{"exit", status}});
    return status;
  };

  // The file is checked once; a bad one ends the watch at once.
  File file;
  ReadOnce(options.file, true, file);
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
  if (!context_.watch_cards || !context_.open_card_layer) {
    console.Diagnostic("watching needs ALSA's cards, which this build does not reach");
    return finish(kExitOpenFailed);
  }
  const std::unique_ptr<CardSource> cards = context_.watch_cards();
  {
    std::lock_guard<std::mutex> lock(console_mutex_);
    console_ = &console;
    watching_ = true;
  }
  console.Diagnostic(
      "waiting for instruments; each is updated once per plug-in. Ctrl-C "
      "twice or SIGTERM stops.");

  // Each update runs on its own thread with its own layer of its card's ports;
  // this thread alone follows the cards and the plug-ins.
  struct Running {
    std::thread thread;
    size_t slot;
    std::string label;
  };
  struct Finished {
    uint64_t id;
    Outcome outcome;
  };
  PlugTracker tracker;
  std::map<uint64_t, Running> running;
  std::mutex finished_mutex;
  std::deque<Finished> finished;
  bool inhibited = false;

  auto start = [&](uint64_t id, std::unique_ptr<midi::MidiLayer> layer, const Instrument& pair) {
    const std::string label = tracker.Label(id);
    const CardIdentity identity = tracker.identity(id);
    const size_t slot = console.AddSlot(label);
    if (options.json) {
      console.Object(slot, "plugged",
                     {{"instrument", identity.key()},
                      {"serial", identity.serial},
                      {"usb_path", identity.path},
                      {"card", CardOf(pair.output.name)}});
    } else {
      console.Line(label + ": plugged in; its update starts");
    }
    auto body = [&, id, slot, identity, layer = std::move(layer),
                 pair = InstrumentLayer::Pair{pair.output.index, pair.input.index, pair.output.name,
                                              pair.input.name}]() {
      Outcome outcome = Load({console, *layer, pair, slot, file, options.json});
      if (report.open()) Record(report, file.facts, outcome, identity, CardOf(pair.out_name));
      std::lock_guard<std::mutex> lock(finished_mutex);
      finished.push_back({id, std::move(outcome)});
    };
    running[id] = Running{std::thread(std::move(body)), slot, label};
  };

  auto collect = [&] {
    std::deque<Finished> done;
    {
      std::lock_guard<std::mutex> lock(finished_mutex);
      done.swap(finished);
    }
    for (Finished& end : done) {
      Running& run = running.at(end.id);
      run.thread.join();
      console.EndSlot(run.slot);
      const Outcome& outcome = end.outcome;
      if (!options.json) {
        console.Line(run.label + ": update ended: " + outcome.final_text + " (" +
                     Seconds(outcome.seconds) + ")");
      }
      const auto after = tracker.End(end.id, outcome.exit == kExitComplete);
      if (after == PlugTracker::Ended::kUnplugToRetry && !stop_.requested())
        console.Diagnostic(run.label + ": unplug it and plug it in to try again");
      running.erase(end.id);
    }
  };

  while (!stop_.requested()) {
    for (const CardEvent& event : cards->Next(static_cast<int>(WaitPolicy::kStopSliceMs))) {
      if (!event.added) {
        tracker.Unplug(event.card);
        continue;
      }
      std::unique_ptr<midi::MidiLayer> layer = context_.open_card_layer(event.card);
      const std::vector<Instrument> instruments =
          layer ? PairInstruments(ListPorts(*layer)) : std::vector<Instrument>{};
      const auto identity = context_.card_identity ? context_.card_identity(event.card)
                                                   : std::optional<CardIdentity>{};
      const CardIdentity who =
          identity.value_or(CardIdentity{"", "card " + std::to_string(event.card)});
      uint64_t id = 0;
      // One update per card: the instrument is the USB device, whose first pair it is.
      const std::string name = instruments.empty() ? "" : CardOf(instruments.front().output.name);
      if (tracker.Plug(event.card, who, name, !instruments.empty(), &id) ==
          PlugTracker::Plugged::kStart)
        start(id, std::move(layer), instruments.front());
    }
    collect();
    const bool busy = tracker.running() > 0;
    if (busy != inhibited && context_.inhibit_sleep) context_.inhibit_sleep(busy);
    inhibited = busy;
  }
  // Stopped: each update ends at its step (Ctrl-C) or before its next request.
  while (!running.empty()) {
    collect();
    if (!running.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (inhibited && context_.inhibit_sleep) context_.inhibit_sleep(false);
  {
    std::lock_guard<std::mutex> lock(console_mutex_);
    console_ = nullptr;
    watching_ = false;
  }
  console.Finish();
  const int status = terminated_.load() ? kExitTerminated : kExitStopped;
  console.Diagnostic(status == kExitTerminated ? "terminated; every port is closed"
                                               : "stopped; every port is closed");
  return finish(status);
}

Cli::Outcome Cli::Load(const LoadJob& run) {
  InstrumentLayer layer(run.midi, run.pair);
  InstrumentView view(run.console, run.slot);
  ++loads_;
  // What the window shows when it opens and when Browse picks the file.
  const PortPair ports = view.Discover(layer);
  if (run.file.preview) view.OnStatus(run.file.preview->c_str());
  Outcome outcome;
  outcome.start_ms = UnixMsNow();
  const auto start = std::chrono::steady_clock::now();
  run.file.stage.TellTo(view);
  const LoadOutcome result = run.file.failure
                                 ? *run.file.failure
                                 : RunUpdate(run.file.update, ports, layer, view, stop_,
                                             context_.waits);
  --loads_;
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  outcome.end_ms = UnixMsNow();
  outcome.label = run.console.label(run.slot);
  outcome.final_text = result.text;
  outcome.output_port = view.output_port();
  outcome.input_port = view.input_port();
  outcome.exit = ExitStatusOf(result);
  outcome.unreadable = result.step == LoadStep::kReadFile;
  if (outcome.exit != kExitComplete && stop_.forced()) outcome.exit = kExitStopped;
  if (outcome.exit != kExitComplete && terminated_.load()) outcome.exit = kExitTerminated;
  if (run.json) {
    run.console.Object(run.slot, "final",
                       {{"final", outcome.final_text},
                        {"exit", outcome.exit},
                        {"seconds", std::round(outcome.seconds * 1000) / 1000}});
  }
  return outcome;
}

void Cli::Record(UpdateReport& report, const FileFacts& facts, const Outcome& outcome,
                 const CardIdentity& identity, const std::string& card) {
  if (!report.Append(facts, {identity, card, outcome.output_port, outcome.input_port,
                             outcome.start_ms, outcome.end_ms, outcome.final_text, outcome.exit})) {
    std::lock_guard<std::mutex> lock(console_mutex_);
    if (console_ != nullptr)
      console_->Diagnostic("the report could not be written: " + outcome.label);
  }
}

bool Cli::Interrupt() {
  std::lock_guard<std::mutex> lock(console_mutex_);
  Console* console = console_;
  if (console == nullptr) return true;
  if (watching_.load() && loads_.load() == 0) {
    stop_.Force();  // only waiting: nothing to cut
    console->Diagnostic("stopping: no update is running");
  } else if (ctrl_c_.Interrupt(std::chrono::steady_clock::now()) ==
             StopSwitch::Press::kForced) {
    console->Diagnostic("stopping: each update ends at its current step, then its ports close");
  } else {
    console->Diagnostic(
        "an update is running; stopping it in the middle of a step can leave the "
        "instrument unusable. Press Ctrl-C again within 3 s to stop anyway.");
  }
  return false;
}

bool Cli::Terminate() {
  std::lock_guard<std::mutex> lock(console_mutex_);
  terminated_.store(true);
  stop_.Request();
  if (console_ == nullptr) return true;
  console_->Diagnostic(
      "terminating: each update stops before its next request, then its ports "
      "close");
  return false;
}

}  // namespace tamblet::cli
