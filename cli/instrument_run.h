#pragma once
// What the commands share: the session of one run of the program (its wiring,
// the one stop token, the console the signals speak on), the update file read
// once, and one instrument's update as the window runs it.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/stop_token.h"
#include "cli/cli.h"
#include "cli/console.h"
#include "cli/forced_stop.h"
#include "cli/instrument_view.h"
#include "cli/update_report.h"
#include "update/update_run.h"

namespace tamblet::cli {

struct Session {
  explicit Session(CliContext wiring) : context(std::move(wiring)) {}

  // The console of the command's form: JSON, bars on a terminal, else plain.
  std::unique_ptr<Console> OpenConsole(bool json) const;
  // The console the signals speak on while updates run; nullptr once they ended.
  void Attach(Console* console, bool watch = false);

  const CliContext context;
  // Every update of the command stops by this one token: SIGTERM before the
  // next request, a second Ctrl-C now.
  StopToken stop;
  StopSwitch ctrl_c{stop};
  std::atomic<bool> terminated{false};  // why it stopped, for the exit status
  std::atomic<bool> watching{false};
  std::atomic<int> loads{0};  // Loads under way
  std::mutex console_mutex;
  Console* console = nullptr;
};

// The update file, read, checked and described once per command: every
// instrument is sent exactly these bytes, and the report describes them.
struct File {
  FileStageEvents stage;  // told again on each instrument's lines
  std::optional<LoadOutcome> failure;
  CheckedUpdate update;
  std::optional<std::string> preview;  // what Browse shows of it
  FileFacts facts;
};
File ReadOnce(const std::string& path, bool describe);

struct LoadJob {
  Console& console;
  midi::MidiLayer& midi;
  std::optional<InstrumentLayer::Pair> pair;  // none: the window's own discovery
  size_t slot;
  const File& file;
  std::string_view again;  // how the user tries again after a notice
};

inline constexpr std::string_view kRunAgain = "run the update again";
inline constexpr std::string_view kPlugAgain = "unplug the instrument and plug it in again";

// One Load of one instrument on this thread, as the window runs it.
Outcome Load(Session& session, const LoadJob& job);

// Appends the outcome to the report; says so on the console when it cannot.
void Record(Session& session, UpdateReport& report, const FileFacts& facts, const Outcome& outcome,
            const CardIdentity& identity, const std::string& card);

// The commands, each in its own file.
int Ports(Session& session, bool json);
struct Options;
int Update(Session& session, const Options& options);
int Watch(Session& session, const Options& options);

}  // namespace tamblet::cli
