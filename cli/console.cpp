#include "cli/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "base/display.h"
#include "update/update_sequence.h"

namespace tamblet::cli {

std::string FormatBar(const ProgressState& progress, int width) {
  const int span = progress.max - progress.min;
  const int filled = span > 0 ? (progress.position - progress.min) * width / span : 0;
  char numbers[32];
  std::snprintf(numbers, sizeof numbers, " %3d/%d", progress.position, progress.max);
  return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]" + numbers;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

size_t Console::AddSlot(std::string label) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_.push_back(Slot{std::move(label), {}, false});
  return slots_.size() - 1;
}

std::string Console::Prefix(size_t slot) const {
  return slots_[slot].label.empty() ? "" : slots_[slot].label + ": ";
}

std::string Console::JsonPort(size_t slot) const {
  return slots_[slot].label.empty() ? "" : "\"port\":" + JsonString(slots_[slot].label) + ",";
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

void Console::ClearBars() {
  if (bars_drawn_ == 0) return;
  std::string erase = "\r";
  if (bars_drawn_ > 1) erase += "\033[" + std::to_string(bars_drawn_ - 1) + "A";
  Emit(out_fd_, erase + "\033[J");
  bars_drawn_ = 0;
}

std::string FitToColumns(const std::string& prefix, const ProgressState& progress, int columns) {
  std::string line = prefix + FormatBar(progress, kBarWidthMax);
  if (columns <= 0) return line;
  // A bar that wraps would leave the cursor-up count short and smear every redraw.
  const auto limit = static_cast<size_t>(columns - 1);
  if (line.size() > limit) {
    const int over = static_cast<int>(line.size() - limit);
    line = prefix + FormatBar(progress, std::max(0, kBarWidthMax - over));
  }
  if (line.size() > limit) line.resize(limit);
  return line;
}

void Console::DrawBars() {
  winsize size{};
  const int columns = ::ioctl(out_fd_, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
  std::string text;
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (!slots_[i].has_bar) continue;
    if (bars_drawn_++ > 0) text += "\n";
    text += FitToColumns(Prefix(i), slots_[i].progress, columns);
  }
  Emit(out_fd_, text);
}

void Console::Status(size_t slot, const std::string& text) {
  if (mode_ == Mode::kJson) {
    Line("{" + JsonPort(slot) + "\"status\":" + JsonString(text) + "}");
  } else {
    Line(Prefix(slot) + text);
  }
}

void Console::Field(size_t slot, const char* name, const char* key, const std::string& value) {
  if (mode_ == Mode::kJson) {
    Line("{" + JsonPort(slot) + JsonString(key) + ":" + JsonString(value) + "}");
  } else {
    Line(Prefix(slot) + name + ": " + value);
  }
}

void Console::Progress(size_t slot, const ProgressState& progress) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_[slot].progress = progress;
  slots_[slot].has_bar = true;
  if (mode_ == Mode::kJson) {
    Emit(out_fd_, "{" + JsonPort(slot) + "\"min\":" + std::to_string(progress.min) +
                      ",\"max\":" + std::to_string(progress.max) +
                      ",\"position\":" + std::to_string(progress.position) + "}\n");
  } else if (mode_ == Mode::kTerminal) {
    ClearBars();
    DrawBars();
  }
}

void Console::Line(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearBars();
  Emit(out_fd_, line + "\n");
  if (mode_ == Mode::kTerminal) DrawBars();
}

void Console::Note(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearBars();
  Emit(err_fd_, line + "\n");
  if (mode_ == Mode::kTerminal) DrawBars();
}

void Console::Message(size_t slot, const std::string& text) {
  if (mode_ == Mode::kJson) {
    Line("{" + JsonPort(slot) + "\"message\":" + JsonString(text) + "}");
  } else {
    Note(Prefix(slot) + text);
  }
}

void Console::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bars_drawn_ > 0) Emit(out_fd_, "\n");
  bars_drawn_ = 0;
  for (Slot& slot : slots_) slot.has_bar = false;  // they stay above what follows
}

void ConsoleWindow::MessageBox(const std::string& text) {
  if (text != status_) console_.Message(slot_, text);
}

void ConsoleWindow::SetWindowText(int control, const std::string& text) {
  switch (control) {
    case IDC_STATUS:
      status_ = text;
      if (text == kDeviceOpenText) device_stage_started_ = true;
      console_.Status(slot_, text);
      break;
    case IDC_OUTPUT_PORT:
      output_port_ = text;
      console_.Field(slot_, "Output Port", "output_port", text);
      break;
    case IDC_INPUT_PORT:
      input_port_ = text;
      console_.Field(slot_, "Input Port", "input_port", text);
      break;
    case IDC_FILE_NAME:
      file_name_ = text;
      break;
    default:
      break;
  }
}

std::string ConsoleWindow::GetWindowText(int control) {
  switch (control) {
    case IDC_STATUS:
      return status_;
    case IDC_OUTPUT_PORT:
      return output_port_;
    case IDC_INPUT_PORT:
      return input_port_;
    case IDC_FILE_NAME:
      return file_name_;
    default:
      return "";
  }
}

void ConsoleWindow::SendProgressMessage(uint32_t msg, uint32_t wparam, uint32_t lparam) {
  if (progress_.Apply(msg, wparam, lparam)) console_.Progress(slot_, progress_);
}

}  // namespace tamblet::cli
