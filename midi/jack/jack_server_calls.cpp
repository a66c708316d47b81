#include "midi/jack/jack_server_calls.h"

#include <fcntl.h>
#include <unistd.h>

namespace tamblet::midi::jack {

ServerCalls::ServerCalls() : state_(std::make_shared<State>()) {
  thread_ = std::thread([state = state_] { Serve(*state); });
}

ServerCalls::~ServerCalls() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stop = true;
  }
  state_->changed.notify_all();
  if (given_up()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

bool ServerCalls::Run(std::function<void()> call, std::chrono::steady_clock::duration limit) {
  std::lock_guard<std::mutex> one_at_a_time(run_mutex_);
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (state_->given_up) return false;
  state_->call = std::move(call);
  const uint64_t ticket = ++state_->posted;
  state_->changed.notify_all();
  if (state_->changed.wait_for(lock, limit, [&] { return state_->finished >= ticket; })) {
    return true;
  }
  state_->given_up = true;
  return false;
}

bool ServerCalls::given_up() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->given_up;
}

bool ServerCalls::stuck() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->given_up && state_->finished < state_->posted;
}

void ServerCalls::Resume() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->finished == state_->posted) state_->given_up = false;
}

void ServerCalls::Serve(State& state) {
  std::unique_lock<std::mutex> lock(state.mutex);
  for (;;) {
    state.changed.wait(lock, [&] { return state.stop || state.posted > state.finished; });
    if (state.posted == state.finished) return;
    std::function<void()> call = std::move(state.call);
    lock.unlock();
    call();
    call = nullptr;
    lock.lock();
    state.finished = state.posted;
    state.changed.notify_all();
  }
}

Muting::Muting() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (depth_++ == 0) {
    saved_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      dup2(null, 2);
      close(null);
    }
  }
}

void Muting::End() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) return;
  ended_ = true;
  if (--depth_ == 0 && saved_ >= 0) {
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
}

}  // namespace tamblet::midi::jack
