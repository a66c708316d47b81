#include "cli/instrument_run.h"

#include <chrono>

#include "app/version_preview.h"

namespace tamblet::cli {

std::unique_ptr<Console> Session::OpenConsole(bool json) const {
  const Console::Mode mode = json                       ? Console::Mode::kJson
                             : context.streams.terminal ? Console::Mode::kTerminal
                                                        : Console::Mode::kPlain;
  return MakeConsole(mode, context.streams.out_fd, context.streams.err_fd, context.streams.clock);
}

void Session::Attach(Console* now, bool watch) {
  std::lock_guard<std::mutex> lock(console_mutex);
  console = now;
  watching = watch;
}

File ReadOnce(const std::string& path, bool describe) {
  File file;
  file.facts.name = path;
  FileBytes bytes;
  file.failure = ReadUpdateFile(path, bytes, file.stage);
  if (file.failure) return file;
  const std::span<const uint8_t> all(bytes.data.get(), static_cast<size_t>(bytes.length));
  if (all.size() >= kPreviewSize) file.preview = FormatVersionPreview(all.first<kPreviewSize>());
  if (describe) file.facts = DescribeFile(path, all);
  file.failure = CheckUpdateFile(all, file.update, file.stage);
  return file;
}

Outcome Load(Session& session, const LoadJob& job) {
  InstrumentLayer layer(job.midi, job.pair);
  InstrumentView view(job.console, job.slot, job.again);
  ++session.loads;
  // What the window shows when it opens and when Browse picks the file.
  const PortPair ports = DiscoverPortPair(layer, view);
  if (job.file.preview) view.OnStatus(job.file.preview->c_str());
  Outcome outcome;
  outcome.start_ms = UnixMsNow();
  const auto start = std::chrono::steady_clock::now();
  job.file.stage.TellTo(view);
  const LoadOutcome result = job.file.failure ? *job.file.failure
                                              : RunUpdate(job.file.update, ports, layer, view,
                                                          session.stop, session.context.waits);
  --session.loads;
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  outcome.end_ms = UnixMsNow();
  outcome.label = job.console.label(job.slot);
  outcome.final_text = result.text;
  outcome.output_port = view.output_port();
  outcome.input_port = view.input_port();
  outcome.exit = ExitStatusOf(result);
  outcome.unreadable = result.step == LoadStep::kReadFile;
  if (outcome.exit != kExitComplete && session.stop.forced()) outcome.exit = kExitStopped;
  if (outcome.exit != kExitComplete && session.terminated.load()) outcome.exit = kExitTerminated;
  job.console.Final(job.slot, outcome);
  return outcome;
}

void Record(Session& session, UpdateReport& report, const FileFacts& facts, const Outcome& outcome,
            const CardIdentity& identity, const std::string& card) {
  const std::string why =
      report.Append(facts, {identity, card, outcome.output_port, outcome.input_port,
                            outcome.start_ms, outcome.end_ms, outcome.final_text, outcome.exit});
  if (!why.empty()) {
    std::lock_guard<std::mutex> lock(session.console_mutex);
    if (session.console != nullptr)
      session.console->Diagnostic((outcome.label.empty() ? "" : outcome.label + ": ") +
                                  "the report could not be written: " + why);
  }
}

}  // namespace tamblet::cli
