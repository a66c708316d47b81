// The port engine over socketpairs: through the MIDI layer's own calls, and
// through the port pair.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <deque>
#include <filesystem>
#include <functional>
#include <thread>

#include "midi/stream/poll_slices.h"
#include "midi/stream/stream_midi_layer.h"
#include "midi/sysex_port.h"
#include "protocol/device_commands.h"

namespace tamblet::midi::stream {
namespace {

using Bytes = std::vector<uint8_t>;
using Records = std::vector<std::pair<uint32_t, uintptr_t>>;  // (msg, param1) of each callback
constexpr uint32_t kState = MHDR_DONE | MHDR_INQUEUE;         // a buffer handed back has only DONE

// A ByteStream over one end of a socketpair, in place of a rawmidi port.
class SocketStream : public ByteStream {
 public:
  explicit SocketStream(int fd) : fd_(fd) {}  // takes ownership
  ~SocketStream() override { close(fd_); }
  SocketStream(const SocketStream&) = delete;
  SocketStream& operator=(const SocketStream&) = delete;

  ReadResult Read(uint8_t* buffer, size_t capacity, int timeout_ms) override {
    pollfd pfd{fd_, POLLIN, 0};
    poll(&pfd, 1, timeout_ms);  // on a time-out or a signal there is nothing to read
    const ssize_t got = recv(fd_, buffer, capacity, MSG_DONTWAIT);
    if (got > 0) return {IoStatus::kOk, size_t(got)};
    return {got < 0 && errno == EAGAIN ? IoStatus::kTimeout : IoStatus::kGone, 0};
  }
  IoStatus WriteAll(const uint8_t* data, size_t length, int stall_ms,
                    const std::atomic<bool>& abandon) override {
    return WriteInSlices(length, stall_ms, abandon, [&](size_t done) -> WriteStep {
      // Never blocks, so never interrupted; a far end that has gone is EPIPE, not SIGPIPE.
      const ssize_t put = send(fd_, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (put > 0) return {WriteStep::kWrote, size_t(put)};
      if (put < 0 && errno != EAGAIN) return {WriteStep::kFailed, 0};
      pollfd pfd{fd_, POLLOUT, 0};
      poll(&pfd, 1, kPollSliceMs);
      return {WriteStep::kWouldBlock, 0};
    });
  }
  IoStatus Drain() override { return IoStatus::kOk; }

 private:
  const int fd_;
};

// One output and one input port, each a socketpair: [0] is the port's end
// (duplicated on every open), [1] the far end. A lock name makes each port
// locked under that name and its direction.
struct Sockets {
  explicit Sockets(int write_stall_ms = kWriteStallMs, const std::string& lock = {}) {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, out) || socketpair(AF_UNIX, SOCK_STREAM, 0, in))
      abort();
    auto port = [&](int fd) {
      return std::vector<StreamPort>{{{},
                                      [fd](std::unique_ptr<ByteStream>* stream) {
                                        *stream = std::make_unique<SocketStream>(dup(fd));
                                        return MMSYSERR_NOERROR;
                                      },
                                      {},
                                      lock.empty() ? lock : lock + (fd == out[0] ? " out" : " in"),
                                      {}}};
    };
    layer = std::make_unique<StreamMidiLayer>(port(out[0]), port(in[0]), write_stall_ms);
  }
  ~Sockets() {
    layer.reset();
    for (int fd : {out[0], out[1], in[0], in[1]}) close(fd);
  }
  void Write(const Bytes& b) { send(in[1], b.data(), b.size(), MSG_NOSIGNAL | MSG_DONTWAIT); }
  void Unplug() {
    close(out[1]);
    close(in[1]);
    out[1] = in[1] = -1;
  }
  int out[2], in[2];
  std::unique_ptr<StreamMidiLayer> layer;
};

struct Log {
  static void Callback(PortHandle, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t) {
    auto* log = reinterpret_cast<Log*>(instance);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->records.emplace_back(msg, param1);
    log->cv.notify_all();
  }
  Records WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return records.size() >= count; });
    return records;
  }
  std::mutex mutex;
  std::condition_variable cv;
  Records records;
};

struct Buffer {
  explicit Buffer(size_t size, uint8_t fill = 0x11) : bytes(size, fill) {
    header.lpData = bytes.data();
    header.dwBufferLength = uint32_t(size);
  }
  Bytes bytes;
  MIDIHDR header{};
};

// Opens the input port with buffers of these sizes queued, and starts it.
PortHandle OpenInput(Sockets& ports, Log& log, std::deque<Buffer>& buffers,
                     std::initializer_list<size_t> sizes) {
  PortHandle in = nullptr;
  EXPECT_EQ(ports.layer->InOpen(&in, 0, &Log::Callback, uintptr_t(&log)), MMSYSERR_NOERROR);
  for (size_t size : sizes) {
    ports.layer->InPrepareHeader(in, &buffers.emplace_back(size).header);
    EXPECT_EQ(ports.layer->InAddBuffer(in, &buffers.back().header), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(ports.layer->InStart(in), MMSYSERR_NOERROR);
  return in;
}

TEST(Engine, InputReportsEachMessageInTheNextQueuedBuffer) {
  std::deque<Buffer> buffers;  // buffers and log outlive the port, which hands buffers back
  Log log;
  Sockets ports;
  OpenInput(ports, log, buffers, {8, 64});
  // Whole, but longer than its buffer. How a stream splits into messages is the
  // reassembler's test.
  const Bytes big = {0xF0, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0xF7};
  ports.Write({0x90, 0x40, 0x7F});
  ports.Write(big);
  ports.Write({0xF0, 0x01, 0xF8, 0x02, 0xF7, 0x80, 0x40, 0x00});
  const auto header = [&](size_t i) { return uintptr_t(&buffers[i].header); };
  const auto data = [&](size_t i) {
    const MIDIHDR& h = buffers[i].header;
    return Bytes(h.lpData, h.lpData + h.dwBytesRecorded);
  };
  EXPECT_EQ(log.WaitFor(4), (Records{{MIM_DATA, 0x7F4090},
                                     {MIM_LONGERROR, header(0)},
                                     {MIM_LONGDATA, header(1)},
                                     {MIM_DATA, 0x004080}}));
  EXPECT_EQ(data(0), Bytes(big.begin(), big.begin() + 8));
  EXPECT_EQ(data(1), (Bytes{0xF0, 0x01, 0x02, 0xF7}));
  for (const Buffer& b : buffers) EXPECT_EQ(b.header.dwFlags & kState, MHDR_DONE);
}

// Messages keep arriving while the port resets and closes: every buffer comes
// back before InReset returns, and once InClose has returned no callback runs,
// so the log can go at once (the sanitizers report a late one).
TEST(Engine, InputHandsEveryBufferBackOnResetAndCallsNothingAfterClose) {
  Sockets ports;
  std::jthread sender([&](std::stop_token stop) {
    while (!stop.stop_requested()) ports.Write({0xF0, 0x01, 0x02, 0xF7, 0x90, 0x40, 0x7F});
  });
  for (int round = 0; round < 20; ++round) {
    auto log = std::make_unique<Log>();
    std::deque<Buffer> buffers;
    PortHandle in = OpenInput(ports, *log, buffers, {64, 64, 64, 64});
    ASSERT_GE(log->WaitFor(3).size(), 3u);
    ASSERT_EQ(ports.layer->InReset(in), MMSYSERR_NOERROR);
    for (const Buffer& b : buffers) EXPECT_EQ(b.header.dwFlags & kState, MHDR_DONE);
    ports.layer->InAddBuffer(in, &buffers.front().header);
    ASSERT_EQ(ports.layer->InClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(buffers.front().header.dwFlags & MHDR_INQUEUE, 0u);
    EXPECT_EQ(ports.layer->InStart(in), MMSYSERR_INVALHANDLE);
  }
}

// A far end that takes nothing more is given up on: the message completes, and
// once there is room again a later one is still not written after the broken one.
TEST(Engine, OutputGivesUpOnAFarEndThatTakesNothing) {
  std::deque<Buffer> buffers;
  Log log;
  Sockets ports(/*write_stall_ms=*/50);
  PortHandle out = nullptr;
  ASSERT_EQ(ports.layer->OutOpen(&out, 0, &Log::Callback, uintptr_t(&log)), MMSYSERR_NOERROR);
  const auto send = [&](size_t size, uint8_t fill) {
    ports.layer->OutPrepareHeader(out, &buffers.emplace_back(size, fill).header);
    EXPECT_EQ(ports.layer->OutLongMsg(out, &buffers.back().header), MMSYSERR_NOERROR);
  };
  send(8 << 20, 0x11);  // far more than the socket holds
  ASSERT_EQ(log.WaitFor(1).size(), 1u);
  size_t far = 0;
  uint8_t chunk[65536];
  for (ssize_t n; (n = recv(ports.out[1], chunk, sizeof(chunk), MSG_DONTWAIT)) > 0; far += n) {
    EXPECT_EQ(std::count(chunk, chunk + n, 0x11), n);
  }
  EXPECT_LT(far, buffers[0].bytes.size());
  send(3, 0x22);
  EXPECT_EQ(log.WaitFor(2), (Records{{MOM_DONE, uintptr_t(&buffers[0].header)},
                                     {MOM_DONE, uintptr_t(&buffers[1].header)}}));
  EXPECT_EQ(recv(ports.out[1], chunk, sizeof(chunk), MSG_DONTWAIT), -1);
}

// Real time, or a thousandth of it once `fast` is set; time-outs counted.
struct Waits : WaitPolicy {
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override {
    if (cv.wait_for(lock, std::chrono::microseconds(ms * (fast ? 1 : 1000)), ready)) return true;
    return ++timeouts, false;
  }
  void Sleep(uint32_t) override {}
  std::atomic<bool> fast{false};
  std::atomic<int> timeouts{0};
};

TEST(PortPairOverSockets, OnePairAPortAndNoHangOnceUnplugged) {
  Sockets ports;
  Waits waits;
  CSysExPort pair(*ports.layer, waits), other(*ports.layer, waits);
  ASSERT_TRUE(pair.Open(0, 0));
  EXPECT_FALSE(other.Open(0, 0));  // held by the first pair
  pair.Close();
  ASSERT_TRUE(other.Open(0, 0));

  // A request that reaches the device, which then goes away, and one to a port
  // found gone: each leaves the port at once, and its reply wait times out.
  const Bytes request = {0xF0, 0x01, 0x02, 0xF7};
  std::array<uint8_t, kReplySlotSize> slot{};
  for (int i = 0; i < 2; ++i) {
    other.Send(request.data(), uint32_t(request.size()), slot);
    EXPECT_EQ(waits.timeouts, i) << "the port kept the frame";
    if (i == 0) {
      uint8_t far[8];
      EXPECT_EQ(recv(ports.out[1], far, sizeof far, MSG_DONTWAIT), 4);
      ports.Unplug();
    }
    waits.fast = true;
    EXPECT_FALSE(other.AwaitReply(kReplyTimeoutMs));
    waits.fast = false;
    EXPECT_EQ(waits.timeouts, i + 1);
  }
}

// A port locked by one pair is refused to a pair of another layer (another
// program, or another path to the same port), and free again once closed. Where
// the lock cannot be taken the port stays shut: an update without the lock
// could run beside another on the device. Which folders are refused is the
// lock's own test; here, one refused and the runtime folder's fallback.
TEST(PortPairOverSockets, NoPortWithoutALockNoOneElseCanTouch) {
  namespace fs = std::filesystem;
  char base_name[] = "/tmp/tamblet-lock-pair-XXXXXX";
  ASSERT_NE(mkdtemp(base_name), nullptr);
  const std::string run = base_name + std::string("/run");
  const auto make = [](const std::string& path, mode_t mode) {
    fs::create_directory(path);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
  };
  const struct {
    const char* what;
    bool runtime;  // the runtime folder exists
    mode_t mode;   // of its lock folder, made beforehand; 0: none
    bool opens;    // and keeps a second pair off the port
  } cases[] = {
      {"ours", true, 0, true},
      {"runtime folder missing: the one in /tmp", false, 0, true},
      {"open to all", true, 0777, false},
  };
  setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
  Waits waits;
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(run);
    if (c.runtime) make(run, 0700);
    if (c.mode) make(run + "/tamblet", c.mode);
    const std::string lock = "socket pair " + std::to_string(getpid()) + "-" + std::to_string(++n);
    Sockets locked(kWriteStallMs, lock), again(kWriteStallMs, lock);
    CSysExPort first(*locked.layer, waits), second(*again.layer, waits);
    EXPECT_EQ(first.Open(0, 0), c.opens);
    if (c.opens) {
      // Said as another update's lock, whose holder (here, this process) is named.
      EXPECT_FALSE(second.Open(0, 0));
      ASSERT_TRUE(second.open_failure().has_value());
      EXPECT_EQ(second.open_failure()->result, TAMBLET_ERR_LOCKED);
      EXPECT_EQ(DeviceLockHolder().value_or(PortHolder{}).pid, static_cast<uint32_t>(getpid()));
      first.Close();
      EXPECT_TRUE(second.Open(0, 0));
    } else {
      ASSERT_TRUE(first.open_failure().has_value());
      EXPECT_NE(first.open_failure()->result, MMSYSERR_ALLOCATED);  // not "held by another"
    }
  }
  unsetenv("XDG_RUNTIME_DIR");
  fs::remove_all(base_name);
}

}  // namespace
}  // namespace tamblet::midi::stream
