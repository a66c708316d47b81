// The console's plain form, and its terminal form: the same lines with a
// progress bar per instrument redrawn under them.

#include <sys/ioctl.h>

#include <algorithm>
#include <cstdio>

#include "cli/console.h"
#include "cli/safe_text.h"

namespace tamblet::cli {
namespace {

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

// An instrument's line of `ports`.
std::string Row(size_t number, const Instrument& instrument, const CardIdentity& identity,
                bool window) {
  std::string who;
  if (!identity.serial.empty()) who += "  serial " + identity.serial;
  if (!identity.path.empty()) who += "  " + identity.path;
  return "   " + std::to_string(number) + "  output " + std::to_string(instrument.output.index) +
         " + input " + std::to_string(instrument.input.index) + "  " +
         CardOf(instrument.output.name) + who + (window ? "  * window's pair" : "");
}

class PlainConsole : public Console {
 public:
  PlainConsole(int out_fd, int err_fd) : Console(out_fd, err_fd) {}

  size_t AddOnlySlot(std::string) override { return AddSlot(""); }

  void Status(size_t slot, const std::string& text, const Overall& overall) override {
    std::string told;
    {
      std::lock_guard<std::mutex> lock(mutex_);  // the bars of other threads read it
      slots_[slot].overall = overall;
      told = slots_[slot].told;
    }
    if (text != told) Line(Prefix(slot) + text);  // a box said it already, on the error stream
  }

  void Field(size_t slot, const char* name, const char*, const std::string& value) override {
    Line(Prefix(slot) + name + ": " + value);
  }

  void Progress(size_t slot, const ProgressState& progress, const Overall& overall) override {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[slot].progress = progress;
    slots_[slot].overall = overall;
    slots_[slot].has_bar = true;
    ClearBars();
    DrawBars();
  }

  void Heading(const std::string& heading) override { Line(heading); }

  void Port(const char*, const PortEntry& port, bool window) override {
    char index[16];
    std::snprintf(index, sizeof index, "%4u  ", port.index);
    Line(index + PadToWidth(PrintableText(port.name), 33) + (port.accepted ? "  accepted" : "") +
         (window ? "  * window's pair" : ""));
  }

  void ListInstrument(size_t number, const Instrument& instrument, const CardIdentity& identity,
                      bool window) override {
    Line(Row(number, instrument, identity, window));
  }

  void ListChoice(size_t number, const Instrument& instrument, const CardIdentity& identity,
                  bool window) override {
    EmitLine(err_fd_, PrintableText(Row(number, instrument, identity, window)));
  }

  void NoInstrument() override { Line("   none"); }

  void Final(size_t, const Outcome&) override {}

  void Summary(const std::vector<Outcome>& outcomes) override {
    size_t width = 10;
    for (const Outcome& outcome : outcomes)
      width = std::max(width, TextWidth(PrintableText(outcome.label)));
    Line("");
    Line(PadToWidth("instrument", width) + "  " + PadToWidth("final text", 28) + "  time");
    for (const Outcome& outcome : outcomes) {
      std::string row = PadToWidth(PrintableText(outcome.label), width) + "  " + outcome.final_text;
      if (outcome.seconds >= 0) row = PadToWidth(row, width + 30) + Seconds(outcome.seconds);
      Line(row);
    }
  }

  void Plugged(size_t slot, const CardIdentity&, const std::string&) override {
    Line(label(slot) + ": plugged in; its update starts");
  }

  void Ended(size_t slot, const Outcome& outcome) override {
    Line(label(slot) + ": update ended: " + outcome.final_text + " (" + Seconds(outcome.seconds) +
         ")");
  }

  void Planned(size_t slot, const std::string&, bool update, bool dry_run) override {
    if (!update)
      Line(label(slot) + ": already updated with this file; left alone");
    else if (dry_run)
      Line(label(slot) + ": would be updated");
  }

  void Exit(int) override {}
};

class TerminalConsole final : public PlainConsole {
 public:
  using PlainConsole::PlainConsole;

 private:
  void ClearBars() override {
    if (bars_drawn_ == 0) return;
    std::string erase = "\r";
    if (bars_drawn_ > 1) erase += "\033[" + std::to_string(bars_drawn_ - 1) + "A";
    Emit(out_fd_, erase + "\033[J");
    bars_drawn_ = 0;
  }

  void DrawBars() override {
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

  void LeaveBars() override {
    if (bars_drawn_ > 0) Emit(out_fd_, "\n");
    bars_drawn_ = 0;
  }

  int bars_drawn_ = 0;
};

}  // namespace

std::unique_ptr<Console> MakeTextConsole(int out_fd, int err_fd, bool terminal) {
  if (terminal) return std::make_unique<TerminalConsole>(out_fd, err_fd);
  return std::make_unique<PlainConsole>(out_fd, err_fd);
}

}  // namespace tamblet::cli
