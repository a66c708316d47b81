// `update FILE`: the one instrument there (the window's pair), the chosen
// instrument, or every instrument at once (--all), each on its own thread with
// the same bytes.

#include <map>
#include <set>
#include <thread>

#include "cli/done_records.h"
#include "cli/instrument_run.h"
#include "cli/options.h"
#include "cli/safe_text.h"
#include "cli/system_hints.h"

namespace tamblet::cli {
namespace {

InstrumentLayer::Pair PairOf(const Instrument& i) {
  return InstrumentLayer::Pair{i.output.index, i.input.index, i.output.name, i.input.name};
}

// Which instruments, each with its slot. Without a choice the dialog discovers
// its pair itself, exactly as in the window.
struct Job {
  std::optional<InstrumentLayer::Pair> pair;
  size_t slot;
};

// The first instrument that did not complete gives the status; the reasons
// why the file could not be read and how it stopped are said once.
int Conclude(Console& console, const std::vector<Outcome>& outcomes, const std::string& file) {
  int status = kExitComplete;
  bool refused = false;
  for (const Outcome& outcome : outcomes) {
    if (status == kExitComplete) status = outcome.exit;
    refused = refused || outcome.unreadable;
  }
  if (refused) {
    const std::string why = WhyUnreadable(file);
    if (!why.empty()) console.Diagnostic(file + ": " + why);
  }
  if (status == kExitStopped)
    console.Diagnostic("stopped; the ports are closed, the update did not finish");
  if (status == kExitTerminated)
    console.Diagnostic("terminated; the ports are closed, the update did not finish");
  return status;
}

}  // namespace

int Update(Session& session, const Options& options) {
  const CliContext& context = session.context;
  const std::unique_ptr<Console> owned = session.OpenConsole(options.json);
  Console& console = *owned;
  auto finish = [&](int status) {
    console.Exit(status);
    return status;
  };

  std::vector<Job> jobs;
  std::vector<PortEntry> unpaired;
  const PortList ports = ListPorts(context.midi);
  const IdentityFilter filter{options.serial, options.usb_path};
  auto card_map = [&] {
    return context.system.alsa_cards ? MatchCards(ports, context.system.alsa_cards())
                                     : std::map<uint32_t, CardPorts>{};
  };
  if (options.all) {
    const std::vector<Instrument> instruments = PairInstruments(ports);
    unpaired = UnpairedPorts(ports, instruments);
    for (const Instrument& instrument : instruments)
      jobs.push_back({PairOf(instrument), console.AddSlot(instrument.label)});
    if (jobs.empty() && unpaired.empty()) {
      console.Diagnostic("no instrument found");
      return finish(kExitOpenFailed);
    }
  } else if (options.output || options.input || options.instrument || filter.any()) {
    ChoiceError error;
    const auto chosen = filter.any() ? ChooseByIdentity(ports, card_map(), filter, error)
                        : options.instrument
                            ? ChooseInstrument(ports, *options.instrument, error)
                            : ChoosePair(ports, options.output, options.input, error);
    if (!chosen) {
      console.Diagnostic(error.text);
      return finish(error.usage ? kExitUsage : kExitOpenFailed);
    }
    jobs.push_back({PairOf(*chosen), console.AddOnlySlot(chosen->label)});
  } else if (const std::vector<Instrument> instruments = PairInstruments(ports);
             instruments.size() > 1) {
    // Several and no choice: updating the wrong one is worse than asking.
    console.Diagnostic(std::to_string(instruments.size()) +
                       " instruments found and none chosen; choose one with --serial S, "
                       "--usb-path P, --instrument N or --output/--input PORT, or every one "
                       "with --all:");
    const auto window = WindowPair(ports);
    const auto cards = card_map();
    for (size_t k = 0; k < instruments.size(); ++k) {
      const bool picked = window && window->output.index == instruments[k].output.index &&
                          window->input.index == instruments[k].input.index;
      console.ListChoice(k + 1, instruments[k], IdentityOf(cards, instruments[k]), picked);
    }
    return finish(kExitUsage);
  } else {
    const auto window = WindowPair(ports);
    jobs.push_back({std::nullopt, console.AddOnlySlot(window ? window->label : "")});
  }

  // The report: what is recorded of the file, the card each instrument is.
  UpdateReport report;
  std::map<uint32_t, CardPorts> cards;
  if (options.report && !options.dry_run) {
    if (const std::string why = report.Open(*options.report); !why.empty()) {
      console.Diagnostic(*options.report + ": " + why);
      return finish(kExitUsage);
    }
  }
  if (options.report || options.dry_run) cards = card_map();
  const File file = ReadOnce(options.file, options.report.has_value());
  auto key_of = [&](const Job& job) {
    const auto window = job.pair ? std::nullopt : WindowPair(ports);
    if (!job.pair && !window) return std::string();
    const uint32_t out = job.pair ? job.pair->out : window->output.index;
    const auto card = cards.find(out);
    return RecordKey(card == cards.end() ? CardIdentity{} : card->second.identity,
                     job.pair ? job.pair->out_name : window->output.name);
  };

  // What the report shows done is left alone; a dry run tells and stops there.
  if (options.skip_done || options.dry_run) {
    if (file.failure) {
      console.Diagnostic(options.file + ": " + file.failure->text);
      return finish(ExitStatusOf(*file.failure));
    }
    const std::set<std::string> done =
        options.skip_done ? CompletedInstruments(*options.report, file.facts.sha256)
                          : std::set<std::string>{};
    std::erase_if(jobs, [&](const Job& job) {
      const std::string key = key_of(job);
      const bool skip = !key.empty() && done.contains(key);
      console.Planned(job.slot, key, !skip, options.dry_run);
      return skip;
    });
    if (options.dry_run) {
      for (const PortEntry& port : unpaired)
        console.Diagnostic(PrintableText(port.name) +
                           ": no partner port, so no instrument to update");
      return finish(kExitComplete);
    }
  }

  std::vector<Outcome> outcomes(jobs.size());
  auto run = [&](size_t k) {
    std::unique_ptr<midi::MidiLayer> own;
    if (jobs.size() > 1 && context.system.open_layer) own = context.system.open_layer();
    outcomes[k] = Load(
        session, {console, own ? *own : context.midi, jobs[k].pair, jobs[k].slot, file, kRunAgain});
    if (report.open()) {
      const auto window = jobs[k].pair ? std::nullopt : WindowPair(ports);
      const uint32_t out = jobs[k].pair ? jobs[k].pair->out : window ? window->output.index : ~0u;
      const auto card = cards.find(out);
      Record(session, report, file.facts, outcomes[k],
             card == cards.end() ? CardIdentity{} : card->second.identity,
             CardOf(outcomes[k].output_port));
    }
  };

  // An accepted port that makes no pair is not updated, but it is accounted for.
  for (const PortEntry& port : unpaired) {
    const size_t slot = console.AddSlot(port.name);
    console.Diagnostic(PrintableText(port.name) + ": no partner port, so no instrument to update");
    console.Status(slot, kDeviceOpenFailedText, Overall{});
    outcomes.push_back(
        {port.name, kDeviceOpenFailedText, kExitOpenFailed, -1, false, 0, 0, {}, {}});
    console.Final(slot, outcomes.back());
  }

  if (context.inhibit_sleep) context.inhibit_sleep(true);
  session.Attach(&console);
  if (jobs.size() == 1) {
    run(0);
  } else {
    std::vector<std::thread> threads;
    for (size_t k = 0; k < jobs.size(); ++k) threads.emplace_back(run, k);
    for (std::thread& thread : threads) thread.join();
  }
  session.Attach(nullptr);
  if (context.inhibit_sleep) context.inhibit_sleep(false);
  console.Finish();

  const int status = Conclude(console, outcomes, options.file);
  if (options.all && !outcomes.empty()) console.Summary(outcomes);
  return finish(status);
}

}  // namespace tamblet::cli
