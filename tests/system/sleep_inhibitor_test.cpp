// The sleep inhibitor against a login manager of our own on a private bus:
// the descriptor it is handed is held while wanted and closed once not, a late
// answer included. Each inhibition is a pipe whose read end the fake keeps, so
// a hang-up there proves that every copy of the descriptor was closed.
#include "system/sleep_inhibitor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tamblet {
namespace {

using namespace std::chrono_literals;

// A dbus-daemon of its own, on a socket in a temporary folder.
class PrivateBus {
 public:
  PrivateBus()
      : dir_(std::filesystem::temp_directory_path() / ("tamblet-bus-" + std::to_string(getpid()))) {
    std::filesystem::create_directories(dir_);
    address = "unix:path=" + (dir_ / "socket").string();
    const std::string listen = "--address=" + address;
    const char* argv[] = {TAMBLET_DBUS_DAEMON, "--session", "--nofork", listen.c_str(), nullptr};
    posix_spawn_file_actions_t quiet;  // it warns of a file limit it may not raise
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn(&pid_, TAMBLET_DBUS_DAEMON, &quiet, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&quiet);
    for (int i = 0; i < 500 && !std::filesystem::exists(dir_ / "socket"); ++i)
      std::this_thread::sleep_for(10ms);
  }
  ~PrivateBus() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    std::filesystem::remove_all(dir_);
  }
  std::string address;

 private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
};

// The login manager's Inhibit, answered after `delay`, on a thread of its own.
class FakeLogin {
 public:
  FakeLogin(const std::string& address, std::chrono::milliseconds delay) : delay_(delay) {
    sd_bus_new(&bus_);
    sd_bus_set_address(bus_, address.c_str());
    sd_bus_set_bus_client(bus_, 1);
    sd_bus_negotiate_fds(bus_, 1);
    EXPECT_GE(sd_bus_start(bus_), 0);
    sd_bus_add_object(bus_, nullptr, "/org/freedesktop/login1", OnMessage, this);
    EXPECT_GE(sd_bus_request_name(bus_, "org.freedesktop.login1", 0), 0);
    thread_ = std::thread([this] {
      while (!stop_) {
        if (sd_bus_process(bus_, nullptr) == 0) sd_bus_wait(bus_, 20'000);
      }
    });
  }
  ~FakeLogin() {
    stop_ = true;
    thread_.join();
    sd_bus_flush_close_unref(bus_);
    for (const int fd : read_ends_) close(fd);
  }
  std::vector<std::string> calls() {
    const std::lock_guard lock(mutex_);
    return calls_;
  }
  // Whether the inhibition handed out by call `n` has ended, waiting up to `wait`.
  bool Ended(size_t n, std::chrono::milliseconds wait = 5000ms) {
    int fd = -1;
    for (auto waited = 0ms; fd < 0 && waited < wait; waited += 10ms) {
      {
        const std::lock_guard lock(mutex_);
        if (n < read_ends_.size()) fd = read_ends_[n];
      }
      if (fd < 0) std::this_thread::sleep_for(10ms);
    }
    pollfd end{fd, POLLIN, 0};
    return fd >= 0 && poll(&end, 1, static_cast<int>(wait.count())) == 1 && (end.revents & POLLHUP);
  }

 private:
  static int OnMessage(sd_bus_message* call, void* self, sd_bus_error*) {
    auto& fake = *static_cast<FakeLogin*>(self);
    if (!sd_bus_message_is_method_call(call, "org.freedesktop.login1.Manager", "Inhibit")) return 0;
    const char* words[4] = {};
    sd_bus_message_read(call, "ssss", &words[0], &words[1], &words[2], &words[3]);
    {
      const std::lock_guard lock(fake.mutex_);
      fake.calls_.push_back(std::string(words[0]) + "|" + words[1] + "|" + words[2] + "|" +
                            words[3]);
    }
    std::this_thread::sleep_for(fake.delay_);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -errno;
    sd_bus_reply_method_return(call, "h", ends[1]);
    close(ends[1]);
    const std::lock_guard lock(fake.mutex_);
    fake.read_ends_.push_back(ends[0]);
    return 1;
  }

  std::chrono::milliseconds delay_;
  sd_bus* bus_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<int> read_ends_;
};

bool Held(const SleepInhibitor& inhibitor) {
  for (int i = 0; i < 500 && !inhibitor.held(); ++i) std::this_thread::sleep_for(10ms);
  return inhibitor.held();
}

constexpr const char* kInhibit = "sleep:shutdown|Tamblet|Updating firmware|block";

TEST(SleepInhibitor, HeldWhileWantedClosedOnReleaseAndAskedAgainForTheNextRun) {
  PrivateBus bus;
  FakeLogin login(bus.address, 0ms);
  SleepInhibitor inhibitor(bus.address);
  inhibitor.Acquire();
  ASSERT_TRUE(Held(inhibitor));
  inhibitor.Acquire();  // already held: nothing more asked
  EXPECT_FALSE(login.Ended(0, 100ms));
  inhibitor.Release();
  EXPECT_FALSE(inhibitor.held());
  EXPECT_TRUE(login.Ended(0));
  inhibitor.Acquire();
  EXPECT_TRUE(Held(inhibitor));
  EXPECT_EQ(login.calls(), (std::vector<std::string>{kInhibit, kInhibit}));
  EXPECT_FALSE(login.Ended(1, 100ms));
}

TEST(SleepInhibitor, AnAnswerAfterReleaseOrOnTheWayOutIsNotKept) {
  PrivateBus bus;
  {
    FakeLogin login(bus.address, 300ms);
    SleepInhibitor inhibitor(bus.address);
    inhibitor.Acquire();
    for (int i = 0; i < 500 && login.calls().empty(); ++i) std::this_thread::sleep_for(10ms);
    inhibitor.Release();  // asked, not yet answered
    EXPECT_TRUE(login.Ended(0));
    EXPECT_FALSE(inhibitor.held());
  }
  FakeLogin login(bus.address, 0ms);
  auto inhibitor = std::make_unique<SleepInhibitor>(bus.address);
  inhibitor->Acquire();
  ASSERT_TRUE(Held(*inhibitor));
  inhibitor.reset();  // the program ends during an update
  EXPECT_TRUE(login.Ended(0));
}

}  // namespace
}  // namespace tamblet
