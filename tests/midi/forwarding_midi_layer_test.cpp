#include "midi/forwarding_midi_layer.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "midi/system/composite_midi_layer.h"

namespace tamblet::midi {
namespace {

MidiCaps g_caps;
MIDIHDR g_header;
void Callback(PortHandle, uint32_t, uintptr_t, uintptr_t, uintptr_t) {}

// Logs every call with its arguments into a shared log and answers with
// `result`. Opens hand out the given handle values. `during` runs once, on a
// thread of its own, inside the next call, as a backend's callback does.
struct Recorder final : MidiLayer {
  Recorder(std::string name, uint32_t ports, uintptr_t out, uintptr_t in, std::string& log)
      : name(name), ports(ports), out(out), in(in), log(log) {}
  std::string name;
  uint32_t ports;
  uintptr_t out, in;
  std::string& log;
  MMRESULT result = MMSYSERR_NOERROR;
  std::function<void()> during;

  MMRESULT Log(const char* call, uintptr_t arg, const void* ptr = nullptr) {
    log += name + " " + call + " " + std::to_string(arg);
    if (ptr) log += ptr == &g_caps || ptr == &g_header ? " ptr" : " other";
    log += ";";
    if (during) std::thread(std::exchange(during, nullptr)).join();
    return result;
  }
  MMRESULT Open(const char* call, PortHandle* port, uintptr_t handle, uint32_t index,
                MidiCallback callback, uintptr_t instance) {
    log += name + " " + call + " " + std::to_string(index) +
           (callback == Callback ? "" : " other") + " instance " + std::to_string(instance) + ";";
    if (result == MMSYSERR_NOERROR) *port = reinterpret_cast<PortHandle>(handle);
    return result;
  }
  static uintptr_t H(PortHandle port) { return reinterpret_cast<uintptr_t>(port); }

  uint32_t OutGetNumDevs() override { return Log("OutGetNumDevs", 0), ports; }
  uint32_t InGetNumDevs() override { return Log("InGetNumDevs", 0), ports; }
  MMRESULT OutGetDevCaps(uint32_t i, MidiCaps* c) override { return Log("OutGetDevCaps", i, c); }
  MMRESULT InGetDevCaps(uint32_t i, MidiCaps* c) override { return Log("InGetDevCaps", i, c); }
  MMRESULT OutOpen(PortHandle* p, uint32_t i, MidiCallback cb, uintptr_t inst) override {
    return Open("OutOpen", p, out, i, cb, inst);
  }
  MMRESULT InOpen(PortHandle* p, uint32_t i, MidiCallback cb, uintptr_t inst) override {
    return Open("InOpen", p, in, i, cb, inst);
  }
  MMRESULT OutPrepareHeader(PortHandle p, MIDIHDR* h) override {
    return Log("OutPrepareHeader", H(p), h);
  }
  MMRESULT OutUnprepareHeader(PortHandle p, MIDIHDR* h) override {
    return Log("OutUnprepareHeader", H(p), h);
  }
  MMRESULT OutLongMsg(PortHandle p, MIDIHDR* h) override { return Log("OutLongMsg", H(p), h); }
  MMRESULT OutReset(PortHandle p) override { return Log("OutReset", H(p)); }
  MMRESULT OutClose(PortHandle p) override { return Log("OutClose", H(p)); }
  MMRESULT InPrepareHeader(PortHandle p, MIDIHDR* h) override {
    return Log("InPrepareHeader", H(p), h);
  }
  MMRESULT InUnprepareHeader(PortHandle p, MIDIHDR* h) override {
    return Log("InUnprepareHeader", H(p), h);
  }
  MMRESULT InAddBuffer(PortHandle p, MIDIHDR* h) override { return Log("InAddBuffer", H(p), h); }
  MMRESULT InStart(PortHandle p) override { return Log("InStart", H(p)); }
  MMRESULT InStop(PortHandle p) override { return Log("InStop", H(p)); }
  MMRESULT InReset(PortHandle p) override { return Log("InReset", H(p)); }
  MMRESULT InClose(PortHandle p) override { return Log("InClose", H(p)); }
  std::optional<PortHolder> OutGetHolder(uint32_t i) override {
    return PortHolder{Log("OutGetHolder", i), ""};
  }
  std::optional<PortHolder> InGetHolder(uint32_t i) override {
    return PortHolder{Log("InGetHolder", i), ""};
  }
  std::optional<std::string> OutGetNonRealTimeServer(uint32_t i) override {
    return std::to_string(Log("OutGetNonRealTimeServer", i));
  }
  std::optional<std::string> InGetNonRealTimeServer(uint32_t i) override {
    return std::to_string(Log("InGetNonRealTimeServer", i));
  }
};

// The operations, by how each is routed (the other handle calls take the same
// route as OutLongMsg and InAddBuffer), on a composite of A (one port a direction), E
// (none) and B (two). B's output and A's input are open, and both handles are
// 16: only the direction tells them apart. The layers answer kR unless told
// otherwise; each call is checked for what it returns (a holder as its pid,
// none as 0) and the log it leaves.
TEST(ForwardingMidiLayer, EveryOperationReachesItsLayerAndReturnsItsResult) {
  constexpr MMRESULT kR = 0x77;  // a result no layer makes up
  std::string log;
  auto a = std::make_unique<Recorder>("A", 1, 32, 16, log);
  auto b = std::make_unique<Recorder>("B", 2, 16, 48, log);
  Recorder *ra = a.get(), *rb = b.get();
  std::vector<std::unique_ptr<MidiLayer>> layers;
  layers.push_back(std::move(a));
  layers.push_back(std::make_unique<Recorder>("E", 0, 0, 0, log));
  layers.push_back(std::move(b));
  CompositeMidiLayer midi(std::move(layers));
  PortHandle out = nullptr, in = nullptr, other = nullptr;
  ASSERT_EQ(midi.OutOpen(&out, 2, Callback, 7), MMSYSERR_NOERROR);
  ASSERT_EQ(midi.InOpen(&in, 0, Callback, 7), MMSYSERR_NOERROR);
  ASSERT_EQ(out, in);
  ra->ports = 3;  // ports A gains later shift nothing: the counts are taken once
  log.clear();
  ra->result = rb->result = kR;
  const auto check = [&](uint32_t returned, uint32_t returns, const std::string& expected) {
    EXPECT_EQ(returned, returns) << expected;
    EXPECT_EQ(log, expected);
    log.clear();
  };

  check(midi.OutGetNumDevs(), 3, "");  // counted once, when opening
  check(midi.InGetNumDevs(), 3, "");
  check(midi.OutGetDevCaps(2, &g_caps), kR, "B OutGetDevCaps 1 ptr;");
  check(midi.InGetDevCaps(0, &g_caps), kR, "A InGetDevCaps 0 ptr;");
  check(midi.OutGetDevCaps(3, &g_caps), MMSYSERR_BADDEVICEID, "");
  check(midi.OutGetHolder(1).value_or(PortHolder{}).pid, kR, "B OutGetHolder 0;");
  check(midi.InGetHolder(2).value_or(PortHolder{}).pid, kR, "B InGetHolder 1;");
  check(midi.InGetHolder(3).value_or(PortHolder{}).pid, 0, "");
  check(std::stoul(midi.OutGetNonRealTimeServer(0).value_or("0")), kR,
        "A OutGetNonRealTimeServer 0;");
  check(std::stoul(midi.InGetNonRealTimeServer(1).value_or("0")), kR,
        "B InGetNonRealTimeServer 0;");
  check(std::stoul(midi.OutGetNonRealTimeServer(3).value_or("0")), 0, "");
  check(midi.InOpen(&other, 2, Callback, 9), kR, "B InOpen 1 instance 9;");
  // B hands out 16 for an output again: refused and closed, not misrouted.
  rb->result = MMSYSERR_NOERROR;
  check(midi.OutOpen(&other, 1, Callback, 9), MMSYSERR_ERROR,
        "B OutOpen 0 instance 9;B OutClose 16;");
  rb->result = kR;
  check(midi.OutLongMsg(out, &g_header), kR, "B OutLongMsg 16 ptr;");
  check(midi.OutReset(out), kR, "B OutReset 16;");
  check(midi.InAddBuffer(in, &g_header), kR, "A InAddBuffer 16 ptr;");
  check(midi.InStart(in), kR, "A InStart 16;");
  // A buffer re-queued from the backend's thread while the reset waits on it.
  ra->during = [&] { midi.InAddBuffer(in, &g_header); };
  check(midi.InReset(in), kR, "A InReset 16;A InAddBuffer 16 ptr;");
  check(midi.OutReset(nullptr), MMSYSERR_INVALHANDLE, "");

  // A close that fails keeps the handle; one that succeeds forgets it, in its
  // direction only.
  check(midi.OutClose(out), kR, "B OutClose 16;");
  rb->result = MMSYSERR_NOERROR;
  check(midi.OutClose(out), MMSYSERR_NOERROR, "B OutClose 16;");
  check(midi.OutLongMsg(out, &g_header), MMSYSERR_INVALHANDLE, "");
  check(midi.InStart(in), kR, "A InStart 16;");
  // The handle stays known while callbacks may still run in the close.
  ra->result = MMSYSERR_NOERROR;
  ra->during = [&] { midi.InAddBuffer(in, &g_header); };
  check(midi.InClose(in), MMSYSERR_NOERROR, "A InClose 16;A InAddBuffer 16 ptr;");
  check(midi.InStart(in), MMSYSERR_INVALHANDLE, "");
}

}  // namespace
}  // namespace tamblet::midi
