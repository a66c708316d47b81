// The device stage against a recording target: order of requests, texts and
// progress, where each failure stops, and what is never sent after it.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/fast_waits.h"
#include "update/update_sequence.h"

namespace tamblet {
namespace {

struct Recorder : Display {
  std::vector<std::string> log;  // texts and progress, in order
  std::vector<std::string> texts;
  void SetStatusText(const char* text) override {
    texts.push_back(text);
    log.push_back(std::string("text ") + text);
  }
  void SendProgressMessage(uint32_t msg, uint32_t wparam, uint32_t lparam) override {
    if (msg == PBM_SETRANGE) log.push_back("range " + std::to_string(lparam >> 16));
    if (msg == PBM_SETPOS) log.push_back("pos " + std::to_string(wparam));
    if (msg == PBM_DELTAPOS) log.push_back("delta " + std::to_string(wparam));
  }
};

// Answers every call with success unless told to fail the n-th call of a kind.
struct FakeTarget : UpdateTarget {
  std::vector<std::string> calls;
  std::string fail_kind;
  int fail_at = 0;  // 1-based occurrence of fail_kind
  std::string name = "MODEL-X";
  bool open_result = true;

  bool Fails(const std::string& kind) {
    int seen = 0;
    for (const auto& c : calls)
      if (c.rfind(kind, 0) == 0) ++seen;
    return kind == fail_kind && seen == fail_at;
  }
  bool Open(uint32_t out, uint32_t in) override {
    calls.push_back("Open " + std::to_string(out) + " " + std::to_string(in));
    return open_result;
  }
  int32_t GetModelName(char (&out)[kModelNameSize]) override {
    calls.push_back("GetModelName");
    std::memcpy(out, name.data(), std::min<size_t>(name.size() + 1, kModelNameSize));
    return Fails("GetModelName") ? 1 : 0;
  }
  int32_t SelectDevice(uint8_t t) override {
    calls.push_back("SelectDevice " + std::to_string(t));
    return Fails("SelectDevice") ? 1 : 0;
  }
  int32_t RunOperation(uint16_t code, uint32_t start, uint32_t count, uint32_t chunk) override {
    const char* kind = code == 0x0201 ? "Copy" : code == 0x0400 ? "Uninstall" : "Install";
    calls.push_back(std::string(kind) + " " + std::to_string(start) + " " + std::to_string(count) +
                    " " + std::to_string(chunk));
    return Fails(kind) ? 1 : 0;
  }
  int32_t WriteChunk(uint32_t address, const uint8_t* data, uint32_t count) override {
    calls.push_back("WriteChunk " + std::to_string(address) + " " + std::to_string(count) + " " +
                    std::to_string(data[0]));
    return Fails("WriteChunk") ? 1 : 0;
  }
  int32_t VerifySum(uint32_t address, uint32_t count, uint16_t sum) override {
    calls.push_back("VerifySum " + std::to_string(address) + " " + std::to_string(count) + " " +
                    std::to_string(sum));
    return Fails("VerifySum") ? 1 : 0;
  }
  int32_t ModeOff() override {
    calls.push_back("ModeOff");
    return Fails("ModeOff") ? 1 : 0;
  }
};

UpdateHeader Header(uint32_t chunk, uint32_t image_size, Region r0, Region r1) {
  UpdateHeader h;
  std::strcpy(h.model_name, "MODEL-X");
  h.target_select = 3;
  h.chunk_size = chunk;
  h.image_size = image_size;
  h.regions[0] = r0;
  h.regions[1] = r1;
  return h;
}

// Image byte i is i mod 251, so each piece's first byte and sum are known.
std::vector<uint8_t> Image(uint32_t size) {
  std::vector<uint8_t> image(size);
  for (uint32_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i % 251);
  return image;
}

struct StageRun {
  Recorder display;
  FakeTarget target;
  test::FastWaits waits;
  void Go(const UpdateHeader& h, const std::vector<uint8_t>& image, std::optional<uint32_t> out = 2,
          std::optional<uint32_t> in = 1) {
    RunDeviceStage(h, image.data(), out, in, target, display, waits);
  }
};

std::string Sum(const std::vector<uint8_t>& image, uint32_t at, uint32_t n) {
  return std::to_string(Sum16(image.data() + at, n));
}

TEST(DeviceStage, FullRunSendsEveryStepInOrder) {
  const auto image = Image(0x3000);
  StageRun run;
  run.Go(Header(0x800, 0x3000, {0x0, 0x1000}, {0x2000, 0x900}), image);

  const std::vector<std::string> expected = {"Open 2 1",
                                             "GetModelName",
                                             "SelectDevice 3",
                                             "Copy 0 12288 2048",
                                             "WriteChunk 0 2048 0",
                                             "WriteChunk 2048 2048 40",  // 2048 % 251 = 40
                                             "WriteChunk 8192 2048 160",
                                             "WriteChunk 10240 256 200",
                                             "Uninstall 0 4096 2048",
                                             "Uninstall 8192 2304 2048",
                                             "Install 0 4096 2048",
                                             "Install 8192 2304 2048",
                                             "VerifySum 0 2048 " + Sum(image, 0, 2048),
                                             "VerifySum 2048 2048 " + Sum(image, 2048, 2048),
                                             "VerifySum 8192 2048 " + Sum(image, 8192, 2048),
                                             "VerifySum 10240 256 " + Sum(image, 10240, 256),
                                             "ModeOff"};
  EXPECT_EQ(run.target.calls, expected);

  const std::vector<std::string> log = {"range 5",
                                        "pos 0",
                                        "text Device open....",
                                        "pos 1",
                                        "pos 2",
                                        "pos 3",
                                        "pos 4",
                                        "pos 5",
                                        "text Copying....",
                                        "text Loading.... (  0%)",
                                        "text Loading.... ( 50%)",
                                        "text Loading.... (  0%)",
                                        "text Loading.... ( 88%)",
                                        "text Uninstalling....",
                                        "text Installing....",
                                        "text Verifying....",
                                        "range 2",
                                        "pos 0",
                                        "delta 1",
                                        "delta 1",
                                        "range 2",
                                        "pos 0",
                                        "delta 1",
                                        "delta 1",
                                        "text Complete!"};
  EXPECT_EQ(run.display.log, log);
  EXPECT_EQ(run.waits.sleeps(), (std::vector<uint32_t>{1000, 1000, 1000, 1000, 1000}));
}

struct RegionCase {
  const char* name;
  uint32_t chunk;
  Region r0, r1;
  std::vector<std::string> loading;  // Loading texts in order
  std::vector<std::string> verify_ranges;
  int writes;
};

class Regions : public testing::TestWithParam<RegionCase> {};

TEST_P(Regions, PiecesTextsAndVerifyRanges) {
  const RegionCase& c = GetParam();
  const auto image = Image(0x40000);
  StageRun run;
  run.Go(Header(c.chunk, 0x40000, c.r0, c.r1), image);

  std::vector<std::string> loading, ranges;
  for (const auto& t : run.display.texts)
    if (t.rfind("Loading", 0) == 0) loading.push_back(t);
  for (const auto& l : run.display.log)
    if (l.rfind("range", 0) == 0) ranges.push_back(l);
  ranges.erase(ranges.begin());  // the open wait's 0..5
  EXPECT_EQ(loading, c.loading);
  EXPECT_EQ(ranges, c.verify_ranges);
  int writes = 0;
  for (const auto& call : run.target.calls) writes += call.rfind("WriteChunk", 0) == 0;
  EXPECT_EQ(writes, c.writes);
  // The step texts come even when no region is used.
  EXPECT_EQ(std::vector<std::string>(run.display.texts.end() - 4, run.display.texts.end()),
            (std::vector<std::string>{"Uninstalling....", "Installing....", "Verifying....",
                                      "Complete!"}));
}

INSTANTIATE_TEST_SUITE_P(
    DeviceStage, Regions,
    testing::Values(RegionCase{"BothEmpty", 0x1000, {0, 0}, {0x100, 0}, {}, {}, 0},
                    RegionCase{"OnlySecond",
                               0x1000,
                               {0x10, 0},
                               {0x1000, 0x1000},
                               {"Loading.... (  0%)"},
                               {"range 1"},
                               1},
                    RegionCase{"ThreeChunks",
                               0x10000,
                               {0, 0x30000},
                               {0, 0},
                               {"Loading.... (  0%)", "Loading.... ( 33%)", "Loading.... ( 66%)"},
                               {"range 3"},
                               3},
                    RegionCase{"SmallerThanChunk",
                               0x10000,
                               {0x100, 0x80},
                               {0, 0},
                               {"Loading.... (  0%)"},
                               {"range 1"},
                               1},
                    RegionCase{"ChunkPlusOne",
                               0x1000,
                               {0, 0x1001},
                               {0, 0},
                               {"Loading.... (  0%)", "Loading.... ( 99%)"},
                               {"range 2"},
                               2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceStage, OnlySecondRegionIsUninstalledInstalledAndVerified) {
  const auto image = Image(0x4000);
  StageRun run;
  run.Go(Header(0x1000, 0x4000, {0x10, 0}, {0x1000, 0x1000}), image);
  const std::vector<std::string> tail(run.target.calls.begin() + 5, run.target.calls.end());
  EXPECT_EQ(tail,
            (std::vector<std::string>{"Uninstall 4096 4096 4096", "Install 4096 4096 4096",
                                      "VerifySum 4096 4096 " + Sum(image, 4096, 4096), "ModeOff"}));
}

struct FailureCase {
  const char* kind;
  int at;
  const char* text;
  const char* last_call;  // nothing is sent after it
};

class Failures : public testing::TestWithParam<FailureCase> {};

TEST_P(Failures, FirstFailureEndsTheRunWithItsText) {
  const FailureCase& c = GetParam();
  const auto image = Image(0x3000);
  StageRun run;
  run.target.fail_kind = c.kind;
  run.target.fail_at = c.at;
  run.Go(Header(0x800, 0x3000, {0x0, 0x1000}, {0x2000, 0x900}), image);
  EXPECT_EQ(run.display.texts.back(), c.text);
  EXPECT_EQ(run.target.calls.back(), c.last_call);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceStage, Failures,
    testing::Values(FailureCase{"GetModelName", 1, "Get model name failed!!", "GetModelName"},
                    FailureCase{"SelectDevice", 1, "Select Device failed!!", "SelectDevice 3"},
                    FailureCase{"Copy", 1, "Copy failed!!", "Copy 0 12288 2048"},
                    FailureCase{"WriteChunk", 3, "Load failed!!", "WriteChunk 8192 2048 160"},
                    FailureCase{"Uninstall", 1, "Uninstall failed!!", "Uninstall 0 4096 2048"},
                    FailureCase{"Install", 2, "Install failed!!", "Install 8192 2304 2048"},
                    FailureCase{"VerifySum", 2, "Verify error!!", "VerifySum 2048 2048 56772"},
                    FailureCase{"ModeOff", 1, "Mode off error!!", "ModeOff"}),
    [](const auto& info) { return std::string(info.param.kind); });

TEST(DeviceStage, VerifySumIsTheSixteenBitSumOfTheImage) {
  const auto image = Image(0x3000);
  EXPECT_EQ(Sum(image, 2048, 2048), "56772");  // pinned for the failure table above
  std::vector<uint8_t> ff(0x10000, 0xFF);
  EXPECT_EQ(Sum16(ff.data(), 0x10000), static_cast<uint16_t>(0xFF * 0x10000));
  EXPECT_EQ(Sum16(ff.data(), 0x102), static_cast<uint16_t>(0xFF * 0x102));
}

TEST(DeviceStage, PortsNotRecordedOrNotOpenedNeverGoFurther) {
  const auto image = Image(0x1000);
  const UpdateHeader h = Header(0x800, 0x1000, {0, 0x1000}, {0, 0});
  for (int variant = 0; variant < 3; ++variant) {
    StageRun run;
    std::optional<uint32_t> out = 0, in = 0;
    if (variant == 0) out.reset();
    if (variant == 1) in.reset();
    if (variant == 2) run.target.open_result = false;
    run.Go(h, image, out, in);
    EXPECT_EQ(run.display.texts.back(), "Device open failed!!") << variant;
    EXPECT_EQ(run.target.calls.size(), variant == 2 ? 1u : 0u) << variant;
    EXPECT_TRUE(run.waits.sleeps().empty());
  }
}

TEST(DeviceStage, ModelNameMustMatchExactly) {
  struct Case {
    std::string reported;
    bool match;
  };
  const std::vector<Case> cases = {
      {"MODEL-X", true},
      {"model-x", false},
      {"MODEL-X2", false},
      {"MODEL-", false},
      {"", false},
      {std::string("MODEL-X\0junk", 12), true},  // bytes after the NUL do not count
  };
  for (const auto& c : cases) {
    char reported[16] = {}, expected[16] = "MODEL-X";
    std::memcpy(reported, c.reported.data(), std::min<size_t>(c.reported.size(), 16));
    EXPECT_EQ(ModelNamesMatch(reported, expected), c.match) << c.reported;
  }
  // Sixteen bytes with no NUL can never match, not even themselves.
  char full[16], same[16];
  std::memset(full, 'A', 16);
  std::memset(same, 'A', 16);
  EXPECT_FALSE(ModelNamesMatch(full, same));
}

TEST(DeviceStage, ModelMismatchSendsNothingMore) {
  const auto image = Image(0x1000);
  StageRun run;
  run.target.name = "Model-X";
  run.Go(Header(0x800, 0x1000, {0, 0x1000}, {0, 0}), image);
  EXPECT_EQ(run.display.texts.back(), "Compare model name error!!");
  EXPECT_EQ(run.target.calls.back(), "GetModelName");
}

TEST(DeviceStage, LoadingPercentageDoesNotWrapForLargeRegions) {
  struct Case {
    uint32_t size, remaining;
    const char* text;
  };
  const Case cases[] = {
      {196608, 196608, "Loading.... (  0%)"},
      {196608, 131072, "Loading.... ( 33%)"},
      {100, 1, "Loading.... ( 99%)"},
      // (size - remaining) * 100 passes 2^32 here: 32-bit arithmetic would show 2%.
      {0x80000000u, 0x40000000u, "Loading.... ( 50%)"},
      {0xFFFFFFFFu, 1, "Loading.... ( 99%)"},
  };
  for (const auto& c : cases) {
    char text[32];
    FormatLoadingText(text, c.size, c.remaining);
    EXPECT_STREQ(text, c.text) << c.size << " " << c.remaining;
  }
}

}  // namespace
}  // namespace tamblet
