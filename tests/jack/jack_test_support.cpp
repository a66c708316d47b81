#include "tests/jack/jack_test_support.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace tamblet::test {
namespace {

int RunScript(const std::string& command, const std::string& state) {
  const std::string line =
      std::string("'") + TAMBLET_JACK_SCRIPT + "' " + command + " '" + state + "' >&2";
  return std::system(line.c_str());
}

std::optional<uint32_t> Find(midi::MidiLayer& layer, const std::string& name, bool output) {
  const uint32_t count = output ? layer.OutGetNumDevs() : layer.InGetNumDevs();
  for (uint32_t i = 0; i < count; ++i) {
    midi::MidiCaps caps;
    const auto result = output ? layer.OutGetDevCaps(i, &caps) : layer.InGetDevCaps(i, &caps);
    if (result == midi::MMSYSERR_NOERROR && CapsName(caps) == name) return i;
  }
  return std::nullopt;
}

}  // namespace

std::string SharedServerName() {
  const char* state = std::getenv("TAMBLET_JACK_STATE");
  std::string name;
  if (state != nullptr) {
    std::ifstream file(state);
    file >> name;
  }
  if (name.empty()) {
    ADD_FAILURE() << "no test JACK server: TAMBLET_JACK_STATE does not name a running one";
  }
  return name;
}

std::string UniqueDeviceClient(const std::string& tag) {
  return "QELMAR " + tag + std::to_string(getpid());
}

std::string CapsName(const midi::MidiCaps& caps) {
  return std::string(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
}

std::optional<uint32_t> FindOutput(midi::MidiLayer& layer, const std::string& name) {
  return Find(layer, name, true);
}
std::optional<uint32_t> FindInput(midi::MidiLayer& layer, const std::string& name) {
  return Find(layer, name, false);
}

PrivateServer::PrivateServer() {
  char pattern[] = "/tmp/tamblet-jack-XXXXXX";
  if (mkdtemp(pattern) != nullptr) dir_ = pattern;
}

PrivateServer::~PrivateServer() {
  Stop();
  if (!dir_.empty()) std::filesystem::remove_all(dir_);
}

bool PrivateServer::Start() {
  if (dir_.empty()) return false;
  const std::string state = dir_ + "/state";
  if (RunScript("start", state) != 0) return false;
  std::ifstream file(state);
  file >> name_;
  running_ = !name_.empty();
  return running_;
}

void PrivateServer::Stop() {
  if (!running_) return;
  running_ = false;
  RunScript("stop", dir_ + "/state");
}

DevsimProcess::~DevsimProcess() {
  if (pid_ > 0 && !status_) Stop();
  if (reader_.joinable()) reader_.join();
}

bool DevsimProcess::Start(const std::vector<std::string>& args) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  std::vector<std::string> all = {TAMBLET_DEVSIM};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int spawned = posix_spawn(&pid_, TAMBLET_DEVSIM, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (spawned != 0) {
    close(pipe_fds[0]);
    pid_ = -1;
    return false;
  }
  reader_ = std::thread([this, fd = pipe_fds[0]] { Read(fd); });
  if (WaitForLine("ready:", std::chrono::seconds(10))) return true;
  ADD_FAILURE() << "tamblet-devsim did not get ready";
  return false;
}

void DevsimProcess::Read(int fd) {
  std::string pending;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
      changed_.notify_all();
    }
  }
  close(fd);
}

bool DevsimProcess::WaitForLine(const std::string& part, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    for (const std::string& line : lines_) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  });
}

std::vector<std::string> DevsimProcess::Lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::optional<int> DevsimProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      if (reader_.joinable()) reader_.join();
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int DevsimProcess::Stop() {
  if (pid_ <= 0) return -1;
  if (!status_) kill(pid_, SIGTERM);
  if (auto status = WaitExit(std::chrono::seconds(10))) return *status;
  ADD_FAILURE() << "tamblet-devsim did not end on SIGTERM";
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  status_ = -1;
  if (reader_.joinable()) reader_.join();
  return -1;
}

Watchdog::Watchdog(std::chrono::seconds limit) {
  thread_ = std::thread([this, limit] {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
      std::fprintf(stderr, "test hung for %lld s\n", static_cast<long long>(limit.count()));
      std::_Exit(3);
    }
  });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
  }
  done_.notify_all();
  thread_.join();
}

}  // namespace tamblet::test
