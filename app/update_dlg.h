#pragma once
// The main dialog's logic and members. It reaches its controls only through the
// WindowLayer, the device only through the update run, and time only through
// its WaitPolicy, so it runs the same in the program and in tests.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/window_layer.h"
#include "base/load_outcome.h"
#include "base/stop_token.h"
#include "base/wait_policy.h"
#include "midi/midi_layer.h"
#include "update/update_run.h"

namespace tamblet {

class CUpdateDlg {
 public:
  CUpdateDlg(WindowLayer& window, midi::MidiLayer& midi, WaitPolicy& waits = RealTimeWaits());

  // Sets the progress range and finds the device's port pair; true when both
  // ports were found.
  bool OnInitDialog();
  // Ports came or went while no Load runs: discovery again, quietly, on
  // `fresh`, a layer that lists what is there now and that Load uses from
  // here on. The port fields follow; the start-up failure text goes once both
  // ports are there. No message box.
  void Rediscover(std::unique_ptr<midi::MidiLayer> fresh);
  void OnBrowse();
  // The whole update: the file read and checked, then the run, its events
  // shown in the window's controls.
  void OnLoad();
  // How the last Load ended; before any, a Load that has not read its file.
  const LoadOutcome& last_outcome() const { return last_outcome_; }
  // From any thread: the running Load stops before its next request with that
  // step's failure text. A request made while no Load runs applies to the
  // next one; each Load forgets it when it ends.
  void RequestStop() noexcept { stop_.Request(); }

 private:
  WindowLayer& window_;
  midi::MidiLayer* midi_;
  std::unique_ptr<midi::MidiLayer> owned_midi_;  // the layer of the last rediscovery
  WaitPolicy& waits_;
  StopToken stop_;
  PortPair ports_;                  // recorded by discovery
  std::string selected_file_path_;  // written only by Browse
  LoadOutcome last_outcome_;
};

}  // namespace tamblet
