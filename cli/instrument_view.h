#pragma once
// One instrument's lines on the console: what the window shows of its port
// discovery and of an update run, with the whole update's step and share.

#include <cstddef>
#include <string>
#include <vector>

#include "app/port_discovery.h"
#include "cli/console.h"
#include "cli/overall_progress.h"
#include "midi/midi_layer.h"
#include "update/update_run.h"

namespace tamblet::cli {

// Port discovery and the run, each shown as the window shows it.
class InstrumentView final : public RunObserver, public DiscoveryView {
 public:
  InstrumentView(Console& console, size_t slot) : console_(console), slot_(slot) {}

  void ShowBar(const BarChange& change) override { OnProgress({change}); }
  void ShowPort(PortDirection direction, const std::string& name) override;
  void ShowMessage(const std::string& text) override { Message(text); }
  void ShowStatus(const char* text) override { OnStatus(text); }

  void OnStep(LoadStep step) override { overall_.OnStep(step); }
  void OnStatus(const char* text) override;
  void OnProgress(const RunProgress& progress) override;
  void OnPorts(const std::string& output, const std::string& input) override;
  void OnNotice(const Notice& notice) override;

  const std::string& output_port() const { return output_port_; }
  const std::string& input_port() const { return input_port_; }

 private:
  Overall overall() const;
  // A text that repeats the status line adds nothing.
  void Message(const std::string& text);

  Console& console_;
  const size_t slot_;
  std::string output_port_, input_port_, status_;
  ProgressState progress_;
  OverallProgress overall_;
};

// The file stage's events, kept once and told again to each instrument.
class FileStageEvents final : public RunObserver {
 public:
  void OnStep(LoadStep step) override { events_.push_back({Kind::kStep, step, "", {}}); }
  void OnStatus(const char* text) override { events_.push_back({Kind::kStatus, {}, text, {}}); }
  void OnProgress(const RunProgress& p) override {
    events_.push_back({Kind::kProgress, {}, "", p});
  }
  void OnPorts(const std::string&, const std::string&) override {}
  void OnNotice(const Notice&) override {}
  void TellTo(RunObserver& observer) const;

 private:
  enum class Kind { kStep, kStatus, kProgress };
  struct Event {
    Kind kind;
    LoadStep step;
    std::string text;
    RunProgress progress;
  };
  std::vector<Event> events_;
};

}  // namespace tamblet::cli
