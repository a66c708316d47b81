#include "cli/console.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "cli/safe_text.h"

namespace tamblet::cli {
namespace {

const auto kProgramStart = std::chrono::steady_clock::now();

constexpr char kProgram[] = "tamblet-cli: ";

std::string Tail(const Overall& overall) {
  if (overall.step == 0) return "";
  char text[48];
  std::snprintf(text, sizeof text, "  step %d of %d %3d%%", overall.step, overall.steps,
                overall.percent);
  return text;
}

}  // namespace

double SecondsSinceStart() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - kProgramStart).count();
}

std::string FormatBar(const ProgressState& progress, int width) {
  const int span = progress.max - progress.min;
  const int filled = span > 0 ? (progress.position - progress.min) * width / span : 0;
  char numbers[32];
  std::snprintf(numbers, sizeof numbers, " %3d/%d", progress.position, progress.max);
  return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]" + numbers;
}

std::string FitToColumns(const std::string& prefix, const ProgressState& progress,
                         const Overall& overall, int columns) {
  const std::string tail = Tail(overall);
  std::string line = prefix + FormatBar(progress, kBarWidthMax) + tail;
  if (columns <= 0) return line;
  // A bar that wraps would leave the cursor-up count short and smear every redraw.
  const auto limit = static_cast<size_t>(columns - 1);
  const size_t width = TextWidth(line);
  if (width > limit) {
    const int over = static_cast<int>(width - limit);
    line = prefix + FormatBar(progress, std::max(0, kBarWidthMax - over)) + tail;
  }
  return CutToWidth(line, limit);
}

size_t Console::AddSlot(std::string label) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_.push_back(Slot{std::move(label), {}, {}, false, {}});
  return slots_.size() - 1;
}

std::string Console::PrefixLocked(size_t slot) const {
  return slots_[slot].label.empty() ? "" : slots_[slot].label + ": ";
}

std::string Console::Prefix(size_t slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  return PrefixLocked(slot);
}

std::string Console::label(size_t slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  return slots_[slot].label;
}

void Console::EndSlot(size_t slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!slots_[slot].has_bar) return;
  ClearBars();
  slots_[slot].has_bar = false;
  DrawBars();
}

void Console::Emit(int fd, const std::string& text) {
  // A terminal that went away (an SSH session dropped) must not stop an update:
  // what cannot be written is dropped.
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void Console::EmitLine(int fd, const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearBars();
  Emit(fd, line + "\n");
  DrawBars();
}

void Console::Line(const std::string& line) { EmitLine(out_fd_, PrintableText(line)); }

void Console::Diagnostic(const std::string& text) {
  EmitLine(err_fd_, kProgram + PrintableText(text));
}

void Console::Message(size_t slot, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[slot].told = text;
  }
  Diagnostic(Prefix(slot) + text);
}

void Console::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  LeaveBars();
  for (Slot& slot : slots_) slot.has_bar = false;
}

std::unique_ptr<Console> MakeConsole(Console::Mode mode, int out_fd, int err_fd, Clock clock) {
  if (mode == Console::Mode::kJson) return MakeJsonConsole(out_fd, err_fd, std::move(clock));
  return MakeTextConsole(out_fd, err_fd, mode == Console::Mode::kTerminal);
}

}  // namespace tamblet::cli
