// What needs no server: how JACK ports are presented, and a layer that finds
// no server.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "midi/jack/jack_midi.h"
#include "midi/jack/jack_port_names.h"

namespace tamblet {
namespace {

using namespace midi;
namespace fs = std::filesystem;

struct NamingCase {
  std::string client, port, name;
  bool receives;  // a JACK input port: one we write to
  uint16_t mid, pid;
};

// Which names mark the device, and how its model is joined and shortened, is
// the rule tests/midi/alsa/port_naming_test.cpp drives through the rawmidi naming.
TEST(JackPortNames, DeviceClientsGetIdsAndNumberedNamesOthersKeepTheirOwn) {
  const std::vector<NamingCase> cases = {
      {"QELMAR SIM", "in", "QELMAR SIM OUT 1", true, 37, 4},
      {"QELMAR SIM", "out", "QELMAR SIM IN 1", false, 37, 5},
      {"synth", "midi_in", "synth:midi_in", true, 0, 0},
      {"QELMAR SIM", "in2", "QELMAR SIM OUT 2", true, 37, 4},
      {"keyboard", "capture", "keyboard:capture", false, 0, 0},
      {"QELMAR X7", "a", "QELMAR X7 OUT 1", true, 37, 4},  // counted per client
      {"QELMAR SIM", "out2", "QELMAR SIM IN 2", false, 37, 5},
      {" QELMAR SIM", "in", " QELMAR SIM:in", true, 0, 0},  // the prefix only at the start
      {"QELMAR ", "in", "QELMAR  OUT 1", true, 37, 4},
      // The name is cut to its 32 bytes; the JACK name stays whole.
      {"a-very-long-client-name-indeed", "port", "a-very-long-client-name-indeed:p", false, 0, 0},
  };
  std::vector<JackPortInfo> ports;
  for (const NamingCase& c : cases) ports.push_back({c.client, c.port, c.receives});
  const JackEndpoints endpoints = NameJackPorts(ports);
  size_t next[2] = {0, 0};
  for (const NamingCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto& list = c.receives ? endpoints.outputs : endpoints.inputs;
    ASSERT_LT(next[c.receives], list.size());
    const JackEndpoint& got = list[next[c.receives]++];
    EXPECT_EQ(std::string(got.caps.szPname, strnlen(got.caps.szPname, 32)), c.name);
    EXPECT_EQ(got.caps.wMid, c.mid);
    EXPECT_EQ(got.caps.wPid, c.pid);
    EXPECT_EQ(got.jack_name, c.client + ":" + c.port);
  }
  EXPECT_EQ(next[1], endpoints.outputs.size());
  EXPECT_EQ(next[0], endpoints.inputs.size());
}

// Start-up without a server: no ports, no server started, no stall (that fails
// on the test's time-out) and nothing on the terminal, even with /dev/shm
// read-only (in a mount namespace of a child process), where libjack's
// metadata store complains on standard error past libjack's own error hook.
TEST(JackMidiLayer, WithoutAServerThereAreNoPortsAndNoComplaint) {
  // The server libjack would start is the one $HOME/.jackdrc names: here one that leaves a mark.
  const auto home = fs::path(testing::TempDir()) / ("no-server-" + std::to_string(getpid()));
  fs::create_directories(home);
  std::ofstream(home / ".jackdrc") << (home / "jackd").string() << "\n";
  std::ofstream(home / "jackd") << "#!/bin/sh\ntouch \"$0.started\"\n";
  fs::permissions(home / "jackd", fs::perms::owner_all);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipe_fds[0]);
    const bool isolated = unshare(CLONE_NEWNS) == 0 &&
                          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                          mount("none", "/dev/shm", "tmpfs", MS_RDONLY, nullptr) == 0;
    dup2(pipe_fds[1], 2);
    setenv("HOME", home.c_str(), 1);
    auto layer = CreateJackMidiLayer({"tamblet-no-server-" + std::to_string(getpid()), "Tamblet"});
    PortHandle port = nullptr;
    const MidiCallback ignore = [](PortHandle, uint32_t, uintptr_t, uintptr_t, uintptr_t) {};
    const bool none = layer->OutGetNumDevs() + layer->InGetNumDevs() == 0 &&
                      layer->OutOpen(&port, 0, ignore, 0) == MMSYSERR_BADDEVICEID;
    layer.reset();
    _exit(!none ? 1 : isolated ? 0 : 3);
  }
  close(pipe_fds[1]);
  std::string said;
  char buffer[256];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) said.append(buffer, n);
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(said, "");
  EXPECT_FALSE(fs::exists(home / "jackd.started")) << "a server was started";
  fs::remove_all(home);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "no mount namespace: /dev/shm stayed writable";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "ports listed or opened";
}

}  // namespace
}  // namespace tamblet
