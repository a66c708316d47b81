#pragma once
// A ByteStream over a POSIX file descriptor (socket, pipe, pty), used by the
// tests in place of a rawmidi port.

#include <sys/types.h>

#include "midi/stream/byte_stream.h"

namespace tamblet::midi::stream {

class FdStream : public ByteStream {
 public:
  // Takes ownership of `fd` and makes it non-blocking.
  explicit FdStream(int fd);
  ~FdStream() override;
  FdStream(const FdStream&) = delete;
  FdStream& operator=(const FdStream&) = delete;

  ReadResult Read(uint8_t* buffer, size_t capacity, int timeout_ms) override;
  IoStatus WriteAll(const uint8_t* data, size_t length, int stall_ms,
                    const std::atomic<bool>& abandon) override;
  IoStatus Drain() override;

 private:
  ssize_t WriteSome(const uint8_t* data, size_t length);

  int fd_;
  bool is_socket_ = false;
};

}  // namespace tamblet::midi::stream
