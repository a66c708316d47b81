#include "tests/support/fd_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "midi/stream/poll_slices.h"

namespace tamblet::midi::stream {

FdStream::FdStream(int fd) : fd_(fd) {
  struct stat info {};
  is_socket_ = fstat(fd_, &info) == 0 && S_ISSOCK(info.st_mode);
  const int flags = fcntl(fd_, F_GETFL);
  if (flags >= 0) {
    fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
  }
}

FdStream::~FdStream() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

ReadResult FdStream::Read(uint8_t* buffer, size_t capacity, int timeout_ms) {
  pollfd pfd{fd_, POLLIN, 0};
  const int ready = poll(&pfd, 1, timeout_ms);
  if (ready < 0) {
    return {errno == EINTR ? IoStatus::kTimeout : IoStatus::kGone, 0};
  }
  if (ready == 0) {
    return {IoStatus::kTimeout, 0};
  }
  const ssize_t got = read(fd_, buffer, capacity);
  if (got > 0) {
    return {IoStatus::kOk, static_cast<size_t>(got)};
  }
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
    return {IoStatus::kTimeout, 0};
  }
  return {IoStatus::kGone, 0};  // end of stream (a pty whose far end closed gives EIO)
}

// A far end that has gone must show up as an error, not as SIGPIPE.
ssize_t FdStream::WriteSome(const uint8_t* data, size_t length) {
  if (is_socket_) {
    return send(fd_, data, length, MSG_NOSIGNAL);
  }
  return write(fd_, data, length);
}

IoStatus FdStream::WriteAll(const uint8_t* data, size_t length, int stall_ms,
                            const std::atomic<bool>& abandon) {
  return WriteInSlices(length, stall_ms, abandon, [&](size_t done) -> WriteStep {
    const ssize_t put = WriteSome(data + done, length - done);
    if (put > 0) {
      return {WriteStep::kWrote, static_cast<size_t>(put)};
    }
    if (put < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd pfd{fd_, POLLOUT, 0};
      const int ready = poll(&pfd, 1, kPollSliceMs);
      if (ready < 0 && errno != EINTR) {
        return {WriteStep::kFailed, 0};
      }
      if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
        return {WriteStep::kFailed, 0};
      }
      return {WriteStep::kWouldBlock, 0};
    }
    return {WriteStep::kFailed, 0};
  });
}

IoStatus FdStream::Drain() {
  if (isatty(fd_) && tcdrain(fd_) != 0) {
    return IoStatus::kGone;
  }
  return IoStatus::kOk;
}

}  // namespace tamblet::midi::stream
