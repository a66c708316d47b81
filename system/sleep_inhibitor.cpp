#include "system/sleep_inhibitor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <memory>

namespace tamblet {
namespace {

constexpr uint64_t kCallTimeoutUs = 5'000'000;

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

Bus Connect(const std::string& address) {
  sd_bus* bus = nullptr;
  if (address.empty()) {
    if (sd_bus_open_system(&bus) < 0) return nullptr;
  } else if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 ||
             sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_negotiate_fds(bus, 1) < 0 ||
             sd_bus_start(bus) < 0) {
    sd_bus_unref(bus);
    return nullptr;
  }
  return Bus(bus);
}

struct Call {
  bool done = false;
  int descriptor = -1;  // a copy of the one the answer carries, ours to close
};

int OnReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& call = *static_cast<Call*>(userdata);
  call.done = true;
  int fd = -1;
  if (!sd_bus_message_is_method_error(reply, nullptr) && sd_bus_message_read(reply, "h", &fd) > 0)
    call.descriptor = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  return 0;
}

}  // namespace

SleepInhibitor::SleepInhibitor(std::string bus_address)
    : bus_address_(std::move(bus_address)),
      stop_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      bus_thread_([this] { Serve(); }) {}

SleepInhibitor::~SleepInhibitor() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    wanted_ = false;
  }
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t woken = write(stop_fd_, &one, sizeof one);
  wake_.notify_all();
  bus_thread_.join();
  if (descriptor_ >= 0) close(descriptor_);
  close(stop_fd_);
}

void SleepInhibitor::Acquire() {
  {
    const std::lock_guard lock(mutex_);
    if (wanted_) return;
    wanted_ = true;
    ++request_;
  }
  wake_.notify_all();
}

void SleepInhibitor::Release() {
  const std::lock_guard lock(mutex_);
  wanted_ = false;
  // Closing our only copy ends the inhibition.
  if (descriptor_ >= 0) close(descriptor_);
  descriptor_ = -1;
}

bool SleepInhibitor::held() const {
  const std::lock_guard lock(mutex_);
  return descriptor_ >= 0;
}

void SleepInhibitor::Serve() {
  for (;;) {
    unsigned request = 0;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || (wanted_ && asked_ != request_); });
      if (stopping_) return;
      request = asked_ = request_;
    }
    Ask(request);
  }
}

void SleepInhibitor::Ask(unsigned request) {
  // A new connection per run: an update is long, and a bus restarted in
  // between would leave a kept one dead.
  const Bus bus = Connect(bus_address_);
  if (!bus) return;
  sd_bus_set_method_call_timeout(bus.get(), kCallTimeoutUs);
  Call call;
  sd_bus_slot* slot = nullptr;
  if (sd_bus_call_method_async(bus.get(), &slot, "org.freedesktop.login1",
                               "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               "Inhibit", OnReply, &call, "ssss", "sleep:shutdown", "Tamblet",
                               "Updating firmware", "block") < 0)
    return;
  while (!call.done) {
    const int processed = sd_bus_process(bus.get(), nullptr);
    if (processed < 0) break;
    if (processed > 0) continue;
    uint64_t deadline = 0;
    int timeout_ms = -1;
    if (sd_bus_get_timeout(bus.get(), &deadline) > 0 && deadline != UINT64_MAX) {
      // sd-bus's deadlines are on the monotonic clock, in microseconds.
      timespec clock{};
      clock_gettime(CLOCK_MONOTONIC, &clock);
      const uint64_t now = clock.tv_sec * 1'000'000ULL + clock.tv_nsec / 1000;
      timeout_ms = deadline > now ? static_cast<int>((deadline - now + 999) / 1000) : 0;
    }
    pollfd fds[] = {{sd_bus_get_fd(bus.get()), static_cast<short>(sd_bus_get_events(bus.get())), 0},
                    {stop_fd_, POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) < 0 && errno != EINTR) break;
    if (fds[1].revents) break;
  }
  sd_bus_slot_unref(slot);
  Answered(request, call.descriptor);
}

void SleepInhibitor::Answered(unsigned request, int descriptor) {
  const std::lock_guard lock(mutex_);
  if (descriptor >= 0 && wanted_ && request == request_ && descriptor_ < 0) {
    descriptor_ = descriptor;
    return;
  }
  if (descriptor >= 0) close(descriptor);
}

}  // namespace tamblet
