#pragma once
// Asks the login manager not to suspend or shut down the machine while an
// update runs, by holding the descriptor its Inhibit call hands out. Where no
// such service answers, nothing happens and nothing is shown. No event loop is
// needed of the caller: the bus is served on a thread of its own.

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tamblet {

class SleepInhibitor {
 public:
  // `bus_address` in D-Bus's form ("unix:path=..."); empty: the system bus.
  explicit SleepInhibitor(std::string bus_address = {});
  ~SleepInhibitor();
  SleepInhibitor(const SleepInhibitor&) = delete;
  SleepInhibitor& operator=(const SleepInhibitor&) = delete;

  // From any thread. Acquire asks without waiting; the answer is kept only if
  // Release has not come first.
  void Acquire();
  void Release();
  bool held() const;

 private:
  void Serve();
  // On the bus thread: one Inhibit call and its answer, or a stop.
  void Ask(unsigned request);
  void Answered(unsigned request, int descriptor);

  const std::string bus_address_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  int descriptor_ = -1;
  bool wanted_ = false;
  bool stopping_ = false;
  unsigned request_ = 0;  // tells a late answer from the current one
  unsigned asked_ = 0;    // the last request the bus thread took up
  int stop_fd_ = -1;      // an eventfd that cuts short a wait for an answer
  std::thread bus_thread_;
};

}  // namespace tamblet
