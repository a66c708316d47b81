#pragma once
// The main dialog's logic and members. It reaches its controls only through the
// WindowLayer, the device only through its port pair, and time only through
// its WaitPolicy, so it runs the same in the program and in tests.

#include <cstdint>
#include <optional>
#include <string>

#include "app/window_layer.h"
#include "base/display.h"
#include "base/load_outcome.h"
#include "base/wait_policy.h"
#include "midi/midi_layer.h"
#include "midi/sysex_port.h"
#include "protocol/device_commands.h"
#include "update/update_sequence.h"

namespace tamblet {

// Tells who holds the device's port when it cannot be opened, and what to do.
std::string BusyPortText(const midi::PortHolder& holder);
// Tells why the device's port was not opened without its lock, and what to do.
std::string NoLockText(const std::string& problem);

class CUpdateDlg : private LoadDisplay, private UpdateTarget {
 public:
  CUpdateDlg(WindowLayer& window, midi::MidiLayer& midi, WaitPolicy& waits = RealTimeWaits());
  ~CUpdateDlg() override;

  // Sets the progress range and finds the device's port pair; true when both
  // ports were found.
  bool OnInitDialog();
  void OnBrowse();
  // The whole update: the file stage, then the device stage, then the clean-up.
  void OnLoad();
  // How the last Load ended; before any, a Load that has not read its file.
  const LoadOutcome& last_outcome() const { return last_outcome_; }
  // From any thread (a signal handler included): the running Load stops before
  // its next request with that step's failure text. A request made while no
  // Load runs applies to the next one; each Load forgets it when it ends.
  void RequestStop() noexcept { stop_.Request(); }

  // The device commands, through the dialog's port pair, status line and bar.
  int32_t GetModelName(char (&name)[kModelNameSize]) override;
  int32_t SelectDevice(uint8_t target_select) override;
  int32_t RunOperation(uint16_t code, uint32_t start, uint32_t count, uint32_t chunk_size) override;
  int32_t WriteChunk(uint32_t address, const uint8_t* data, uint32_t count) override;
  int32_t VerifySum(uint32_t address, uint32_t count, uint16_t sum) override;
  int32_t ModeOff() override;

 private:
  bool Open(uint32_t out_index, uint32_t in_index) override;
  void SetStatusText(const char* text) override;
  void SendProgressMessage(uint32_t msg, uint32_t wparam, uint32_t lparam) override;
  void SetStep(LoadStep step) override;
  // Ends the file stage at `text`.
  void FailFileStage(LoadStep step, const char* text);

  WindowLayer& window_;
  midi::MidiLayer& midi_;
  WaitPolicy& waits_;
  CSysExPort port_pair_;
  StopRequest stop_;
  DeviceCommands commands_;
  std::optional<uint32_t> output_port_index_;  // recorded by discovery
  std::optional<uint32_t> input_port_index_;
  std::string selected_file_path_;  // written only by Browse
  // Why the last Load could not open the port, told after its status: who
  // holds it, or why its lock could not be had.
  std::string open_message_;
  LoadOutcome last_outcome_;
};

}  // namespace tamblet
