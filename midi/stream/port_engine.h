#pragma once
// The driver side of one open port over a ByteStream: the buffer queue, the
// threads and the callbacks, kept to the MIDI layer's contract. The same
// engines serve rawmidi ports and, in tests, sockets.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "midi/midi_layer.h"
#include "midi/stream/byte_stream.h"
#include "midi/stream/sysex_reassembler.h"

namespace tamblet::midi::stream {

// How long the reader waits for bytes before it looks whether to stop.
inline constexpr int kReadSliceMs = 10;
// A port that takes no byte for this long is taken to be gone.
inline constexpr int kWriteStallMs = 2000;

class InputEngine : private MessageSink {
 public:
  InputEngine(std::unique_ptr<ByteStream> stream, MidiCallback callback, uintptr_t instance);
  ~InputEngine() override;
  InputEngine(const InputEngine&) = delete;
  InputEngine& operator=(const InputEngine&) = delete;

  PortHandle handle() { return reinterpret_cast<PortHandle>(this); }

  MMRESULT AddBuffer(MIDIHDR* header);
  MMRESULT Start();
  MMRESULT Stop();
  // Stops input and hands every queued buffer back, empty, before it returns.
  MMRESULT Reset();
  // Resets, then stops the reader: no callback runs once it has returned.
  void Close();

 private:
  void Run();
  void OnSysEx(std::span<const uint8_t> message) override;
  void OnSysExError(std::span<const uint8_t> received) override;
  void OnShort(uint32_t message) override;
  void DeliverLong(uint32_t msg, std::span<const uint8_t> bytes);
  void HandBack(std::deque<MIDIHDR*> headers);
  bool OnReaderThread() const { return std::this_thread::get_id() == reader_.get_id(); }

  const std::unique_ptr<ByteStream> stream_;
  const MidiCallback callback_;
  const uintptr_t instance_;
  SysExReassembler reassembler_;  // reader thread only

  std::mutex mutex_;
  std::condition_variable idle_;
  std::deque<MIDIHDR*> queue_;
  bool started_ = false;
  bool in_callback_ = false;
  bool gone_ = false;
  bool closed_ = false;
  std::chrono::steady_clock::time_point start_time_;
  std::atomic<bool> stop_{false};
  std::thread reader_;  // last: starts once everything above exists
};

class OutputEngine {
 public:
  OutputEngine(std::unique_ptr<ByteStream> stream, MidiCallback callback, uintptr_t instance,
               int write_stall_ms = kWriteStallMs);
  ~OutputEngine();
  OutputEngine(const OutputEngine&) = delete;
  OutputEngine& operator=(const OutputEngine&) = delete;

  PortHandle handle() { return reinterpret_cast<PortHandle>(this); }

  // Queues the message; the writer thread writes it whole, drains, and reports
  // MOM_DONE. A port found gone reports MOM_DONE without writing.
  MMRESULT LongMsg(MIDIHDR* header);
  // Abandons the message being written and hands back every queued one; each
  // gets its MOM_DONE before this returns.
  MMRESULT Reset();
  void Close();

 private:
  void Run();
  bool OnWriterThread() const { return std::this_thread::get_id() == writer_.get_id(); }

  const std::unique_ptr<ByteStream> stream_;
  const MidiCallback callback_;
  const uintptr_t instance_;
  const int write_stall_ms_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<MIDIHDR*> pending_;
  MIDIHDR* current_ = nullptr;
  bool in_callback_ = false;
  bool stop_ = false;
  bool closed_ = false;
  bool gone_ = false;  // writer thread only
  std::atomic<bool> abandon_{false};
  std::thread writer_;  // last: starts once everything above exists
};

}  // namespace tamblet::midi::stream
