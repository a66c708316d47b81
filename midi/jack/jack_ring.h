#pragma once
// Whole MIDI events carried through a ring between a process callback and
// another thread: one writer and one reader, neither of which allocates or
// blocks, so the process callback may be either. The hand-over is ordered by
// two atomic byte counts (published, consumed), and the bytes are copied here
// rather than inside libjack, so that sanitizers see all of it.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace tamblet::midi {

// JACK runs the clients of a graph one after another and orders them through
// its own signals in shared memory, which ThreadSanitizer cannot see. A process
// callback tells it instead: it takes over each port buffer it uses from
// whoever used it last, and hands it on when done. Nothing in other builds.
inline void TakePortBuffer([[maybe_unused]] void* buffer) {
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(buffer);
#endif
}
inline void HandOnPortBuffer([[maybe_unused]] void* buffer) {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(buffer);
#endif
}

struct RingRecord {
  uint32_t length = 0;  // bytes that follow the head
  uint32_t tag = 0;     // which session of the port the event belongs to
  uint32_t flags = 0;
};

inline constexpr uint32_t kRecordOverflow = 0x1;  // the event did not fit; its bytes are missing
inline constexpr uint32_t kRecordFailed = 0x2;    // a send that could not be written

class EventRing {
 public:
  explicit EventRing(size_t bytes)
      : bytes_(new (std::nothrow) char[bytes]), capacity_(bytes_ ? bytes : 0) {}
  EventRing(const EventRing&) = delete;
  EventRing& operator=(const EventRing&) = delete;

  bool ok() const { return bytes_ != nullptr; }

  // Writer: the head and the bytes as one record, or nothing when the ring
  // lacks room for all of it.
  bool Write(const RingRecord& head, const void* bytes) {
    const uint64_t size = sizeof head + head.length;
    const uint64_t used = written_ - consumed_.load(std::memory_order_acquire);
    if (capacity_ - used < size) return false;
    CopyIn(written_, &head, sizeof head);
    CopyIn(written_ + sizeof head, bytes, head.length);
    written_ += size;
    published_.store(written_, std::memory_order_release);
    return true;
  }

  // Reader: true when a whole record is readable; its head is then in `head`.
  bool Peek(RingRecord* head) {
    const uint64_t available = published_.load(std::memory_order_acquire) - read_;
    if (available < sizeof *head) return false;
    CopyOut(read_, head, sizeof *head);
    return available >= sizeof *head + head->length;
  }

  // Reader: consumes the record Peek returned; its bytes go to `out` (room for
  // head.length bytes), or are skipped when `out` is null.
  void Consume(const RingRecord& head, void* out) {
    if (out != nullptr) CopyOut(read_ + sizeof head, out, head.length);
    read_ += sizeof head + head.length;
    consumed_.store(read_, std::memory_order_release);
  }

 private:
  void CopyIn(uint64_t at, const void* from, size_t length) {
    if (length == 0 || from == nullptr) return;
    const size_t start = at % capacity_, first = std::min(length, capacity_ - start);
    std::memcpy(bytes_.get() + start, from, first);
    std::memcpy(bytes_.get(), static_cast<const char*>(from) + first, length - first);
  }
  void CopyOut(uint64_t at, void* to, size_t length) const {
    if (length == 0) return;
    const size_t start = at % capacity_, first = std::min(length, capacity_ - start);
    std::memcpy(to, bytes_.get() + start, first);
    std::memcpy(static_cast<char*>(to) + first, bytes_.get(), length - first);
  }

  std::unique_ptr<char[]> bytes_;
  size_t capacity_;
  uint64_t written_ = 0;  // writer only
  uint64_t read_ = 0;     // reader only
  std::atomic<uint64_t> published_{0};
  std::atomic<uint64_t> consumed_{0};
};

}  // namespace tamblet::midi
