#pragma once
// What the JACK tests share: the server the ctest fixture started, private
// servers for tests that stop theirs, and tamblet-devsim run as a child process.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "midi/midi_layer.h"
#include "midi/wait_policy.h"

namespace tamblet::test {

// The server started by the fixture (its name from TAMBLET_JACK_STATE); the
// calling test fails when there is none.
std::string SharedServerName();

// A device client name no other test process uses: "QELMAR <tag><pid>".
std::string UniqueDeviceClient(const std::string& tag);

// A server of its own, through the same script as the fixture.
class PrivateServer {
 public:
  PrivateServer();
  ~PrivateServer();
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;
  bool Start();
  void Stop();
  const std::string& name() const { return name_; }

 private:
  std::string dir_;
  std::string name_;
  bool running_ = false;
};

class DevsimProcess {
 public:
  DevsimProcess() = default;
  ~DevsimProcess();
  DevsimProcess(const DevsimProcess&) = delete;
  DevsimProcess& operator=(const DevsimProcess&) = delete;

  // Runs tamblet-devsim with `args` and waits until it says it is ready.
  bool Start(const std::vector<std::string>& args);
  // SIGTERM, then its exit status (-1 if it had to be killed).
  int Stop();
  // Exit status once it has ended by itself within `timeout`.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout);
  bool WaitForLine(const std::string& part, std::chrono::milliseconds timeout);
  std::vector<std::string> Lines();

 private:
  void Read(int fd);

  pid_t pid_ = -1;
  std::optional<int> status_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

// Index of the port whose capability name is `name`, if listed.
std::optional<uint32_t> FindOutput(midi::MidiLayer& layer, const std::string& name);
std::optional<uint32_t> FindInput(midi::MidiLayer& layer, const std::string& name);
std::string CapsName(const midi::MidiCaps& caps);

// Real waits shortened twentyfold: a reply over JACK takes a few periods, far
// below a twentieth of the built-in time-out, while a missing one fails soon.
class ScaledWaits : public WaitPolicy {
 public:
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override {
    return cv.wait_for(lock, std::chrono::milliseconds(ms / 20), ready);
  }
  void Sleep(uint32_t ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms / 20));
  }
};

// Ends the test program with a message if the test has not finished in time:
// a hang is a failure, not a stuck run.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit);
  ~Watchdog();

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread thread_;
};

}  // namespace tamblet::test
