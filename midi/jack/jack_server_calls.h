#pragma once
// The guard for calls into libjack that wait on the server: each runs on a
// helper thread, and its caller waits only so long. A stopped or wedged server
// then costs the caller a few seconds, not its life.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tamblet::midi::jack {

// How long a call that waits on the server may take before the server is taken
// for hung. A live one answers in milliseconds even on a loaded machine.
inline constexpr auto kServerWait = std::chrono::seconds(3);

class ServerCalls {
 public:
  ServerCalls();
  ~ServerCalls();  // detaches a helper given up on: it ends once libjack lets it go, if ever
  ServerCalls(const ServerCalls&) = delete;
  ServerCalls& operator=(const ServerCalls&) = delete;

  // False when `call` did not return within `limit`, or the helper was given
  // up before. `call` must own what it touches: it may finish after this returns.
  bool Run(std::function<void()> call, std::chrono::steady_clock::duration limit);

  bool given_up() const;
  // Given up, and the call it was given up on is still inside libjack.
  bool stuck() const;
  // Takes the helper back once the call it was given up on has returned.
  void Resume();

 private:
  struct State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::function<void()> call;
    uint64_t posted = 0;
    uint64_t finished = 0;
    bool stop = false;
    bool given_up = false;
  };
  static void Serve(State& state);

  std::mutex run_mutex_;  // one call in flight: each waits for its own
  std::shared_ptr<State> state_;
  std::thread thread_;
};

// libjack's metadata store prints its complaints (a missing or read-only
// /dev/shm database, say) straight to standard error, past
// jack_set_error_function. So standard error points at /dev/null while a client
// opens. Each Muting unmutes once, whichever of the open and its waiter ends first.
class Muting {
 public:
  Muting();
  ~Muting() { End(); }
  Muting(const Muting&) = delete;
  Muting& operator=(const Muting&) = delete;
  void End();

 private:
  static inline std::mutex mutex_;
  static inline int depth_ = 0;
  static inline int saved_ = -1;
  bool ended_ = false;  // guarded by mutex_
};

}  // namespace tamblet::midi::jack
