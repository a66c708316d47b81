#pragma once
// The write loop shared by the streams: write what the far end takes, wait in
// short slices when it takes nothing, and give up on a stall or when asked to.

#include <atomic>
#include <chrono>
#include <cstddef>

#include "midi/stream/byte_stream.h"

namespace tamblet::midi::stream {

inline constexpr int kPollSliceMs = 10;

struct WriteStep {
  enum Kind { kWrote, kWouldBlock, kFailed };
  Kind kind;
  size_t count;
};

// `step(done)` tries to write from offset `done` and, when nothing could be
// written, waits at most one slice for room.
template <typename Step>
IoStatus WriteInSlices(size_t length, int stall_ms, const std::atomic<bool>& abandon, Step step) {
  using Clock = std::chrono::steady_clock;
  size_t done = 0;
  auto last_progress = Clock::now();
  while (done < length) {
    if (abandon.load(std::memory_order_acquire)) {
      return IoStatus::kAbandoned;
    }
    const WriteStep result = step(done);
    switch (result.kind) {
      case WriteStep::kWrote:
        done += result.count;
        last_progress = Clock::now();
        break;
      case WriteStep::kFailed:
        return IoStatus::kGone;
      case WriteStep::kWouldBlock:
        if (Clock::now() - last_progress >= std::chrono::milliseconds(stall_ms)) {
          return IoStatus::kTimeout;
        }
        break;
    }
  }
  return IoStatus::kOk;
}

}  // namespace tamblet::midi::stream
