#include "update/update_run.h"

#include "midi/device_lock.h"
#include "midi/sysex_port.h"
#include "protocol/device_commands.h"
#include "update/update_sequence.h"

namespace tamblet {
namespace {

// The caller's waits, cut short by the stop: the fixed waits at either level,
// the waits for a reply only at a stop now.
class StoppableWaits final : public WaitPolicy {
 public:
  StoppableWaits(WaitPolicy& inner, const StopToken& stop) : inner_(inner), stop_(stop) {}
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override {
    return inner_.WaitUnless(cv, lock, ms, ready, [this] { return stop_.forced(); });
  }
  void Sleep(uint32_t ms) override {
    inner_.SleepUnless(ms, [this] { return stop_.requested(); });
  }

 private:
  WaitPolicy& inner_;
  const StopToken& stop_;
};

class Run final : private UpdateTarget, private LoadDisplay {
 public:
  Run(const CheckedUpdate& update, const PortPair& ports, midi::MidiLayer& midi,
      RunObserver& observer, const StopToken& stop, WaitPolicy& waits)
      : update_(update),
        ports_(ports),
        midi_(midi),
        observer_(observer),
        stop_(stop),
        waits_(waits, stop),
        port_pair_(midi, waits_),
        commands_(port_pair_, *this, &stop),
        total_(update.total_bytes()) {}

  LoadOutcome Go() {
    const LoadOutcome outcome = RunDeviceStage(update_.header, update_.image, ports_.output,
                                               ports_.input, *this, *this, waits_);
    port_pair_.Close();
    if (notice_) observer_.OnNotice(*notice_);
    return outcome;
  }

 private:
  bool Open(uint32_t out_index, uint32_t in_index) override {
    observer_.OnPorts(ports_.output_name, ports_.input_name);
    if (stop_.forced()) return false;
    auto slow = midi_.OutGetNonRealTimeServer(out_index);
    if (!slow) slow = midi_.InGetNonRealTimeServer(in_index);
    if (slow) observer_.OnNotice(Notice{Notice::Kind::kNotRealTime, {}, *slow});
    if (port_pair_.Open(out_index, in_index)) return true;
    // Asked at once, while the program that made the open fail still holds the port.
    const auto& failure = port_pair_.open_failure();
    if (failure && failure->result == midi::MMSYSERR_ALLOCATED) {
      const auto holder = failure->direction == PortDirection::kOutput
                              ? midi_.OutGetHolder(out_index)
                              : midi_.InGetHolder(in_index);
      if (holder) notice_ = Notice{Notice::Kind::kPortBusy, *holder, {}};
    } else if (failure && failure->result == midi::TAMBLET_ERR_LOCKED) {
      notice_ = Notice{
          Notice::Kind::kLockHeld, midi::DeviceLockHolder().value_or(midi::PortHolder{}), {}};
    } else if (failure && failure->result == midi::TAMBLET_ERR_NOLOCK) {
      notice_ = Notice{Notice::Kind::kNoLock, {}, midi::DeviceLockProblem()};
    }
    return false;
  }
  int32_t GetModelName(char (&name)[kModelNameSize]) override {
    return commands_.GetModelName(name);
  }
  int32_t SelectDevice(uint8_t target_select) override {
    return commands_.SelectDevice(target_select);
  }
  int32_t RunOperation(uint16_t code, uint32_t start, uint32_t count,
                       uint32_t chunk_size) override {
    return commands_.RunOperation(code, start, count, chunk_size);
  }
  int32_t WriteChunk(uint32_t address, const uint8_t* data, uint32_t count) override {
    return commands_.WriteChunk(address, data, count);
  }
  int32_t VerifySum(uint32_t address, uint32_t count, uint16_t sum) override {
    return commands_.VerifySum(address, count, sum);
  }
  int32_t ModeOff() override { return commands_.ModeOff(); }

  void SetStatusText(const char* text) override { observer_.OnStatus(text); }
  void ChangeBar(const BarChange& change) override {
    done_ += change.bytes;
    observer_.OnProgress({change, done_, total_});
  }
  void SetStep(LoadStep step) override { observer_.OnStep(step); }

  const CheckedUpdate& update_;
  const PortPair& ports_;
  midi::MidiLayer& midi_;
  RunObserver& observer_;
  const StopToken& stop_;
  StoppableWaits waits_;
  CSysExPort port_pair_;
  DeviceCommands commands_;
  const uint64_t total_;
  uint64_t done_ = 0;
  std::optional<Notice> notice_;
};

}  // namespace

uint64_t CheckedUpdate::total_bytes() const {
  uint64_t total = 0;
  for (const Region& region : header.regions) total += region.size;
  return 2 * total;
}

std::string BusyPortText(const midi::PortHolder& holder, std::string_view again) {
  return "The device's MIDI port is in use by " + holder.name + " (process " +
         std::to_string(holder.pid) +
         "): close that program or disconnect its MIDI connections, then " + std::string(again) +
         ".";
}

std::string NoLockText(const std::string& problem, std::string_view again) {
  return "The device was not opened: the lock that keeps a second update off it cannot be kept "
         "safely, because " +
         problem +
         ". Remove that file or folder, or set XDG_RUNTIME_DIR to a folder of your own, then " +
         std::string(again) + ".";
}

std::string LockHeldText(const midi::PortHolder& holder) {
  const std::string who = holder.pid == 0
                              ? "another program"
                              : holder.name + " (process " + std::to_string(holder.pid) + ")";
  return "The instrument is being updated by " + who + ": wait until that update has ended";
}

std::string NotRealTimeText(const std::string& server) {
  return "The instrument's ports are on the " + server +
         ", which runs without real-time scheduling: while the machine is busy it can lose the "
         "instrument's replies, and the update then fails at a time-out. Start the server with "
         "real-time scheduling to be safe, or keep the machine idle during the update.";
}

std::string NoticeText(const Notice& notice, std::string_view again) {
  switch (notice.kind) {
    case Notice::Kind::kPortBusy:
      return BusyPortText(notice.holder, again);
    case Notice::Kind::kNoLock:
      return NoLockText(notice.problem, again);
    case Notice::Kind::kLockHeld:
      return LockHeldText(notice.holder) + ", then " + std::string(again) + ".";
    case Notice::Kind::kNotRealTime:
      return NotRealTimeText(notice.problem);
  }
  return {};
}

std::optional<LoadOutcome> ReadUpdateFile(const std::string& path, FileBytes& bytes,
                                          RunObserver& observer) {
  observer.OnProgress({BarChange::Range(2)});
  observer.OnProgress({BarChange::Position(0)});
  observer.OnStep(LoadStep::kReadFile);
  observer.OnStatus(kFileReadingText);
  uint64_t length = 0;
  const ReadStatus read = ReadWholeFile(path, bytes, length);
  if (read != ReadStatus::kOk) {
    observer.OnStatus(ReadFailureText(read));
    return LoadOutcome{LoadStep::kReadFile, ReadFailureText(read)};
  }
  observer.OnProgress({BarChange::Position(1)});
  return std::nullopt;
}

std::optional<LoadOutcome> CheckUpdateFile(std::span<const uint8_t> bytes, CheckedUpdate& update,
                                           RunObserver& observer) {
  observer.OnStep(LoadStep::kCheckFile);
  FileStageResult checked = CheckAndAssemble(bytes);
  if (checked.failure) {
    observer.OnStatus(checked.failure);
    return LoadOutcome{LoadStep::kCheckFile, checked.failure};
  }
  update.header = checked.header;
  update.image = std::move(checked.image);
  observer.OnProgress({BarChange::Position(2)});
  return std::nullopt;
}

LoadOutcome RunUpdate(const CheckedUpdate& update, const PortPair& ports, midi::MidiLayer& midi,
                      RunObserver& observer, const StopToken& stop, WaitPolicy& waits) {
  return Run(update, ports, midi, observer, stop, waits).Go();
}

}  // namespace tamblet
