#include "tests/support/fd_stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "midi/stream/poll_slices.h"

namespace tamblet::midi::stream {

FdStream::~FdStream() { close(fd_); }

ReadResult FdStream::Read(uint8_t* buffer, size_t capacity, int timeout_ms) {
  pollfd pfd{fd_, POLLIN, 0};
  poll(&pfd, 1, timeout_ms);  // on a time-out or a signal there is nothing to read
  const ssize_t got = recv(fd_, buffer, capacity, MSG_DONTWAIT);
  if (got > 0) return {IoStatus::kOk, static_cast<size_t>(got)};
  return {got < 0 && errno == EAGAIN ? IoStatus::kTimeout : IoStatus::kGone, 0};
}

IoStatus FdStream::WriteAll(const uint8_t* data, size_t length, int stall_ms,
                            const std::atomic<bool>& abandon) {
  return WriteInSlices(length, stall_ms, abandon, [&](size_t done) -> WriteStep {
    // Never blocks, so never interrupted; a far end that has gone is EPIPE, not SIGPIPE.
    const ssize_t put = send(fd_, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put > 0) return {WriteStep::kWrote, static_cast<size_t>(put)};
    if (put < 0 && errno != EAGAIN) return {WriteStep::kFailed, 0};
    pollfd pfd{fd_, POLLOUT, 0};
    poll(&pfd, 1, kPollSliceMs);
    return {WriteStep::kWouldBlock, 0};
  });
}

}  // namespace tamblet::midi::stream
