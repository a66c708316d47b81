#include "midi/alsa/rawmidi_stream.h"

#include <alsa/asoundlib.h>
#include <poll.h>

#include <cerrno>
#include <vector>

#include "midi/stream/poll_slices.h"

namespace tamblet::midi::alsa {
namespace {

class RawmidiStream : public stream::ByteStream {
 public:
  explicit RawmidiStream(snd_rawmidi_t* handle) : handle_(handle) {
    const int count = snd_rawmidi_poll_descriptors_count(handle_);
    fds_.resize(count > 0 ? static_cast<size_t>(count) : 0);
    if (!fds_.empty()) {
      snd_rawmidi_poll_descriptors(handle_, fds_.data(), static_cast<unsigned>(fds_.size()));
    }
  }
  ~RawmidiStream() override { snd_rawmidi_close(handle_); }
  RawmidiStream(const RawmidiStream&) = delete;
  RawmidiStream& operator=(const RawmidiStream&) = delete;

  stream::ReadResult Read(uint8_t* buffer, size_t capacity, int timeout_ms) override {
    switch (Wait(timeout_ms)) {
      case stream::IoStatus::kOk:
        break;
      case stream::IoStatus::kTimeout:
        return {stream::IoStatus::kTimeout, 0};
      default:
        return {stream::IoStatus::kGone, 0};
    }
    const ssize_t got = snd_rawmidi_read(handle_, buffer, capacity);
    if (got > 0) {
      return {stream::IoStatus::kOk, static_cast<size_t>(got)};
    }
    if (got == -EAGAIN || got == -EINTR) {
      return {stream::IoStatus::kTimeout, 0};
    }
    return {stream::IoStatus::kGone, 0};  // -ENODEV once the device is unplugged
  }

  stream::IoStatus WriteAll(const uint8_t* data, size_t length, int stall_ms,
                            const std::atomic<bool>& abandon) override {
    return stream::WriteInSlices(length, stall_ms, abandon, [&](size_t done) -> stream::WriteStep {
      const ssize_t put = snd_rawmidi_write(handle_, data + done, length - done);
      if (put > 0) {
        return {stream::WriteStep::kWrote, static_cast<size_t>(put)};
      }
      if (put == 0 || put == -EAGAIN || put == -EINTR) {
        return Wait(stream::kPollSliceMs) == stream::IoStatus::kGone
                   ? stream::WriteStep{stream::WriteStep::kFailed, 0}
                   : stream::WriteStep{stream::WriteStep::kWouldBlock, 0};
      }
      return {stream::WriteStep::kFailed, 0};
    });
  }

  stream::IoStatus Drain() override {
    // The kernel bounds this wait itself.
    return snd_rawmidi_drain(handle_) < 0 ? stream::IoStatus::kGone : stream::IoStatus::kOk;
  }

 private:
  stream::IoStatus Wait(int timeout_ms) {
    if (fds_.empty()) {
      return stream::IoStatus::kGone;
    }
    const int ready = poll(fds_.data(), fds_.size(), timeout_ms);
    if (ready < 0) {
      return errno == EINTR ? stream::IoStatus::kTimeout : stream::IoStatus::kGone;
    }
    if (ready == 0) {
      return stream::IoStatus::kTimeout;
    }
    unsigned short revents = 0;
    if (snd_rawmidi_poll_descriptors_revents(handle_, fds_.data(),
                                             static_cast<unsigned>(fds_.size()), &revents) < 0 ||
        (revents & (POLLERR | POLLHUP | POLLNVAL))) {
      return stream::IoStatus::kGone;
    }
    return (revents & (POLLIN | POLLOUT)) ? stream::IoStatus::kOk : stream::IoStatus::kTimeout;
  }

  snd_rawmidi_t* const handle_;
  std::vector<pollfd> fds_;
};

}  // namespace

MMRESULT OpenErrorToResult(int error) {
  switch (error) {
    case 0:
      return MMSYSERR_NOERROR;
    case -EBUSY:
      return MMSYSERR_ALLOCATED;
    case -ENOENT:
    case -ENODEV:
    case -ENXIO:
      return MMSYSERR_BADDEVICEID;  // gone since it was listed
    case -ENOMEM:
      return MMSYSERR_NOMEM;
    default:
      return MMSYSERR_ERROR;  // -EACCES (not in the audio group) among others
  }
}

MMRESULT OpenRawmidiOutput(const std::string& device, std::unique_ptr<stream::ByteStream>* stream) {
  snd_rawmidi_t* handle = nullptr;
  const int error = snd_rawmidi_open(nullptr, &handle, device.c_str(), SND_RAWMIDI_NONBLOCK);
  if (error < 0) {
    return OpenErrorToResult(error);
  }
  *stream = std::make_unique<RawmidiStream>(handle);
  return MMSYSERR_NOERROR;
}

MMRESULT OpenRawmidiInput(const std::string& device, std::unique_ptr<stream::ByteStream>* stream) {
  snd_rawmidi_t* handle = nullptr;
  const int error = snd_rawmidi_open(&handle, nullptr, device.c_str(), SND_RAWMIDI_NONBLOCK);
  if (error < 0) {
    return OpenErrorToResult(error);
  }
  *stream = std::make_unique<RawmidiStream>(handle);
  return MMSYSERR_NOERROR;
}

}  // namespace tamblet::midi::alsa
