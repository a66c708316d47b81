#pragma once
// A ByteStream over one end of a socketpair, used by the tests in place of a
// rawmidi port.

#include "midi/stream/byte_stream.h"

namespace tamblet::midi::stream {

class FdStream : public ByteStream {
 public:
  explicit FdStream(int fd) : fd_(fd) {}  // takes ownership of the socket
  ~FdStream() override;
  FdStream(const FdStream&) = delete;
  FdStream& operator=(const FdStream&) = delete;

  ReadResult Read(uint8_t* buffer, size_t capacity, int timeout_ms) override;
  IoStatus WriteAll(const uint8_t* data, size_t length, int stall_ms,
                    const std::atomic<bool>& abandon) override;
  IoStatus Drain() override { return IoStatus::kOk; }

 private:
  int fd_;
};

}  // namespace tamblet::midi::stream
