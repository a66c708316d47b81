#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "midi/system/composite_midi_layer.h"

namespace tamblet::midi {
namespace {

TEST(CompositeIndexMapping, Table) {
  const struct {
    std::vector<uint32_t> counts;
    uint32_t index;
    std::optional<LocalIndex> expected;
  } cases[] = {
      {{2, 3}, 0, LocalIndex{0, 0}},
      {{2, 3}, 1, LocalIndex{0, 1}},
      {{2, 3}, 2, LocalIndex{1, 0}},
      {{2, 3}, 4, LocalIndex{1, 2}},
      {{2, 3}, 5, std::nullopt},
      {{0, 2}, 0, LocalIndex{1, 0}},
      {{2, 0, 1}, 2, LocalIndex{2, 0}},
      {{0, 0}, 0, std::nullopt},
      {{}, 0, std::nullopt},
      {{3}, 0xFFFFFFFF, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MapGlobalIndex(c.counts, c.index), c.expected) << c.index;
  }
}

void Noop(PortHandle, uint32_t, uintptr_t, uintptr_t, uintptr_t) {}

// A layer with named ports that records which calls reach it.
class FakeLayer : public MidiLayer {
 public:
  FakeLayer(std::string tag, uint32_t outs, uint32_t ins, uintptr_t first_handle)
      : tag_(std::move(tag)), outs_(outs), ins_(ins), next_handle_(first_handle) {}

  std::vector<std::string> calls;

  uint32_t OutGetNumDevs() override { return outs_; }
  uint32_t InGetNumDevs() override { return ins_; }
  MMRESULT OutGetDevCaps(uint32_t index, MidiCaps* caps) override {
    return Caps("out", index, outs_, caps);
  }
  MMRESULT InGetDevCaps(uint32_t index, MidiCaps* caps) override {
    return Caps("in", index, ins_, caps);
  }
  MMRESULT OutOpen(PortHandle* port, uint32_t index, MidiCallback, uintptr_t instance) override {
    return Opened("OutOpen", port, index, instance);
  }
  MMRESULT InOpen(PortHandle* port, uint32_t index, MidiCallback, uintptr_t instance) override {
    return Opened("InOpen", port, index, instance);
  }
  MMRESULT OutPrepareHeader(PortHandle p, MIDIHDR*) override { return Note("OutPrepare", p); }
  MMRESULT OutUnprepareHeader(PortHandle p, MIDIHDR*) override { return Note("OutUnprepare", p); }
  MMRESULT OutLongMsg(PortHandle p, MIDIHDR*) override { return Note("OutLongMsg", p); }
  MMRESULT OutReset(PortHandle p) override { return Note("OutReset", p); }
  MMRESULT OutClose(PortHandle p) override { return Note("OutClose", p); }
  MMRESULT InPrepareHeader(PortHandle p, MIDIHDR*) override { return Note("InPrepare", p); }
  MMRESULT InUnprepareHeader(PortHandle p, MIDIHDR*) override { return Note("InUnprepare", p); }
  MMRESULT InAddBuffer(PortHandle p, MIDIHDR*) override { return Note("InAddBuffer", p); }
  MMRESULT InStart(PortHandle p) override { return Note("InStart", p); }
  MMRESULT InStop(PortHandle p) override { return Note("InStop", p); }
  MMRESULT InReset(PortHandle p) override { return Note("InReset", p); }
  MMRESULT InClose(PortHandle p) override { return Note("InClose", p); }

 private:
  MMRESULT Caps(const char* dir, uint32_t index, uint32_t count, MidiCaps* caps) {
    if (index >= count) return MMSYSERR_BADDEVICEID;
    const std::string name = tag_ + " " + dir + " " + std::to_string(index);
    *caps = MidiCaps{};
    caps->wPid = static_cast<uint16_t>(index);
    std::memcpy(caps->szPname, name.data(), name.size());
    return MMSYSERR_NOERROR;
  }
  MMRESULT Opened(const char* call, PortHandle* port, uint32_t index, uintptr_t instance) {
    *port = reinterpret_cast<PortHandle>(next_handle_++);
    calls.push_back(std::string(call) + " " + std::to_string(index) + " instance " +
                    std::to_string(instance));
    return MMSYSERR_NOERROR;
  }
  MMRESULT Note(const char* call, PortHandle port) {
    calls.push_back(std::string(call) + " " + std::to_string(reinterpret_cast<uintptr_t>(port)));
    return MMSYSERR_NOERROR;
  }

  std::string tag_;
  uint32_t outs_, ins_;
  uintptr_t next_handle_;
};

struct Composite {
  FakeLayer* a;
  FakeLayer* b;
  std::unique_ptr<CompositeMidiLayer> layer;
};

Composite MakeComposite(uintptr_t b_first_handle = 200) {
  auto a = std::make_unique<FakeLayer>("A", 2, 1, 100);
  auto b = std::make_unique<FakeLayer>("B", 1, 3, b_first_handle);
  Composite c{a.get(), b.get(), nullptr};
  std::vector<std::unique_ptr<MidiLayer>> layers;
  layers.push_back(std::move(a));
  layers.push_back(std::move(b));
  c.layer = std::make_unique<CompositeMidiLayer>(std::move(layers));
  return c;
}

TEST(CompositeMidiLayer, ListsEveryLayersPortsInOrder) {
  Composite c = MakeComposite();
  ASSERT_EQ(c.layer->OutGetNumDevs(), 3u);
  ASSERT_EQ(c.layer->InGetNumDevs(), 4u);
  const char* outs[] = {"A out 0", "A out 1", "B out 0"};
  for (uint32_t i = 0; i < 3; ++i) {
    MidiCaps caps;
    ASSERT_EQ(c.layer->OutGetDevCaps(i, &caps), MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.szPname, outs[i]);
  }
  const char* ins[] = {"A in 0", "B in 0", "B in 1", "B in 2"};
  for (uint32_t i = 0; i < 4; ++i) {
    MidiCaps caps;
    ASSERT_EQ(c.layer->InGetDevCaps(i, &caps), MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.szPname, ins[i]);
  }
  MidiCaps caps;
  EXPECT_EQ(c.layer->OutGetDevCaps(3, &caps), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(c.layer->InGetDevCaps(4, &caps), MMSYSERR_BADDEVICEID);
}

TEST(CompositeMidiLayer, ForwardsEveryCallToThePortsOwnLayer) {
  Composite c = MakeComposite();
  PortHandle out = nullptr;
  PortHandle in = nullptr;
  ASSERT_EQ(c.layer->OutOpen(&out, 2, &Noop, 7), MMSYSERR_NOERROR);
  ASSERT_EQ(c.layer->InOpen(&in, 2, &Noop, 8), MMSYSERR_NOERROR);
  // Handles come back unchanged, so callbacks carry what the caller holds.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(out), 200u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(in), 201u);
  MIDIHDR header;
  c.layer->OutPrepareHeader(out, &header);
  c.layer->OutLongMsg(out, &header);
  c.layer->OutReset(out);
  c.layer->OutUnprepareHeader(out, &header);
  c.layer->InPrepareHeader(in, &header);
  c.layer->InAddBuffer(in, &header);
  c.layer->InStart(in);
  c.layer->InStop(in);
  c.layer->InReset(in);
  c.layer->InUnprepareHeader(in, &header);
  EXPECT_EQ(c.layer->OutClose(out), MMSYSERR_NOERROR);
  EXPECT_EQ(c.layer->InClose(in), MMSYSERR_NOERROR);
  EXPECT_TRUE(c.a->calls.empty());
  const std::vector<std::string> expected = {
      "OutOpen 0 instance 7", "InOpen 1 instance 8", "OutPrepare 200", "OutLongMsg 200",
      "OutReset 200",         "OutUnprepare 200",    "InPrepare 201",  "InAddBuffer 201",
      "InStart 201",          "InStop 201",          "InReset 201",    "InUnprepare 201",
      "OutClose 200",         "InClose 201"};
  EXPECT_EQ(c.b->calls, expected);

  // Closed handles, and handles of the other direction, are refused.
  EXPECT_EQ(c.layer->OutLongMsg(out, &header), MMSYSERR_INVALHANDLE);
  PortHandle a_out = nullptr;
  ASSERT_EQ(c.layer->OutOpen(&a_out, 1, &Noop, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(c.a->calls.back(), "OutOpen 1 instance 0");
  EXPECT_EQ(c.layer->InStart(a_out), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(c.layer->OutOpen(&a_out, 3, &Noop, 0), MMSYSERR_BADDEVICEID);
}

TEST(CompositeMidiLayer, RefusesAHandleAnotherLayerAlreadyUses) {
  Composite c = MakeComposite(/*b_first_handle=*/100);  // B hands out A's values
  PortHandle first = nullptr;
  PortHandle second = reinterpret_cast<PortHandle>(1);
  ASSERT_EQ(c.layer->OutOpen(&first, 0, &Noop, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(c.layer->OutOpen(&second, 2, &Noop, 0), MMSYSERR_ERROR);
  EXPECT_EQ(second, reinterpret_cast<PortHandle>(1));
  EXPECT_EQ(c.b->calls, (std::vector<std::string>{"OutOpen 0 instance 0", "OutClose 100"}));
  // The first stays routed to its own layer.
  c.layer->OutReset(first);
  EXPECT_EQ(c.a->calls.back(), "OutReset 100");
}

}  // namespace
}  // namespace tamblet::midi
