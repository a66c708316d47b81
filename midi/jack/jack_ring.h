#pragma once
// Whole MIDI events carried through a jack_ringbuffer between a process
// callback and another thread: one writer and one reader, neither of which
// allocates or blocks, so the process callback may be either. The hand-over is
// ordered by two atomic byte counts (published, consumed) rather than by the
// ring's own indices, so that it is visible to the compiler and to sanitizers.

#include <jack/ringbuffer.h>

#include <atomic>
#include <cstdint>

namespace tamblet::midi {

struct RingRecord {
  uint32_t length = 0;  // bytes that follow the head
  uint32_t tag = 0;     // which session of the port the event belongs to
  uint32_t flags = 0;
};

inline constexpr uint32_t kRecordOverflow = 0x1;  // the event did not fit; its bytes are missing
inline constexpr uint32_t kRecordFailed = 0x2;    // a send that could not be written

class EventRing {
 public:
  explicit EventRing(size_t bytes) : ring_(jack_ringbuffer_create(bytes)) {
    if (ring_ != nullptr) capacity_ = jack_ringbuffer_write_space(ring_);
  }
  ~EventRing() {
    if (ring_ != nullptr) jack_ringbuffer_free(ring_);
  }
  EventRing(const EventRing&) = delete;
  EventRing& operator=(const EventRing&) = delete;

  bool ok() const { return ring_ != nullptr; }

  // Writer: the head and the bytes as one record, or nothing when the ring
  // lacks room for all of it.
  bool Write(const RingRecord& head, const void* bytes) {
    const uint64_t size = sizeof head + head.length;
    const uint64_t used = written_ - consumed_.load(std::memory_order_acquire);
    if (capacity_ - used < size) return false;
    jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(&head), sizeof head);
    if (head.length != 0)
      jack_ringbuffer_write(ring_, static_cast<const char*>(bytes), head.length);
    written_ += size;
    published_.store(written_, std::memory_order_release);
    return true;
  }

  // Reader: true when a whole record is readable; its head is then in `head`.
  bool Peek(RingRecord* head) {
    const uint64_t available = published_.load(std::memory_order_acquire) - read_;
    if (available < sizeof *head) return false;
    jack_ringbuffer_peek(ring_, reinterpret_cast<char*>(head), sizeof *head);
    return available >= sizeof *head + head->length;
  }

  // Reader: consumes the record Peek returned; its bytes go to `out` (room for
  // head.length bytes), or are skipped when `out` is null.
  void Consume(const RingRecord& head, void* out) {
    jack_ringbuffer_read_advance(ring_, sizeof head);
    if (out != nullptr) {
      jack_ringbuffer_read(ring_, static_cast<char*>(out), head.length);
    } else {
      jack_ringbuffer_read_advance(ring_, head.length);
    }
    read_ += sizeof head + head.length;
    consumed_.store(read_, std::memory_order_release);
  }

 private:
  jack_ringbuffer_t* ring_;
  uint64_t capacity_ = 0;
  uint64_t written_ = 0;  // writer only
  uint64_t read_ = 0;     // reader only
  std::atomic<uint64_t> published_{0};
  std::atomic<uint64_t> consumed_{0};
};

}  // namespace tamblet::midi
