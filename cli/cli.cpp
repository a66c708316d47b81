#include "cli/cli.h"

#include <unistd.h>

#include "cli/instrument_run.h"
#include "cli/options.h"
#include "cli/safe_text.h"

namespace tamblet::cli {
namespace {

// Each line made printable: a complaint may quote any word it was given.
void WriteText(int fd, const std::string& text) {
  std::string clean;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    clean += PrintableText(std::string_view(text).substr(start, end - start)) + "\n";
  if (::write(fd, clean.data(), clean.size()) < 0) return;  // nowhere else to report it
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

Cli::Cli(CliContext context) : session_(std::make_unique<Session>(std::move(context))) {}
Cli::~Cli() = default;

int Cli::Run(const std::vector<std::string>& args) {
  Options options;
  if (const auto end = ParseArgs(args, options)) {
    WriteText(session_->context.streams.out_fd, end->out);
    WriteText(session_->context.streams.err_fd, end->err);
    return end->status;
  }
  switch (options.command) {
    case Options::Command::kPorts:
      return Ports(*session_, options.json);
    case Options::Command::kWatch:
      return Watch(*session_, options);
    case Options::Command::kUpdate:
      break;
  }
  return Update(*session_, options);
}

bool Cli::Interrupt() {
  Session& s = *session_;
  std::lock_guard<std::mutex> lock(s.console_mutex);
  Console* console = s.console;
  if (console == nullptr) return true;
  if (s.watching.load() && s.loads.load() == 0) {
    s.stop.Force();  // only waiting: nothing to cut
    console->Diagnostic("stopping: no update is running");
  } else if (s.ctrl_c.Interrupt(std::chrono::steady_clock::now()) == StopSwitch::Press::kForced) {
    console->Diagnostic("stopping: each update ends at its current step, then its ports close");
  } else {
    console->Diagnostic(
        "an update is running; stopping it in the middle of a step can leave the "
        "instrument unusable. Press Ctrl-C again within 3 s to stop anyway.");
  }
  return false;
}

bool Cli::Terminate() {
  Session& s = *session_;
  std::lock_guard<std::mutex> lock(s.console_mutex);
  s.terminated.store(true);
  s.stop.Request();
  if (s.console == nullptr) return true;
  s.console->Diagnostic(
      "terminating: each update stops before its next request, then its ports "
      "close");
  return false;
}

}  // namespace tamblet::cli
