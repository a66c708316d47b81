#include "sim/devsim/raw_device_host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "midi/stream/sysex_reassembler.h"

namespace tamblet::sim {
namespace {

using Clock = std::chrono::steady_clock;

// Every message that reached the device, whole or broken: the device judges it.
class Collector : public midi::stream::MessageSink {
 public:
  void OnSysEx(std::span<const uint8_t> message) override { Add(message); }
  void OnSysExError(std::span<const uint8_t> received) override { Add(received); }
  void OnShort(uint32_t message) override {
    const uint8_t bytes[] = {static_cast<uint8_t>(message), static_cast<uint8_t>(message >> 8),
                             static_cast<uint8_t>(message >> 16)};
    Add(bytes);
  }
  std::vector<std::vector<uint8_t>> messages;

 private:
  void Add(std::span<const uint8_t> bytes) { messages.emplace_back(bytes.begin(), bytes.end()); }
};

}  // namespace

RawDeviceHost::RawDeviceHost(Device& device, RequestLog log, DeviceGone gone)
    : device_(device), log_(std::move(log)), gone_(gone) {}

RawDeviceHost::~RawDeviceHost() { Stop(); }

bool RawDeviceHost::Start(const std::string& path, std::string* error) {
  fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_fd_ < 0) {
    *error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  worker_ = std::thread([this] { Work(); });
  return true;
}

void RawDeviceHost::Stop() {
  stopping_.store(true);
  if (stop_fd_ >= 0) {
    const uint64_t one = 1;
    (void)!write(stop_fd_, &one, sizeof one);
  }
  if (worker_.joinable()) worker_.join();
  for (int* fd : {&fd_, &stop_fd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

RawDeviceHost::Io RawDeviceHost::WaitFor(short events, Clock::time_point until) {
  for (;;) {
    if (stopping_.load()) return Io::kStop;
    int timeout_ms = -1;
    if (until != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0) return Io::kReady;
      timeout_ms = static_cast<int>(std::min<long long>(left, 1000));
    }
    pollfd fds[] = {{fd_, events, 0}, {stop_fd_, POLLIN, 0}};
    const int ready = poll(fds, 2, timeout_ms);
    if (ready < 0 && errno != EINTR) return Io::kGone;
    if (ready <= 0 || fds[1].revents != 0) continue;
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return Io::kGone;
    if (fds[0].revents & events) return Io::kReady;
  }
}

bool RawDeviceHost::WriteAll(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t put = write(fd_, bytes.data(), bytes.size());
    if (put > 0) {
      bytes = bytes.subspan(static_cast<size_t>(put));
    } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (WaitFor(POLLOUT, Clock::time_point::max()) != Io::kReady) {
      return false;
    }
  }
  return true;
}

void RawDeviceHost::Answer(std::span<const uint8_t> request) {
  const auto arrived = Clock::now();
  const std::vector<Reply> replies = device_.OnRequest(request);
  if (log_) log_(request, replies);
  for (const Reply& reply : replies) {
    if (WaitFor(0, arrived + std::chrono::milliseconds(reply.delay_ms)) != Io::kReady) return;
    std::vector<uint8_t> bytes = reply.bytes;
    if (reply.kind == Reply::Kind::kLongError) {
      // On a byte stream a SysEx is broken by a status byte before its end.
      if (!bytes.empty() && bytes.back() == 0xF7) bytes.pop_back();
      bytes.push_back(0xF6);
    }
    if (!WriteAll(bytes)) return;
  }
}

void RawDeviceHost::Work() {
  midi::stream::SysExReassembler reassembler;
  Collector collector;
  std::vector<uint8_t> buffer(4096);
  while (!stopping_.load()) {
    const Io io = WaitFor(POLLIN, Clock::time_point::max());
    if (io == Io::kStop) return;
    const ssize_t got = io == Io::kGone ? -1 : read(fd_, buffer.data(), buffer.size());
    if (got < 0 && io == Io::kReady && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) {
      if (!stopping_.load() && gone_ != nullptr) gone_();
      return;
    }
    reassembler.Feed(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(got)), collector);
    for (const auto& message : collector.messages) Answer(message);
    collector.messages.clear();
  }
}

}  // namespace tamblet::sim
