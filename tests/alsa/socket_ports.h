#pragma once
// Test rig for the port engine: a StreamMidiLayer with one output and one
// input port, each over a socketpair whose far end the test holds, and a far
// device that answers requests on those ends.

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "midi/alsa/fd_stream.h"
#include "midi/alsa/stream_midi_layer.h"
#include "midi/wait_policy.h"

namespace tamblet::test {

using Bytes = std::vector<uint8_t>;

// Each open gets a duplicate of the port's end, so a port may be opened again.
struct SocketPorts {
  int out_far = -1;  // what the output port writes comes out here
  int in_far = -1;   // what is written here reaches the input port
  int out_near = -1;
  int in_near = -1;
  std::unique_ptr<midi::alsa::StreamMidiLayer> layer;

  explicit SocketPorts(int write_stall_ms = midi::alsa::kWriteStallMs) {
    int out_pair[2];
    int in_pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, out_pair) != 0 ||
        socketpair(AF_UNIX, SOCK_STREAM, 0, in_pair) != 0) {
      std::abort();
    }
    out_near = out_pair[0];
    out_far = out_pair[1];
    in_near = in_pair[0];
    in_far = in_pair[1];
    auto opener = [](int fd) {
      return [fd](std::unique_ptr<midi::alsa::ByteStream>* stream) {
        const int copy = dup(fd);
        if (copy < 0) return midi::MMSYSERR_ERROR;
        *stream = std::make_unique<midi::alsa::FdStream>(copy);
        return midi::MMSYSERR_NOERROR;
      };
    };
    std::vector<midi::alsa::StreamPort> outputs = {{midi::MidiCaps{}, opener(out_near)}};
    std::vector<midi::alsa::StreamPort> inputs = {{midi::MidiCaps{}, opener(in_near)}};
    layer = std::make_unique<midi::alsa::StreamMidiLayer>(std::move(outputs), std::move(inputs),
                                                          write_stall_ms);
  }
  ~SocketPorts() {
    layer.reset();
    for (int fd : {out_far, in_far, out_near, in_near}) {
      if (fd >= 0) close(fd);
    }
  }
  // The far device is unplugged: both far ends close.
  void HangUp() {
    close(out_far);
    close(in_far);
    out_far = in_far = -1;
  }
  // Drops the port ends the rig keeps, so that an open port is the last holder.
  void ForgetNearEnds() {
    close(out_near);
    close(in_near);
    out_near = in_near = -1;
  }
};

inline void WriteBytes(int fd, const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (put <= 0) return;
    done += static_cast<size_t>(put);
  }
}

// Answers each complete request that arrives on `from` with `answer(request)`
// on `to`, written in pieces of the given sizes (cycled), with a real-time byte
// between pieces when asked. With `hang_up_after` set it closes both ends on
// that request instead of answering it.
class FarDevice {
 public:
  using Answer = std::function<std::optional<Bytes>(const Bytes& request)>;
  struct Options {
    std::vector<size_t> pieces;
    bool real_time_between = false;
    int hang_up_after = 0;  // 0: never
  };

  FarDevice(SocketPorts& ports, Answer answer, Options options)
      : ports_(ports), answer_(std::move(answer)), options_(std::move(options)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~FarDevice() {
    stop_.store(true);
    thread_.join();
  }
  std::vector<Bytes> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Run() {
    Bytes message;
    bool inside = false;
    timeval tv{0, 5000};
    setsockopt(ports_.out_far, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    while (!stop_.load()) {
      uint8_t chunk[512];
      const ssize_t got = recv(ports_.out_far, chunk, sizeof(chunk), 0);
      if (got <= 0) continue;
      for (ssize_t i = 0; i < got; ++i) {
        const uint8_t b = chunk[i];
        if (b == 0xF0) {
          inside = true;
          message.clear();
        }
        if (!inside) continue;
        message.push_back(b);
        if (b == 0xF7) {
          inside = false;
          if (!Respond(message)) return;
        }
      }
    }
  }

  bool Respond(const Bytes& request) {
    size_t count;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
      count = requests_.size();
    }
    if (options_.hang_up_after != 0 && count == static_cast<size_t>(options_.hang_up_after)) {
      ports_.HangUp();
      return false;
    }
    const std::optional<Bytes> reply = answer_(request);
    if (!reply) return true;
    size_t done = 0;
    size_t piece = 0;
    while (done < reply->size()) {
      size_t size = options_.pieces.empty() ? reply->size()
                                            : options_.pieces[piece++ % options_.pieces.size()];
      size = std::min(size, reply->size() - done);
      WriteBytes(ports_.in_far, Bytes(reply->begin() + done, reply->begin() + done + size));
      done += size;
      if (options_.real_time_between && done < reply->size()) WriteBytes(ports_.in_far, {0xF8});
    }
    return true;
  }

  SocketPorts& ports_;
  Answer answer_;
  Options options_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Bytes> requests_;
  std::thread thread_;
};

// Waits scaled at run time: `scale_us` microseconds per millisecond asked.
class ScaledWaits : public WaitPolicy {
 public:
  explicit ScaledWaits(uint32_t scale_us) : scale_us_(scale_us) {}
  void set_scale_us(uint32_t scale_us) { scale_us_.store(scale_us); }
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override {
    const bool done =
        cv.wait_for(lock, std::chrono::microseconds(uint64_t{ms} * scale_us_.load()), ready);
    if (!done) timeouts_.fetch_add(1);
    return done;
  }
  void Sleep(uint32_t) override {}
  int timeouts() const { return timeouts_.load(); }

 private:
  std::atomic<uint32_t> scale_us_;
  std::atomic<int> timeouts_{0};
};

}  // namespace tamblet::test
