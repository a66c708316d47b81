#pragma once
// Where the command line shows what the window would. One console serves every
// instrument's thread. Everything written is valid UTF-8, and plain text holds
// no control character from a name.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/display.h"
#include "cli/overall_progress.h"
#include "instruments/card_identity.h"
#include "instruments/instrument_ports.h"

namespace tamblet::cli {

using Json = nlohmann::ordered_json;

// Seconds since the program started.
using Clock = std::function<double()>;
double SecondsSinceStart();

// The whole update's progress beside the step's own bar.
struct Overall {
  int step = 0;  // 0: not started, no step shown
  int steps = OverallProgress::kSteps;
  int percent = 0;
};

// "[#######.......]   3/8": `width` marks, as many filled as the share done.
std::string FormatBar(const ProgressState& progress, int width);

inline constexpr int kBarWidthMax = 30;

// `prefix`, a bar of at most kBarWidthMax marks and the overall step and share,
// narrowed and then cut so the line stays within `columns` - 1 characters (no
// limit when `columns` is 0).
std::string FitToColumns(const std::string& prefix, const ProgressState& progress,
                         const Overall& overall, int columns);

// How one instrument's update ended: told on the console and recorded.
struct Outcome {
  std::string label;
  std::string final_text;
  int exit = 0;
  double seconds = 0;       // negative: it never ran
  bool unreadable = false;  // the update file could not be read
  int64_t start_ms = 0, end_ms = 0;
  std::string output_port, input_port;
};

// What the commands tell, in one of three forms: plain lines, lines with a
// progress bar per instrument on a terminal, or one JSON object per line. Every
// form shares the slots, the error stream and the line discipline below.
class Console {
 public:
  enum class Mode { kPlain, kTerminal, kJson };
  static constexpr size_t kNoSlot = SIZE_MAX;

  virtual ~Console() = default;

  // One instrument; `label` prefixes its lines and is its JSON "port" ("" for none).
  size_t AddSlot(std::string label);
  // The only instrument of the command: plain lines need no prefix for it.
  virtual size_t AddOnlySlot(std::string label) = 0;
  // Slots may be added while other threads write (watch).
  std::string label(size_t slot);
  // Its bar is gone: the instrument's update ended.
  void EndSlot(size_t slot);

  // What the window shows of one instrument.
  virtual void Status(size_t slot, const std::string& text, const Overall& overall) = 0;
  // A port field: `name` as the window labels it, `key` in JSON.
  virtual void Field(size_t slot, const char* name, const char* key, const std::string& value) = 0;
  virtual void Progress(size_t slot, const ProgressState& progress, const Overall& overall) = 0;
  // What the window would show in a message box: a diagnostic, and in JSON
  // also a "message" object.
  virtual void Message(size_t slot, const std::string& text);

  // `ports`: a heading, each port (`window`: of the window's pair), each instrument.
  virtual void Heading(const std::string& heading) = 0;
  virtual void Port(const char* direction, const PortEntry& port, bool window) = 0;
  virtual void ListInstrument(size_t number, const Instrument& instrument,
                              const CardIdentity& identity, bool window) = 0;
  virtual void NoInstrument() = 0;
  // An instrument to choose from, listed as `ports` lists it, when no choice
  // was made: on the error stream, and in JSON as ListInstrument's object.
  virtual void ListChoice(size_t number, const Instrument& instrument, const CardIdentity& identity,
                          bool window) = 0;

  // How one instrument's update ended; the table of every instrument (--all).
  virtual void Final(size_t slot, const Outcome& outcome) = 0;
  virtual void Summary(const std::vector<Outcome>& outcomes) = 0;
  // `watch`: an instrument plugged in, and its update's end.
  virtual void Plugged(size_t slot, const CardIdentity& identity, const std::string& card) = 0;
  virtual void Ended(size_t slot, const Outcome& outcome) = 0;
  // --skip-done and --dry-run: whether the instrument known as `instrument` is
  // (or, in a dry run, would be) updated, or left alone as its report shows it done.
  virtual void Planned(size_t slot, const std::string& instrument, bool update, bool dry_run) = 0;
  // The command's exit status.
  virtual void Exit(int status) = 0;

  // "tamblet-cli: " and `text` on the error stream.
  void Diagnostic(const std::string& text);
  // Leaves the bars where they are and ends their line.
  void Finish();

 protected:
  struct Slot {
    std::string label;
    ProgressState progress;
    Overall overall;
    bool has_bar = false;
    std::string told;  // the last message box, not repeated by the status line
  };
  Console(int out_fd, int err_fd) : out_fd_(out_fd), err_fd_(err_fd) {}

  std::string Prefix(size_t slot);              // takes mutex_
  std::string PrefixLocked(size_t slot) const;  // with mutex_ held
  void Emit(int fd, const std::string& text);   // with mutex_ held
  void EmitLine(int fd, const std::string& line);
  // A line of plain output, under any bars.
  void Line(const std::string& line);
  // Bars drawn under the lines: none but on a terminal. With mutex_ held.
  virtual void ClearBars() {}
  virtual void DrawBars() {}
  // Ends the bars' line and forgets them: they stay above what follows.
  virtual void LeaveBars() {}

  const int out_fd_;
  const int err_fd_;
  std::mutex mutex_;
  std::vector<Slot> slots_;
};

// The plain and terminal forms (console_text.cpp), the JSON form (console_json.cpp).
std::unique_ptr<Console> MakeTextConsole(int out_fd, int err_fd, bool terminal);
std::unique_ptr<Console> MakeJsonConsole(int out_fd, int err_fd, Clock clock);
std::unique_ptr<Console> MakeConsole(Console::Mode mode, int out_fd, int err_fd,
                                     Clock clock = SecondsSinceStart);

}  // namespace tamblet::cli
