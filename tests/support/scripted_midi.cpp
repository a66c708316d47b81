#include "tests/support/scripted_midi.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace tamblet::test {

using midi::MHDR_DONE;
using midi::MHDR_INQUEUE;
using midi::MHDR_PREPARED;
using midi::MIDIHDR;
using midi::MMRESULT;
using midi::PortHandle;

Bytes ReplyFrame(const Bytes& body) {
  Bytes out(body.size() + 6);
  const uint8_t head[] = {0xF0, 0x43, 0x50, 0x03, 0x00};
  std::copy(std::begin(head), std::end(head), out.begin());
  std::copy(body.begin(), body.end(), out.begin() + 5);
  out.back() = 0xF7;
  return out;
}

Answer Reply(uint8_t command, uint8_t sub_command, uint8_t status) {
  return RawReply(ReplyFrame({command, sub_command, status}));
}

Answer Reply(uint8_t command, uint8_t sub_command) {
  return RawReply(ReplyFrame({command, sub_command}));
}

Answer ProgressReply(uint8_t command, uint8_t sub_command, uint32_t address) {
  Bytes body = {command, sub_command};
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int shift = 28; shift >= 0; shift -= 4) {
    body.push_back(static_cast<uint8_t>(kDigits[(address >> shift) & 0xF]));
  }
  return RawReply(ReplyFrame(body));
}

Answer NameReply(const std::string& name) {
  Bytes body(name.size() + 2);
  body[0] = 0x00;
  body[1] = 0x42;
  std::copy(name.begin(), name.end(), body.begin() + 2);
  return RawReply(ReplyFrame(body));
}

Answer RawReply(Bytes bytes) { return Answer{Answer::Kind::kLongData, std::move(bytes), 0}; }

Answer LongError(Bytes received) {
  return Answer{Answer::Kind::kLongError, std::move(received), 0};
}

Answer ShortMessage(uint8_t status, uint8_t data1, uint8_t data2) {
  return Answer{Answer::Kind::kShortData, {status, data1, data2}, 0};
}

Answer NoReply() { return Answer{}; }

ScriptedMidi::ScriptedMidi() {
  out_caps.wMid = 37;
  out_caps.wPid = 4;
  std::strncpy(out_caps.szPname, "QELMAR MIDI OUT 1", sizeof(out_caps.szPname));
  in_caps.wMid = 37;
  in_caps.wPid = 5;
  std::strncpy(in_caps.szPname, "QELMAR MIDI IN 1", sizeof(in_caps.szPname));
  worker_ = std::thread([this] { Run(); });
}

ScriptedMidi::~ScriptedMidi() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void ScriptedMidi::Script(std::initializer_list<Answer> answers) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.insert(script_.end(), answers.begin(), answers.end());
}

void ScriptedMidi::Script(const Answer& answer) { Script({answer}); }

std::vector<Bytes> ScriptedMidi::Sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

void ScriptedMidi::ClearSent() {
  std::lock_guard<std::mutex> lock(mutex_);
  sent_.clear();
}

size_t ScriptedMidi::ScriptLeft() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return script_.size();
}

size_t ScriptedMidi::Dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

void ScriptedMidi::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return tasks_.empty() && !busy_; });
}

bool ScriptedMidi::Delivering() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return (busy_ || !tasks_.empty()) && !delaying_;
}

bool ScriptedWaits::WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                            uint32_t ms, const std::function<bool()>& ready) {
  // Bounded, so that a fault in the code under test cannot hang the test.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!ready() && midi_.Delivering() && std::chrono::steady_clock::now() < give_up) {
    cv.wait_for(lock, std::chrono::microseconds(200), ready);
  }
  return FastWaits::WaitFor(cv, lock, ms, ready);
}

void ScriptedMidi::Run() {
  for (;;) {
    Task task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (stopping_) return;
      busy_ = true;
    }
    {
      // Taken under delivery_ so that OutReset sees each task either queued or done.
      std::lock_guard<std::mutex> delivering(delivery_);
      std::unique_lock<std::mutex> lock(mutex_);
      if (!tasks_.empty()) {
        task = std::move(tasks_.front());
        tasks_.pop_front();
        midi::MidiCallback callback = out_.open ? out_.callback : nullptr;
        const uintptr_t instance = out_.instance;
        lock.unlock();
        if (task.sent != nullptr) {
          task.sent->dwFlags |= MHDR_DONE;
          if (callback != nullptr) {
            callback(HandleOf(out_), midi::MOM_DONE, instance,
                     reinterpret_cast<uintptr_t>(task.sent), 0);
          }
        }
      }
    }
    if (task.answer.delay_ms != 0) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        delaying_ = true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(task.answer.delay_ms));
      std::lock_guard<std::mutex> lock(mutex_);
      delaying_ = false;
    }
    {
      std::lock_guard<std::mutex> delivering(delivery_);
      DeliverAnswer(task.answer);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      busy_ = false;
    }
    idle_.notify_all();
  }
}

void ScriptedMidi::DeliverAnswer(const Answer& answer) {
  if (answer.kind == Answer::Kind::kNone) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!in_.open || !in_started_) {
    if (answer.kind != Answer::Kind::kShortData) ++dropped_;
    return;
  }
  const midi::MidiCallback callback = in_.callback;
  const uintptr_t instance = in_.instance;
  if (answer.kind == Answer::Kind::kShortData) {
    lock.unlock();
    uint32_t message = 0;
    for (size_t i = 0; i < answer.bytes.size() && i < 3; ++i) {
      message |= static_cast<uint32_t>(answer.bytes[i]) << (8 * i);
    }
    callback(HandleOf(in_), midi::MIM_DATA, instance, message, 0);
    return;
  }
  if (in_queue_.empty()) {
    ++dropped_;
    return;
  }
  MIDIHDR* header = in_queue_.front();
  in_queue_.pop_front();
  lock.unlock();

  uint32_t msg = midi::MIM_LONGDATA;
  size_t length = answer.bytes.size();
  if (answer.kind == Answer::Kind::kLongError || length > header->dwBufferLength) {
    msg = midi::MIM_LONGERROR;
    length = std::min<size_t>(length, header->dwBufferLength);
  }
  if (length != 0) std::memcpy(header->lpData, answer.bytes.data(), length);
  header->dwBytesRecorded = static_cast<uint32_t>(length);
  header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
  callback(HandleOf(in_), msg, instance, reinterpret_cast<uintptr_t>(header), 0);
}

uint32_t ScriptedMidi::OutGetNumDevs() { return 1; }

MMRESULT ScriptedMidi::OutGetDevCaps(uint32_t index, midi::MidiCaps* caps) {
  if (index != 0) return midi::MMSYSERR_BADDEVICEID;
  *caps = out_caps;
  return midi::MMSYSERR_NOERROR;
}

uint32_t ScriptedMidi::InGetNumDevs() { return 1; }

MMRESULT ScriptedMidi::InGetDevCaps(uint32_t index, midi::MidiCaps* caps) {
  if (index != 0) return midi::MMSYSERR_BADDEVICEID;
  *caps = in_caps;
  return midi::MMSYSERR_NOERROR;
}

MMRESULT ScriptedMidi::OutOpen(PortHandle* port, uint32_t index, midi::MidiCallback callback,
                               uintptr_t instance) {
  if (index != 0) return midi::MMSYSERR_BADDEVICEID;
  std::lock_guard<std::mutex> lock(mutex_);
  if (out_.open) return midi::MMSYSERR_ALLOCATED;
  out_ = Port{true, callback, instance};
  *port = HandleOf(out_);
  return midi::MMSYSERR_NOERROR;
}

MMRESULT ScriptedMidi::OutPrepareHeader(PortHandle port, MIDIHDR* header) {
  if (!IsOut(port)) return midi::MMSYSERR_INVALHANDLE;
  header->dwFlags |= MHDR_PREPARED;
  return midi::MMSYSERR_NOERROR;
}

MMRESULT ScriptedMidi::OutUnprepareHeader(PortHandle port, MIDIHDR* header) {
  if (!IsOut(port)) return midi::MMSYSERR_INVALHANDLE;
  header->dwFlags &= ~MHDR_PREPARED;
  return midi::MMSYSERR_NOERROR;
}

MMRESULT ScriptedMidi::OutLongMsg(PortHandle port, MIDIHDR* header) {
  if (!IsOut(port)) return midi::MMSYSERR_INVALHANDLE;
  if ((header->dwFlags & MHDR_PREPARED) == 0) return midi::MIDIERR_UNPREPARED;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!out_.open) return midi::MMSYSERR_INVALHANDLE;
    header->dwFlags &= ~MHDR_DONE;
    sent_.emplace_back(header->lpData, header->lpData + header->dwBufferLength);
    Task task{header, NoReply()};
    if (!script_.empty()) {
      task.answer = std::move(script_.front());
      script_.pop_front();
    }
    tasks_.push_back(std::move(task));
  }
  wake_.notify_all();
  return midi::MMSYSERR_NOERROR;
}

MMRESULT ScriptedMidi::OutReset(PortHandle port) {
  if (!IsOut(port)) return midi::MMSYSERR_INVALHANDLE;
  std::lock_guard<std::mutex> delivering(delivery_);
  std::vector<MIDIHDR*> abandoned;
  midi::MidiCallback callback;
  uintptr_t instance;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Sends not yet done are abandoned along with their answers.
    for (auto& task : tasks_) {
      if (task.sent != nullptr) abandoned.push_back(task.sent);
    }
    tasks_.erase(std::remove_if(tasks_.begin(), tasks_.end(),
                                [](const Task& t) { return t.sent != nullptr; }),
                 tasks_.end());
    callback = out_.callback;
    instance = out_.instance;
  }
  idle_.notify_all();
  for (MIDIHDR* header : abandoned) {
    header->dwFlags |= MHDR_DONE;
    callback(port, midi::MOM_DONE, instance, reinterpret_cast<uintptr_t>(header), 0);
  }
  return midi::MMSYSERR_NOERROR;
}

MMRESULT ScriptedMidi::OutClose(PortHandle port) {
  if (!IsOut(port)) return midi::MMSYSERR_INVALHANDLE;
  std::lock_guard<std::mutex> delivering(delivery_);
  std::lock_guard<std::mutex> lock(mutex_);
  out_.open = false;
  return midi::MMSYSERR_NOERROR;
}

MMRESULT ScriptedMidi::InOpen(PortHandle* port, uint32_t index, midi::MidiCallback callback,
                              uintptr_t instance) {
  if (index != 0) return midi::MMSYSERR_BADDEVICEID;
  std::lock_guard<std::mutex> lock(mutex_);
  if (in_.open) return midi::MMSYSERR_ALLOCATED;
  in_ = Port{true, callback, instance};
  in_started_ = false;
  in_queue_.clear();
  *port = HandleOf(in_);
  return midi::MMSYSERR_NOERROR;
}

MMRESULT ScriptedMidi::InPrepareHeader(PortHandle port, MIDIHDR* header) {
  if (!IsIn(port)) return midi::MMSYSERR_INVALHANDLE;
  header->dwFlags |= MHDR_PREPARED;
  return midi::MMSYSERR_NOERROR;
}

MMRESULT ScriptedMidi::InUnprepareHeader(PortHandle port, MIDIHDR* header) {
  if (!IsIn(port)) return midi::MMSYSERR_INVALHANDLE;
  if ((header->dwFlags & MHDR_INQUEUE) != 0) return midi::MIDIERR_STILLPLAYING;
  header->dwFlags &= ~MHDR_PREPARED;
  return midi::MMSYSERR_NOERROR;
}

MMRESULT ScriptedMidi::InAddBuffer(PortHandle port, MIDIHDR* header) {
  if (!IsIn(port)) return midi::MMSYSERR_INVALHANDLE;
  if ((header->dwFlags & MHDR_PREPARED) == 0) return midi::MIDIERR_UNPREPARED;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!in_.open) return midi::MMSYSERR_INVALHANDLE;
  header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
  header->dwBytesRecorded = 0;
  in_queue_.push_back(header);
  return midi::MMSYSERR_NOERROR;
}

MMRESULT ScriptedMidi::InStart(PortHandle port) {
  if (!IsIn(port)) return midi::MMSYSERR_INVALHANDLE;
  std::lock_guard<std::mutex> lock(mutex_);
  in_started_ = true;
  return midi::MMSYSERR_NOERROR;
}

MMRESULT ScriptedMidi::InStop(PortHandle port) {
  if (!IsIn(port)) return midi::MMSYSERR_INVALHANDLE;
  std::lock_guard<std::mutex> lock(mutex_);
  in_started_ = false;
  return midi::MMSYSERR_NOERROR;
}

MMRESULT ScriptedMidi::InReset(PortHandle port) {
  if (!IsIn(port)) return midi::MMSYSERR_INVALHANDLE;
  std::lock_guard<std::mutex> delivering(delivery_);
  std::deque<MIDIHDR*> returned;
  midi::MidiCallback callback;
  uintptr_t instance;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    in_started_ = false;
    returned.swap(in_queue_);
    callback = in_.callback;
    instance = in_.instance;
  }
  for (MIDIHDR* header : returned) {
    header->dwBytesRecorded = 0;
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    callback(port, midi::MIM_LONGDATA, instance, reinterpret_cast<uintptr_t>(header), 0);
  }
  return midi::MMSYSERR_NOERROR;
}

MMRESULT ScriptedMidi::InClose(PortHandle port) {
  if (!IsIn(port)) return midi::MMSYSERR_INVALHANDLE;
  std::lock_guard<std::mutex> delivering(delivery_);
  std::lock_guard<std::mutex> lock(mutex_);
  in_.open = false;
  in_started_ = false;
  in_queue_.clear();
  return midi::MMSYSERR_NOERROR;
}

}  // namespace tamblet::test
