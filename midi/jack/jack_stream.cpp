#include "midi/jack/jack_stream.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "midi/stream/poll_slices.h"

namespace tamblet::midi::jack {
namespace {

using stream::IoStatus;

constexpr uint8_t kSysExStart = 0xF0;
constexpr uint8_t kSysExEnd = 0xF7;
// An undefined status byte: it ends a SysEx in progress as broken.
constexpr uint8_t kBreak = 0xF4;

class OutputStream : public stream::ByteStream {
 public:
  OutputStream(Session& session, std::function<void()> closed)
      : session_(session), closed_(std::move(closed)) {
    session_.out_enabled.store(true, std::memory_order_release);
  }
  ~OutputStream() override {
    session_.out_enabled.store(false, std::memory_order_release);
    closed_();
  }

  stream::ReadResult Read(uint8_t*, size_t, int) override { return {IoStatus::kGone, 0}; }

  // One message, one event, under a tag of its own: the process callback drops
  // a record whose tag is no longer the port's, so one given up never leaves.
  IoStatus WriteAll(const uint8_t* data, size_t length, int stall_ms,
                    const std::atomic<bool>& abandon) override {
    const uint32_t largest = session_.max_event_size.load(std::memory_order_relaxed);
    if (length == 0 || length > kLargestSend || (largest != 0 && length > largest)) {
      return IoStatus::kRefused;
    }
    const uint32_t tag = session_.out_tag.fetch_add(1, std::memory_order_acq_rel) + 1;
    const RingRecord record{static_cast<uint32_t>(length), tag, 0};
    const auto stall = std::chrono::milliseconds(stall_ms);
    const auto start = std::chrono::steady_clock::now();
    bool written = false;
    for (;;) {
      if (session_.dead.load(std::memory_order_acquire)) return IoStatus::kGone;
      if (!written) written = session_.out_ring.Write(record, data);
      if (written) {
        RingRecord done;
        while (session_.done_ring.Peek(&done)) {
          session_.done_ring.Consume(done, nullptr);
          if (done.tag == tag) {
            return (done.flags & kRecordFailed) != 0 ? IoStatus::kRefused : IoStatus::kOk;
          }
        }
      }
      const bool stalled = std::chrono::steady_clock::now() - start >= stall;
      if (abandon.load(std::memory_order_acquire) || stalled) {
        session_.out_tag.fetch_add(1, std::memory_order_acq_rel);
        return stalled ? IoStatus::kTimeout : IoStatus::kAbandoned;
      }
      session_.out_wake.WaitFor(stream::kPollSliceMs);
    }
  }

  // An event reported done is in the period's buffer: the server takes it from there.
  IoStatus Drain() override { return IoStatus::kOk; }

 private:
  Session& session_;
  const std::function<void()> closed_;
};

class InputStream : public stream::ByteStream {
 public:
  InputStream(Session& session, std::function<void()> closed)
      : session_(session),
        closed_(std::move(closed)),
        tag_(session.in_tag.fetch_add(1, std::memory_order_acq_rel) + 1) {
    session_.in_enabled.store(true, std::memory_order_release);
  }
  ~InputStream() override {
    session_.in_enabled.store(false, std::memory_order_release);
    closed_();
  }

  stream::ReadResult Read(uint8_t* buffer, size_t capacity, int timeout_ms) override {
    if (read_ == pending_.size()) {
      Collect();
      if (read_ == pending_.size()) {
        if (session_.dead.load(std::memory_order_acquire)) return {IoStatus::kGone, 0};
        session_.in_wake.WaitFor(timeout_ms);
        Collect();
        if (read_ == pending_.size()) return {IoStatus::kTimeout, 0};
      }
    }
    const size_t count = std::min(capacity, pending_.size() - read_);
    std::memcpy(buffer, pending_.data() + read_, count);
    read_ += count;
    return {IoStatus::kOk, count};
  }

  IoStatus WriteAll(const uint8_t*, size_t, int, const std::atomic<bool>&) override {
    return IoStatus::kGone;
  }
  IoStatus Drain() override { return IoStatus::kOk; }

 private:
  // Takes the events received for this port since the last look.
  void Collect() {
    pending_.clear();
    read_ = 0;
    RingRecord head;
    while (session_.in_ring.Peek(&head)) {
      if (head.tag != tag_) {
        session_.in_ring.Consume(head, nullptr);  // before this port opened
        continue;
      }
      const size_t at = pending_.size();
      pending_.resize(at + head.length);
      session_.in_ring.Consume(head, pending_.data() + at);
      // Lost, or a SysEx the event does not close: what came of it is broken.
      const bool open_sysex =
          head.length > 0 && pending_[at] == kSysExStart && pending_.back() != kSysExEnd;
      if ((head.flags & kRecordOverflow) != 0 || open_sysex) pending_.push_back(kBreak);
    }
  }

  Session& session_;
  const std::function<void()> closed_;
  const uint32_t tag_;
  std::vector<uint8_t> pending_;  // bytes of the events taken, from read_ on not yet read
  size_t read_ = 0;
};

}  // namespace

std::unique_ptr<stream::ByteStream> MakeOutputStream(Session& session,
                                                     std::function<void()> closed) {
  return std::make_unique<OutputStream>(session, std::move(closed));
}

std::unique_ptr<stream::ByteStream> MakeInputStream(Session& session,
                                                    std::function<void()> closed) {
  return std::make_unique<InputStream>(session, std::move(closed));
}

}  // namespace tamblet::midi::jack
