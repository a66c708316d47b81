#pragma once
// Whole MIDI events carried through a jack_ringbuffer between a process
// callback and another thread. One writer and one reader per ring; neither
// side allocates or blocks, so the process callback may use either end.

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

// Writes the head and the bytes as one record, or nothing when the ring lacks
// room for all of it.
inline bool WriteRecord(jack_ringbuffer_t* ring, const RingRecord& head, const void* bytes) {
  if (jack_ringbuffer_write_space(ring) < sizeof head + head.length) return false;
  jack_ringbuffer_write(ring, reinterpret_cast<const char*>(&head), sizeof head);
  if (head.length != 0) jack_ringbuffer_write(ring, static_cast<const char*>(bytes), head.length);
  std::atomic_thread_fence(std::memory_order_release);
  return true;
}

// True when a whole record is readable; its head is then in `head`.
inline bool PeekRecord(jack_ringbuffer_t* ring, RingRecord* head) {
  std::atomic_thread_fence(std::memory_order_acquire);
  if (jack_ringbuffer_read_space(ring) < sizeof *head) return false;
  jack_ringbuffer_peek(ring, reinterpret_cast<char*>(head), sizeof *head);
  return jack_ringbuffer_read_space(ring) >= sizeof *head + head->length;
}

// Consumes the record whose head PeekRecord returned; its bytes go to `out`
// (room for head.length bytes), or are skipped when `out` is null.
inline void ConsumeRecord(jack_ringbuffer_t* ring, const RingRecord& head, void* out) {
  jack_ringbuffer_read_advance(ring, sizeof head);
  if (out != nullptr) {
    jack_ringbuffer_read(ring, static_cast<char*>(out), head.length);
  } else {
    jack_ringbuffer_read_advance(ring, head.length);
  }
}

}  // namespace tamblet::midi
