#include "midi/stream/port_engine.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "midi/midi_header.h"

namespace tamblet::midi::stream {

// ---- input ----

InputEngine::InputEngine(std::unique_ptr<ByteStream> stream, MidiCallback callback,
                         uintptr_t instance)
    : stream_(std::move(stream)),
      callback_(callback),
      instance_(instance),
      reader_([this] { Run(); }) {}

InputEngine::~InputEngine() { Close(); }

MMRESULT InputEngine::AddBuffer(MIDIHDR* header) {
  if (header != nullptr && header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
  std::lock_guard<std::mutex> lock(mutex_);
  if (MMRESULT result = CheckQueueable(header); result != MMSYSERR_NOERROR) return result;
  MarkQueued(header);
  header->dwBytesRecorded = 0;
  queue_.push_back(header);
  return MMSYSERR_NOERROR;
}

MMRESULT InputEngine::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (gone_) {
    return MMSYSERR_ERROR;
  }
  if (!started_) {
    started_ = true;
    start_time_ = std::chrono::steady_clock::now();
  }
  return MMSYSERR_NOERROR;
}

MMRESULT InputEngine::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  started_ = false;
  return MMSYSERR_NOERROR;
}

MMRESULT InputEngine::Reset() {
  std::deque<MIDIHDR*> back;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    started_ = false;
    // A delivery in progress finishes first, so that no buffer is handed back
    // twice and none comes back after we return.
    if (!OnReaderThread()) {
      idle_.wait(lock, [this] { return !in_callback_; });
    }
    back.swap(queue_);
    for (MIDIHDR* header : back) {
      header->dwBytesRecorded = 0;
      MarkDone(header);
    }
  }
  HandBack(std::move(back));
  return MMSYSERR_NOERROR;
}

void InputEngine::HandBack(std::deque<MIDIHDR*> headers) {
  for (MIDIHDR* header : headers) {
    callback_(handle(), MIM_LONGDATA, instance_, reinterpret_cast<uintptr_t>(header), 0);
  }
}

void InputEngine::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
      return;
    }
    closed_ = true;
  }
  Reset();
  stop_.store(true, std::memory_order_release);
  reader_.join();
  // Buffers queued again by the callbacks of the reset go back too.
  std::deque<MIDIHDR*> back;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    back.swap(queue_);
    for (MIDIHDR* header : back) {
      MarkDone(header);
    }
  }
  HandBack(std::move(back));
}

void InputEngine::Run() {
  std::array<uint8_t, 512> chunk{};
  while (!stop_.load(std::memory_order_acquire)) {
    const ReadResult got = stream_->Read(chunk.data(), chunk.size(), kReadSliceMs);
    if (got.status == IoStatus::kGone) {
      // The device has gone: queued buffers stay queued, so a waiter times out.
      std::lock_guard<std::mutex> lock(mutex_);
      gone_ = true;
      return;
    }
    if (got.status != IoStatus::kOk) {
      continue;
    }
    bool started;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      started = started_;
    }
    if (!started) {
      reassembler_.Reset();  // bytes while stopped are dropped, with any part-message
      continue;
    }
    reassembler_.Feed(std::span<const uint8_t>(chunk.data(), got.count), *this);
  }
}

void InputEngine::OnSysEx(std::span<const uint8_t> message) { DeliverLong(MIM_LONGDATA, message); }

void InputEngine::OnSysExError(std::span<const uint8_t> received) {
  DeliverLong(MIM_LONGERROR, received);
}

void InputEngine::DeliverLong(uint32_t msg, std::span<const uint8_t> bytes) {
  MIDIHDR* header;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_ || queue_.empty()) {
      return;  // no buffer waiting: the message is lost, as with any driver
    }
    header = queue_.front();
    queue_.pop_front();
    const size_t count = std::min<size_t>(bytes.size(), header->dwBufferLength);
    if (count < bytes.size()) {
      msg = MIM_LONGERROR;
    }
    std::memcpy(header->lpData, bytes.data(), count);
    header->dwBytesRecorded = static_cast<uint32_t>(count);
    MarkDone(header);
    in_callback_ = true;
  }
  callback_(handle(), msg, instance_, reinterpret_cast<uintptr_t>(header), 0);
  std::lock_guard<std::mutex> lock(mutex_);
  in_callback_ = false;
  idle_.notify_all();
}

void InputEngine::OnShort(uint32_t message) {
  uintptr_t stamp;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_) {
      return;
    }
    stamp = static_cast<uintptr_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - start_time_)
                                       .count());
    in_callback_ = true;
  }
  callback_(handle(), MIM_DATA, instance_, message, stamp);
  std::lock_guard<std::mutex> lock(mutex_);
  in_callback_ = false;
  idle_.notify_all();
}

// ---- output ----

OutputEngine::OutputEngine(std::unique_ptr<ByteStream> stream, MidiCallback callback,
                           uintptr_t instance, int write_stall_ms)
    : stream_(std::move(stream)),
      callback_(callback),
      instance_(instance),
      write_stall_ms_(write_stall_ms),
      writer_([this] { Run(); }) {}

OutputEngine::~OutputEngine() { Close(); }

MMRESULT OutputEngine::LongMsg(MIDIHDR* header) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (MMRESULT result = CheckQueueable(header); result != MMSYSERR_NOERROR) return result;
  MarkQueued(header);
  pending_.push_back(header);
  changed_.notify_all();
  return MMSYSERR_NOERROR;
}

void OutputEngine::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || !pending_.empty(); });
    if (pending_.empty()) {
      return;
    }
    MIDIHDR* header = pending_.front();
    pending_.pop_front();
    current_ = header;
    lock.unlock();
    if (!gone_) {
      IoStatus status =
          stream_->WriteAll(header->lpData, header->dwBufferLength, write_stall_ms_, abandon_);
      if (status == IoStatus::kOk) {
        status = stream_->Drain();
      }
      // A device that fails or stalls is not written to again: a later
      // message would arrive after a broken one.
      gone_ = status == IoStatus::kGone || status == IoStatus::kTimeout;
    }
    lock.lock();
    current_ = nullptr;
    MarkDone(header);
    in_callback_ = true;
    lock.unlock();
    callback_(handle(), MOM_DONE, instance_, reinterpret_cast<uintptr_t>(header), 0);
    lock.lock();
    in_callback_ = false;
    changed_.notify_all();
  }
}

MMRESULT OutputEngine::Reset() {
  std::deque<MIDIHDR*> back;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    back.swap(pending_);
    if (!OnWriterThread()) {
      abandon_.store(true, std::memory_order_release);
      changed_.wait(lock, [this] { return current_ == nullptr && !in_callback_; });
      abandon_.store(false, std::memory_order_release);
    }
    for (MIDIHDR* header : back) {
      MarkDone(header);
    }
  }
  for (MIDIHDR* header : back) {
    callback_(handle(), MOM_DONE, instance_, reinterpret_cast<uintptr_t>(header), 0);
  }
  return MMSYSERR_NOERROR;
}

void OutputEngine::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
      return;
    }
    closed_ = true;
  }
  Reset();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    changed_.notify_all();
  }
  writer_.join();
  // Messages sent by the callbacks of the reset were either written before
  // the writer stopped or are still here: hand them back too.
  std::deque<MIDIHDR*> back;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    back.swap(pending_);
    for (MIDIHDR* header : back) {
      MarkDone(header);
    }
  }
  for (MIDIHDR* header : back) {
    callback_(handle(), MOM_DONE, instance_, reinterpret_cast<uintptr_t>(header), 0);
  }
}

}  // namespace tamblet::midi::stream
