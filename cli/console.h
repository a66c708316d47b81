#pragma once
// Where the command line shows what the window would: one line per status
// text, a progress bar per instrument while on a terminal, or one JSON object
// per line. One console serves every instrument's thread.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "app/window_layer.h"
#include "base/display.h"

namespace tamblet::cli {

// "[#######.......]   3/8": `width` marks, as many filled as the share done.
std::string FormatBar(const ProgressState& progress, int width);

inline constexpr int kBarWidthMax = 30;

// `prefix` and a bar of at most kBarWidthMax marks, narrowed and then cut so the
// line stays within `columns` - 1 (no limit when `columns` is 0).
std::string FitToColumns(const std::string& prefix, const ProgressState& progress, int columns);

// A JSON string literal.
std::string JsonString(const std::string& text);

class Console {
 public:
  enum class Mode { kPlain, kTerminal, kJson };
  Console(int out_fd, int err_fd, Mode mode) : out_fd_(out_fd), err_fd_(err_fd), mode_(mode) {}

  Mode mode() const { return mode_; }
  // One instrument; `label` prefixes its lines ("" for none).
  size_t AddSlot(std::string label);
  const std::string& label(size_t slot) const { return slots_[slot].label; }

  void Status(size_t slot, const std::string& text);
  // A port field: `name` as the window labels it, `key` in JSON.
  void Field(size_t slot, const char* name, const char* key, const std::string& value);
  void Progress(size_t slot, const ProgressState& progress);
  // A line of the output (text or a JSON object), under any bars.
  void Line(const std::string& line);
  // A message for the person at the terminal, on the error stream.
  void Note(const std::string& line);
  // What the window would show in a message box: a note, or a JSON object.
  void Message(size_t slot, const std::string& text);
  // Leaves the bars where they are and ends their line.
  void Finish();

 private:
  struct Slot {
    std::string label;
    ProgressState progress;
    bool has_bar = false;
  };
  std::string Prefix(size_t slot) const;
  std::string JsonPort(size_t slot) const;
  void Emit(int fd, const std::string& text);  // with mutex_ held
  void ClearBars();
  void DrawBars();

  const int out_fd_;
  const int err_fd_;
  const Mode mode_;
  std::mutex mutex_;
  std::vector<Slot> slots_;  // added before any thread starts
  int bars_drawn_ = 0;
};

// The window layer of one instrument's dialog, on the console.
class ConsoleWindow final : public WindowLayer {
 public:
  ConsoleWindow(Console& console, size_t slot, std::string update_file)
      : console_(console), slot_(slot), update_file_(std::move(update_file)) {}

  void SetWindowText(int control, const std::string& text) override;
  std::string GetWindowText(int control) override;
  void SendProgressMessage(uint32_t msg, uint32_t wparam, uint32_t lparam) override;
  // A box that repeats the status line adds nothing; any other (who holds a
  // busy port) is shown.
  void MessageBox(const std::string& text) override;
  // Browse picks the file named on the command line.
  std::string RunFileOpenDialog() override { return update_file_; }

  const std::string& status() const { return status_; }
  bool device_stage_started() const { return device_stage_started_; }

 private:
  Console& console_;
  const size_t slot_;
  const std::string update_file_;
  std::string file_name_;
  std::string output_port_;
  std::string input_port_;
  std::string status_;
  bool device_stage_started_ = false;
  ProgressState progress_;
};

}  // namespace tamblet::cli
