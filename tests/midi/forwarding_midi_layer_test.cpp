#include "midi/forwarding_midi_layer.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

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
};

// Every operation, in order, on a composite of A (one port a direction) and B
// (two). B's output and A's input are open, and both handles are 16: only the
// direction tells them apart. The layers answer `inner`; the call returns
// `returns` (a holder as its pid, none as 0) after the log `log`.
TEST(ForwardingMidiLayer, EveryOperationReachesItsLayerAndReturnsItsResult) {
  constexpr MMRESULT kR = 0x77;  // a result no layer makes up
  std::string log;
  auto a = std::make_unique<Recorder>("A", 1, 32, 16, log);
  auto b = std::make_unique<Recorder>("B", 2, 16, 48, log);
  Recorder *ra = a.get(), *rb = b.get();
  std::vector<std::unique_ptr<MidiLayer>> layers;
  layers.push_back(std::move(a));
  layers.push_back(std::move(b));
  CompositeMidiLayer midi(std::move(layers));
  PortHandle out = nullptr, in = nullptr, other = nullptr;
  ASSERT_EQ(midi.OutOpen(&out, 2, Callback, 7), MMSYSERR_NOERROR);
  ASSERT_EQ(midi.InOpen(&in, 0, Callback, 7), MMSYSERR_NOERROR);
  ASSERT_EQ(out, in);
  log.clear();

  using Call = std::function<uint32_t(MidiLayer&)>;
  const struct {
    Call call;
    MMRESULT inner;
    const char* log;
    uint32_t returns;
  } cases[] = {
      {[](MidiLayer& m) { return m.OutGetNumDevs(); }, kR, "", 3},  // counted once, when opening
      {[](MidiLayer& m) { return m.InGetNumDevs(); }, kR, "", 3},
      {[](MidiLayer& m) { return m.OutGetDevCaps(2, &g_caps); }, kR, "B OutGetDevCaps 1 ptr;", kR},
      {[](MidiLayer& m) { return m.InGetDevCaps(0, &g_caps); }, kR, "A InGetDevCaps 0 ptr;", kR},
      {[](MidiLayer& m) { return m.OutGetDevCaps(3, &g_caps); }, kR, "", MMSYSERR_BADDEVICEID},
      {[](MidiLayer& m) { return m.OutGetHolder(1).value_or(PortHolder{}).pid; }, kR,
       "B OutGetHolder 0;", kR},
      {[](MidiLayer& m) { return m.InGetHolder(2).value_or(PortHolder{}).pid; }, kR,
       "B InGetHolder 1;", kR},
      {[](MidiLayer& m) { return m.InGetHolder(3).value_or(PortHolder{}).pid; }, kR, "", 0},
      // B hands out 16 for an output again: refused and closed, not misrouted.
      {[&](MidiLayer& m) { return m.OutOpen(&other, 1, Callback, 9); }, MMSYSERR_NOERROR,
       "B OutOpen 0 instance 9;B OutClose 16;", MMSYSERR_ERROR},
      {[&](MidiLayer& m) { return m.InOpen(&other, 2, Callback, 9); }, kR, "B InOpen 1 instance 9;",
       kR},
      {[&](MidiLayer& m) { return m.OutPrepareHeader(out, &g_header); }, kR,
       "B OutPrepareHeader 16 ptr;", kR},
      {[&](MidiLayer& m) { return m.OutUnprepareHeader(out, &g_header); }, kR,
       "B OutUnprepareHeader 16 ptr;", kR},
      {[&](MidiLayer& m) { return m.OutLongMsg(out, &g_header); }, kR, "B OutLongMsg 16 ptr;", kR},
      {[&](MidiLayer& m) { return m.OutReset(out); }, kR, "B OutReset 16;", kR},
      {[&](MidiLayer& m) { return m.InPrepareHeader(in, &g_header); }, kR,
       "A InPrepareHeader 16 ptr;", kR},
      {[&](MidiLayer& m) { return m.InUnprepareHeader(in, &g_header); }, kR,
       "A InUnprepareHeader 16 ptr;", kR},
      {[&](MidiLayer& m) { return m.InAddBuffer(in, &g_header); }, kR, "A InAddBuffer 16 ptr;", kR},
      {[&](MidiLayer& m) { return m.InStart(in); }, kR, "A InStart 16;", kR},
      {[&](MidiLayer& m) { return m.InStop(in); }, kR, "A InStop 16;", kR},
      // A buffer re-queued from the backend's thread while the reset waits on it.
      {[&](MidiLayer& m) {
         ra->during = [&] { m.InAddBuffer(in, &g_header); };
         return m.InReset(in);
       },
       kR, "A InReset 16;A InAddBuffer 16 ptr;", kR},
      {[&](MidiLayer& m) { return m.OutReset(nullptr); }, kR, "", MMSYSERR_INVALHANDLE},
      // A close that fails keeps the handle; one that succeeds forgets it.
      {[&](MidiLayer& m) { return m.OutClose(out); }, kR, "B OutClose 16;", kR},
      {[&](MidiLayer& m) { return m.OutClose(out); }, MMSYSERR_NOERROR, "B OutClose 16;", 0},
      {[&](MidiLayer& m) { return m.OutLongMsg(out, &g_header); }, kR, "", MMSYSERR_INVALHANDLE},
      {[&](MidiLayer& m) { return m.InStart(in); }, kR, "A InStart 16;", kR},
      // The handle stays known while callbacks may still run in the close.
      {[&](MidiLayer& m) {
         ra->during = [&] { m.InAddBuffer(in, &g_header); };
         return m.InClose(in);
       },
       MMSYSERR_NOERROR, "A InClose 16;A InAddBuffer 16 ptr;", 0},
      {[&](MidiLayer& m) { return m.InStart(in); }, kR, "", MMSYSERR_INVALHANDLE},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    ra->result = rb->result = c.inner;
    log.clear();
    EXPECT_EQ(c.call(midi), c.returns) << "case " << i;
    EXPECT_EQ(log, c.log) << "case " << i;
  }
}

}  // namespace
}  // namespace tamblet::midi
