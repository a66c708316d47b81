#pragma once
// One direction of a raw MIDI connection as a plain byte stream: a rawmidi
// port, or in tests one end of a socketpair. The port engine does all
// the threading on top of it.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tamblet::midi::stream {

enum class IoStatus {
  kOk,
  kTimeout,    // nothing arrived in time / a write made no progress in time
  kAbandoned,  // the caller asked to stop
  kGone,       // end of stream, device removed, or any other error: final
  kRefused,    // the stream cannot carry this message whole; nothing of it left
};

struct ReadResult {
  IoStatus status = IoStatus::kTimeout;
  size_t count = 0;  // bytes read when kOk, at least 1
};

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // Waits up to `timeout_ms` for bytes and returns those that are there.
  virtual ReadResult Read(uint8_t* buffer, size_t capacity, int timeout_ms) = 0;
  // Writes every byte. Gives up with kTimeout when the far end takes nothing
  // for `stall_ms`, and with kAbandoned soon after `abandon` becomes true.
  // The port engine hands each message whole to one call, which a stream of
  // whole messages rather than bytes (the sequencer) relies on.
  virtual IoStatus WriteAll(const uint8_t* data, size_t length, int stall_ms,
                            const std::atomic<bool>& abandon) = 0;
  // Returns once the written bytes have left.
  virtual IoStatus Drain() = 0;
};

}  // namespace tamblet::midi::stream
