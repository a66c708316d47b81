#include "cli/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
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
  if (mode_ == Mode::kTerminal) DrawBars();
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
  if (mode_ == Mode::kTerminal) DrawBars();
}

void Console::ClearBars() {
  if (bars_drawn_ == 0) return;
  std::string erase = "\r";
  if (bars_drawn_ > 1) erase += "\033[" + std::to_string(bars_drawn_ - 1) + "A";
  Emit(out_fd_, erase + "\033[J");
  bars_drawn_ = 0;
}

void Console::DrawBars() {
  winsize size{};
  const int columns = ::ioctl(out_fd_, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
  std::string text;
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (!slots_[i].has_bar) continue;
    if (bars_drawn_++ > 0) text += "\n";
    text += FitToColumns(PrintableText(PrefixLocked(i)), slots_[i].progress, slots_[i].overall,
                         columns);
  }
  Emit(out_fd_, text);
}

void Console::Object(size_t slot, const char* type, const Json& fields) {
  Json object;
  object["type"] = type;
  object["t"] = std::round(clock_() * 1000) / 1000;
  if (slot != kNoSlot) {
    const std::string port = label(slot);
    if (!port.empty()) object["port"] = ValidUtf8(port);
  }
  for (const auto& [key, value] : fields.items())
    object[key] = value.is_string() ? Json(ValidUtf8(value.get<std::string>())) : value;
  EmitLine(out_fd_, object.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void Console::Status(size_t slot, const std::string& text, const Overall& overall) {
  std::string told;
  {
    std::lock_guard<std::mutex> lock(mutex_);  // the bars of other threads read it
    slots_[slot].overall = overall;
    told = slots_[slot].told;
  }
  if (json()) {
    Object(slot, "status", {{"status", text}});
  } else if (text != told) {  // a box said it already, on the error stream
    Line(Prefix(slot) + text);
  }
}

void Console::Field(size_t slot, const char* name, const char* key, const std::string& value) {
  if (json()) {
    Object(slot, "field", {{key, value}});
  } else {
    Line(Prefix(slot) + name + ": " + value);
  }
}

void Console::Progress(size_t slot, const ProgressState& progress, const Overall& overall) {
  if (json()) {
    Object(slot, "progress",
           {{"min", progress.min},
            {"max", progress.max},
            {"position", progress.position},
            {"step", overall.step},
            {"steps", overall.steps},
            {"percent", overall.percent}});
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  slots_[slot].progress = progress;
  slots_[slot].overall = overall;
  slots_[slot].has_bar = true;
  if (mode_ == Mode::kTerminal) {
    ClearBars();
    DrawBars();
  }
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
  if (json()) Object(slot, "message", {{"message", text}});
}

void Console::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bars_drawn_ > 0) Emit(out_fd_, "\n");
  bars_drawn_ = 0;
  for (Slot& slot : slots_) slot.has_bar = false;  // they stay above what follows
}

}  // namespace tamblet::cli
