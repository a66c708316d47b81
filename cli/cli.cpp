#include "cli/cli.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "app/update_dlg.h"
#include "cli/instrument_ports.h"
#include "update/update_sequence.h"

namespace tamblet::cli {

struct Cli::Options {
  std::string file;
  std::optional<std::string> output;
  std::optional<std::string> input;
  bool all = false;
  bool json = false;
};

namespace {

void Write(int fd, const std::string& text) {
  if (::write(fd, text.data(), text.size()) < 0) return;  // nowhere else to report it
}

struct LoadOutcome {
  std::string label;
  std::string final_text;
  int exit = kExitComplete;
  double seconds = 0;
};

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

std::string Padded(std::string text, size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

}  // namespace

std::string CliUsage() {
  return "usage:\n"
         "  tamblet-cli ports [--json]\n"
         "  tamblet-cli update FILE [--output PORT] [--input PORT] [--json]\n"
         "  tamblet-cli update FILE --all [--json]\n"
         "  tamblet-cli --help | --version\n"
         "ports lists every MIDI port, whether it is an instrument's, and the pairs.\n"
         "update runs the file check and the device update as the window's Load does,\n"
         "on the pair the window would pick, or on the one chosen by --output and/or\n"
         "--input (a port index or exact name, as `ports` shows them); --all updates\n"
         "every attached instrument at once. --json prints one JSON object per line.\n"
         "Exit status: 0 Complete!, 1 a device step failed, 2 bad usage, 3 the update\n"
         "file failed, 4 no instrument or its ports did not open, 130 stopped by Ctrl-C.\n"
         "Ctrl-C once warns; a second Ctrl-C within 3 s stops after closing the ports.\n";
}

int ClassifyLoad(const std::string& final_text, bool device_stage_started) {
  if (final_text == kCompleteText) return kExitComplete;
  if (!device_stage_started) return kExitFileFailed;
  if (final_text == kDeviceOpenFailedText) return kExitOpenFailed;
  return kExitStepFailed;
}

int Cli::Run(const std::vector<std::string>& args) {
  auto usage_error = [this](const std::string& why) {
    Write(context_.err_fd, "tamblet-cli: " + why + "\n" + CliUsage());
    return kExitUsage;
  };
  if (args.empty()) return usage_error("a command is needed");
  if (args[0] == "--help" || args[0] == "-h") {
    Write(context_.out_fd, CliUsage());
    return kExitComplete;
  }
  if (args[0] == "--version") {
    Write(context_.out_fd, std::string("tamblet-cli ") + TAMBLET_VERSION + "\n");
    return kExitComplete;
  }
  Options options;
  std::vector<std::string> positional;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--all") {
      options.all = true;
    } else if (arg == "--output" || arg == "--input") {
      if (i + 1 >= args.size()) return usage_error(arg + " needs a port index or name");
      (arg == "--output" ? options.output : options.input) = args[++i];
    } else if (arg.starts_with("--")) {
      return usage_error("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (args[0] == "ports") {
    if (!positional.empty() || options.all || options.output || options.input)
      return usage_error("ports takes only --json");
    return Ports(options.json);
  }
  if (args[0] != "update") return usage_error("unknown command " + args[0]);
  if (positional.size() != 1) return usage_error("update takes one update file");
  if (options.all && (options.output || options.input))
    return usage_error("--all updates every instrument; it takes no --output or --input");
  options.file = positional[0];
  return Update(options);
}

int Cli::Ports(bool json) {
  const PortList ports = ListPorts(context_.midi);
  const std::vector<Instrument> instruments = PairInstruments(ports);
  const std::optional<Instrument> window = WindowPair(ports);
  Console console(context_.out_fd, context_.err_fd,
                  json ? Console::Mode::kJson : Console::Mode::kPlain);

  auto in_window = [&window](bool output, const PortEntry& port) {
    return window && (output ? window->output.index : window->input.index) == port.index;
  };
  for (const bool output : {true, false}) {
    const char* direction = output ? "output" : "input";
    if (!json) console.Line(std::string(direction) + " ports");
    for (const PortEntry& port : output ? ports.outputs : ports.inputs) {
      const bool picked = in_window(output, port);
      if (json) {
        console.Line(std::string("{\"direction\":\"") + direction + "\",\"index\":" +
                     std::to_string(port.index) + ",\"name\":" + JsonString(port.name) +
                     ",\"accepted\":" + (port.accepted ? "true" : "false") +
                     ",\"window\":" + (picked ? "true" : "false") + "}");
      } else {
        char index[16];
        std::snprintf(index, sizeof index, "%4u  ", port.index);
        console.Line(index + Padded(port.name, 33) + (port.accepted ? "  accepted" : "") +
                     (picked ? "  * window's pair" : ""));
      }
    }
  }
  if (!json) console.Line("instruments");
  for (size_t k = 0; k < instruments.size(); ++k) {
    const Instrument& instrument = instruments[k];
    const bool picked = window && window->output.index == instrument.output.index &&
                        window->input.index == instrument.input.index;
    if (json) {
      console.Line("{\"instrument\":" + std::to_string(k + 1) +
                   ",\"output\":" + std::to_string(instrument.output.index) +
                   ",\"input\":" + std::to_string(instrument.input.index) +
                   ",\"output_name\":" + JsonString(instrument.output.name) +
                   ",\"input_name\":" + JsonString(instrument.input.name) +
                   ",\"window\":" + (picked ? "true" : "false") + "}");
    } else {
      console.Line("   " + std::to_string(k + 1) + "  output " +
                   std::to_string(instrument.output.index) + " + input " +
                   std::to_string(instrument.input.index) + "  " + CardOf(instrument.output.name) +
                   (picked ? "  * window's pair" : ""));
    }
  }
  if (!json && instruments.empty()) console.Line("   none");
  const int status = window ? kExitComplete : kExitOpenFailed;
  if (json) console.Line("{\"exit\":" + std::to_string(status) + "}");
  return status;
}

int Cli::Update(const Options& options) {
  const Console::Mode mode = options.json        ? Console::Mode::kJson
                             : context_.terminal ? Console::Mode::kTerminal
                                                 : Console::Mode::kPlain;
  Console console(context_.out_fd, context_.err_fd, mode);

  // Which instruments, each with its own view of the layer. Without a choice
  // the dialog discovers its pair itself, exactly as in the window.
  struct Job {
    std::optional<InstrumentLayer::Pair> pair;
    size_t slot;
  };
  std::vector<Job> jobs;
  const PortList ports = ListPorts(context_.midi);
  if (options.all) {
    for (const Instrument& instrument : PairInstruments(ports))
      jobs.push_back({InstrumentLayer::Pair{instrument.output.index, instrument.input.index,
                                            instrument.output.name, instrument.input.name},
                      console.AddSlot(instrument.label)});
  } else if (options.output || options.input) {
    std::string error;
    const auto chosen = ChoosePair(ports, options.output, options.input, error);
    if (!chosen) {
      Write(context_.err_fd, "tamblet-cli: " + error + "\n");
      return kExitOpenFailed;
    }
    jobs.push_back({InstrumentLayer::Pair{chosen->output.index, chosen->input.index,
                                          chosen->output.name, chosen->input.name},
                    console.AddSlot(options.json ? chosen->label : "")});
  }
  if (jobs.empty()) {
    // No choice, or --all with no instrument: the window's own discovery decides.
    const auto window = WindowPair(ports);
    const bool label = options.json || options.all;
    jobs.push_back({std::nullopt, console.AddSlot(label && window ? window->label : "")});
  }

  std::vector<LoadOutcome> outcomes(jobs.size());
  auto run = [&](size_t k) {
    std::unique_ptr<midi::MidiLayer> own;
    if (jobs.size() > 1 && context_.open_layer) own = context_.open_layer();
    InstrumentLayer layer(own ? *own : context_.midi, jobs[k].pair, stop_);
    StoppableWaits waits(context_.waits, stop_);
    ConsoleWindow window(console, jobs[k].slot, options.file);
    CUpdateDlg dlg(window, layer, waits);
    dlg.OnInitDialog();
    dlg.OnBrowse();
    const auto start = std::chrono::steady_clock::now();
    dlg.OnLoad();
    LoadOutcome& outcome = outcomes[k];
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.label = console.label(jobs[k].slot);
    outcome.final_text = window.status();
    outcome.exit = ClassifyLoad(outcome.final_text, window.device_stage_started());
    if (outcome.exit != kExitComplete && stop_.forced()) outcome.exit = kExitStopped;
    if (options.json) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.3f", outcome.seconds);
      console.Line("{" +
                   (outcome.label.empty() ? "" : "\"port\":" + JsonString(outcome.label) + ",") +
                   "\"final\":" + JsonString(outcome.final_text) +
                   ",\"exit\":" + std::to_string(outcome.exit) + ",\"seconds\":" + seconds + "}");
    }
  };

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
  for (const LoadOutcome& outcome : outcomes)
    if (status == kExitComplete) status = outcome.exit;
  if (stop_.forced() && status != kExitComplete)
    console.Note("tamblet-cli: stopped; the ports are closed, the update did not finish");
  if (options.json) {
    if (options.all) console.Line("{\"exit\":" + std::to_string(status) + "}");
  } else if (options.all) {
    size_t width = 10;
    for (const LoadOutcome& outcome : outcomes) width = std::max(width, outcome.label.size());
    console.Line("");
    console.Line(Padded("instrument", width) + "  " + Padded("final text", 28) + "  time");
    for (const LoadOutcome& outcome : outcomes)
      console.Line(Padded(outcome.label, width) + "  " + Padded(outcome.final_text, 28) + "  " +
                   Seconds(outcome.seconds));
  }
  return status;
}

bool Cli::Interrupt() {
  std::lock_guard<std::mutex> lock(console_mutex_);
  Console* console = console_;
  if (console == nullptr) return true;
  if (stop_.Interrupt(std::chrono::steady_clock::now()) == StopSwitch::Press::kForced) {
    console->Note(
        "tamblet-cli: stopping: each update ends at its current step, then its ports close");
  } else {
    console->Note(
        "tamblet-cli: an update is running; stopping it in the middle of a step can leave the "
        "instrument unusable. Press Ctrl-C again within 3 s to stop anyway.");
  }
  return false;
}

}  // namespace tamblet::cli
