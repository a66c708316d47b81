#pragma once
// One update as every front end runs it. The file stage reads the update file
// once and checks it; the run then drives the device through one port pair
// with exactly those bytes. Both tell what happens to an observer as typed
// events: the window turns them into its controls, the terminal program into
// lines. A stop token, flipped by the front end, ends the run early.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/display.h"
#include "base/load_outcome.h"
#include "base/stop_token.h"
#include "base/wait_policy.h"
#include "midi/midi_layer.h"
#include "update/file_reader.h"
#include "update/update_file.h"

namespace tamblet {

// What the file stage makes of the file's bytes: what the device stage sends.
struct CheckedUpdate {
  UpdateHeader header;
  UpdateImage image;
  // The bytes of the whole update: every used region loaded once and verified once.
  uint64_t total_bytes() const;
};

struct RunProgress {
  BarChange bar;             // exactly as the window's bar takes it
  uint64_t bytes_done = 0;   // loaded and verified so far, of bytes_total
  uint64_t bytes_total = 0;  // 0 until the file is checked
};

// Why the port pair did not open, beyond the status text; or, told before the
// open, what may make the update fail.
struct Notice {
  enum class Kind {
    kPortBusy,
    kNoLock,
    kLockHeld,     // another update runs on the instrument
    kNotRealTime,  // told before the open; the update goes on
  };
  Kind kind = Kind::kPortBusy;
  midi::PortHolder holder;  // kPortBusy, kLockHeld: who holds it (pid 0: not known)
  std::string problem;      // kNoLock: why the lock cannot be kept safely;
                            // kNotRealTime: the server, named for people
};

// What the user does to try again, ending the texts below: the window's button
// by default; a front end without it says what it has.
inline constexpr std::string_view kPressLoadAgain = "press Load again";

// Tells who holds the device's port when it cannot be opened, and what to do.
std::string BusyPortText(const midi::PortHolder& holder, std::string_view again = kPressLoadAgain);
// Tells why the device's port was not opened without its lock, and what to do.
std::string NoLockText(const std::string& problem, std::string_view again = kPressLoadAgain);
// Tells who runs the update that keeps this one off the instrument, and to
// wait for its end.
std::string LockHeldText(const midi::PortHolder& holder);
// Tells that the server runs without real-time scheduling and what follows.
std::string NotRealTimeText(const std::string& server);
// A notice, ending with what the user does to try again.
std::string NoticeText(const Notice& notice, std::string_view again = kPressLoadAgain);

class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // The step entered, told before that step's status text.
  virtual void OnStep(LoadStep step) = 0;
  virtual void OnStatus(const char* text) = 0;
  virtual void OnProgress(const RunProgress& progress) = 0;
  // The two ports about to be opened, by name.
  virtual void OnPorts(const std::string& output, const std::string& input) = 0;
  // Told after the status text that it explains; kNotRealTime before the
  // ports open, and the run goes on once this returns.
  virtual void OnNotice(const Notice& notice) = 0;
};

// The file stage's first half: the bar set to 0..2 at 0, "File reading....",
// the whole file read into `bytes`, the bar at 1. Returns where it ended when
// the file could not be read.
std::optional<LoadOutcome> ReadUpdateFile(const std::string& path, FileBytes& bytes,
                                          RunObserver& observer);

// Its second half: every block checked and the image assembled into `update`,
// the bar at 2. Returns where it ended when the bytes fail the check.
std::optional<LoadOutcome> CheckUpdateFile(std::span<const uint8_t> bytes, CheckedUpdate& update,
                                           RunObserver& observer);

// The device's two ports as they were found; without both indices nothing is opened.
struct PortPair {
  std::optional<uint32_t> output, input;
  std::string output_name, input_name;
  bool found() const { return output && input; }
};

// The device stage on a checked update: open the pair, wait, check the model,
// select the target, Copy, Load, Uninstall, Install, Verify, ModeOff; the
// ports closed on every way out. A stop before the next request fails the
// step under way once its exchange ends and cuts the wait after the open; a
// stop now also refuses the open and ends every wait at once.
LoadOutcome RunUpdate(const CheckedUpdate& update, const PortPair& ports, midi::MidiLayer& midi,
                      RunObserver& observer, const StopToken& stop,
                      WaitPolicy& waits = RealTimeWaits());

}  // namespace tamblet
