#pragma once
// Where the command line shows what the window would: one line per status
// text, a progress bar per instrument while on a terminal, or one JSON object
// per line. One console serves every instrument's thread. Everything written
// is valid UTF-8, and plain text holds no control character from a name.

#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/display.h"
#include "cli/overall_progress.h"

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

class Console {
 public:
  enum class Mode { kPlain, kTerminal, kJson };
  static constexpr size_t kNoSlot = SIZE_MAX;

  Console(int out_fd, int err_fd, Mode mode, Clock clock = SecondsSinceStart)
      : out_fd_(out_fd), err_fd_(err_fd), mode_(mode), clock_(std::move(clock)) {}

  Mode mode() const { return mode_; }
  bool json() const { return mode_ == Mode::kJson; }
  // One instrument; `label` prefixes its lines and is its JSON "port" ("" for none).
  size_t AddSlot(std::string label);
  // Slots may be added while other threads write (watch).
  std::string label(size_t slot);
  // Its bar is gone: the instrument's update ended.
  void EndSlot(size_t slot);

  void Status(size_t slot, const std::string& text, const Overall& overall);
  // A port field: `name` as the window labels it, `key` in JSON.
  void Field(size_t slot, const char* name, const char* key, const std::string& value);
  void Progress(size_t slot, const ProgressState& progress, const Overall& overall);
  // A line of plain output, under any bars.
  void Line(const std::string& line);
  // A JSON object of `type` with "t", the slot's "port" (none for kNoSlot) and `fields`.
  void Object(size_t slot, const char* type, const Json& fields);
  // "tamblet-cli: " and `text` on the error stream.
  void Diagnostic(const std::string& text);
  // What the window would show in a message box: a diagnostic, and in JSON
  // also a "message" object.
  void Message(size_t slot, const std::string& text);
  // Leaves the bars where they are and ends their line.
  void Finish();

 private:
  struct Slot {
    std::string label;
    ProgressState progress;
    Overall overall;
    bool has_bar = false;
    std::string told;  // the last message box, not repeated by the status line
  };
  std::string Prefix(size_t slot);              // takes mutex_
  std::string PrefixLocked(size_t slot) const;  // with mutex_ held
  void Emit(int fd, const std::string& text);   // with mutex_ held
  void EmitLine(int fd, const std::string& line);
  void ClearBars();
  void DrawBars();

  const int out_fd_;
  const int err_fd_;
  const Mode mode_;
  const Clock clock_;
  std::mutex mutex_;
  std::vector<Slot> slots_;  // added before any thread starts
  int bars_drawn_ = 0;
};

}  // namespace tamblet::cli
