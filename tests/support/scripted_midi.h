#pragma once
// A MIDI layer for command tests: one output and one input port. It records
// every long message sent and answers each one from a per-test script, on a
// thread of its own as a driver would: first MOM_DONE, then the answer.
//
//   test::ScriptedMidi midi;
//   test::ScriptedWaits waits(midi);  // FastWaits that wait out scripted replies
//   CSysExPort port(midi, waits);
//   port.Open(0, 0);
//   midi.Script({test::Reply(0x01, 0x41, 0x01), test::NoReply()});
//   ... commands ...
//   midi.Sent();  // every message sent, in order
//
// A message sent while the script is empty gets no answer. Declare the
// ScriptedMidi before the port that uses it, so that it outlives the port.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/midi_layer.h"
#include "tests/support/fast_waits.h"

namespace tamblet::test {

using Bytes = std::vector<uint8_t>;

struct Answer {
  enum class Kind {
    kLongData,   // a SysEx message: MIM_LONGDATA with these bytes
    kLongError,  // MIM_LONGERROR; the bytes (possibly none) are what was received
    kShortData,  // MIM_DATA with up to 3 bytes
    kNone,       // nothing comes back
  };
  Kind kind = Kind::kNone;
  Bytes bytes;
  uint32_t delay_ms = 0;  // real time between MOM_DONE and the answer
};

// F0 43 50 03 00 followed by `body` and F7.
Bytes ReplyFrame(const Bytes& body);

// A reply of command, sub-command (with its flag) and status byte.
Answer Reply(uint8_t command, uint8_t sub_command, uint8_t status);
// A reply of command and sub-command only (F7 at offset 7).
Answer Reply(uint8_t command, uint8_t sub_command);
// A progress reply: command, sub-command with its flag, the address as 8 digits.
Answer ProgressReply(uint8_t command, uint8_t sub_command, uint32_t address);
// The model name reply 00 42 <name> F7.
Answer NameReply(const std::string& name);
// Exactly these bytes as one SysEx message.
Answer RawReply(Bytes bytes);
Answer LongError(Bytes received = {});
Answer ShortMessage(uint8_t status, uint8_t data1 = 0, uint8_t data2 = 0);
Answer NoReply();

class ScriptedMidi : public midi::MidiLayer {
 public:
  ScriptedMidi();
  ~ScriptedMidi() override;
  ScriptedMidi(const ScriptedMidi&) = delete;
  ScriptedMidi& operator=(const ScriptedMidi&) = delete;

  // Appends answers for the next messages sent, one each, in order.
  void Script(std::initializer_list<Answer> answers);
  void Script(const Answer& answer);

  // Every long message sent so far.
  std::vector<Bytes> Sent() const;
  void ClearSent();
  // Answers not yet used.
  size_t ScriptLeft() const;
  // Long answers that found no queued input buffer (or a stopped input) and were dropped.
  size_t Dropped() const;
  // Waits until every answer handed to the worker has been delivered.
  void Drain();
  // True while a MOM_DONE or an answer is on its way (a delayed answer counts
  // only once its delay is over).
  bool Delivering() const;

  // Caps reported for port 0 of each direction.
  midi::MidiCaps out_caps;
  midi::MidiCaps in_caps;

  uint32_t OutGetNumDevs() override;
  midi::MMRESULT OutGetDevCaps(uint32_t index, midi::MidiCaps* caps) override;
  uint32_t InGetNumDevs() override;
  midi::MMRESULT InGetDevCaps(uint32_t index, midi::MidiCaps* caps) override;

  midi::MMRESULT OutOpen(midi::PortHandle* port, uint32_t index, midi::MidiCallback callback,
                         uintptr_t instance) override;
  midi::MMRESULT OutPrepareHeader(midi::PortHandle port, midi::MIDIHDR* header) override;
  midi::MMRESULT OutUnprepareHeader(midi::PortHandle port, midi::MIDIHDR* header) override;
  midi::MMRESULT OutLongMsg(midi::PortHandle port, midi::MIDIHDR* header) override;
  midi::MMRESULT OutReset(midi::PortHandle port) override;
  midi::MMRESULT OutClose(midi::PortHandle port) override;

  midi::MMRESULT InOpen(midi::PortHandle* port, uint32_t index, midi::MidiCallback callback,
                        uintptr_t instance) override;
  midi::MMRESULT InPrepareHeader(midi::PortHandle port, midi::MIDIHDR* header) override;
  midi::MMRESULT InUnprepareHeader(midi::PortHandle port, midi::MIDIHDR* header) override;
  midi::MMRESULT InAddBuffer(midi::PortHandle port, midi::MIDIHDR* header) override;
  midi::MMRESULT InStart(midi::PortHandle port) override;
  midi::MMRESULT InStop(midi::PortHandle port) override;
  midi::MMRESULT InReset(midi::PortHandle port) override;
  midi::MMRESULT InClose(midi::PortHandle port) override;

 private:
  struct Port {
    bool open = false;
    midi::MidiCallback callback = nullptr;
    uintptr_t instance = 0;
  };
  struct Task {
    midi::MIDIHDR* sent = nullptr;  // nullptr once its MOM_DONE went out
    Answer answer;
  };

  midi::PortHandle HandleOf(Port& port) { return reinterpret_cast<midi::PortHandle>(&port); }
  bool IsOut(midi::PortHandle handle) { return handle == HandleOf(out_); }
  bool IsIn(midi::PortHandle handle) { return handle == HandleOf(in_); }
  void Run();
  void DeliverAnswer(const Answer& answer);

  // Held by the worker while it delivers one task, and by OutReset and the
  // closes, so that no callback runs once a port is closed.
  std::mutex delivery_;
  mutable std::mutex mutex_;  // everything below
  std::condition_variable wake_;
  std::condition_variable idle_;
  Port out_;
  Port in_;
  bool in_started_ = false;
  bool stopping_ = false;
  bool busy_ = false;
  bool delaying_ = false;
  std::deque<Answer> script_;
  std::deque<Task> tasks_;
  std::deque<midi::MIDIHDR*> in_queue_;
  std::vector<Bytes> sent_;
  size_t dropped_ = 0;
  std::thread worker_;
};

// FastWaits that never times out while the ScriptedMidi still has a callback on
// its way, so that a loaded machine cannot turn a scripted reply into a
// time-out. The built-in times are recorded as by FastWaits.
class ScriptedWaits : public FastWaits {
 public:
  explicit ScriptedWaits(const ScriptedMidi& midi) : midi_(midi) {}
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override;

 private:
  const ScriptedMidi& midi_;
};

}  // namespace tamblet::test
