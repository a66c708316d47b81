#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "midi/alsa/sysex_reassembler.h"

namespace tamblet::midi::alsa {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(std::span<const uint8_t> bytes) {
  std::string text;
  char digits[3];
  for (uint8_t b : bytes) text += (std::snprintf(digits, sizeof(digits), "%02X", b), digits);
  return text;
}

// Long message "L<hex>", broken one "E<hex>", short one "S<its three bytes>".
struct Recorder : MessageSink {
  void OnSysEx(std::span<const uint8_t> m) override { events.push_back("L" + Hex(m)); }
  void OnSysExError(std::span<const uint8_t> r) override { events.push_back("E" + Hex(r)); }
  void OnShort(uint32_t m) override {
    events.push_back("S" + Hex(Bytes{uint8_t(m), uint8_t(m >> 8), uint8_t(m >> 16)}));
  }
  std::vector<std::string> events;
};

std::vector<std::string> Feed(const Bytes& stream, std::vector<size_t> cuts) {
  SysExReassembler reassembler;
  Recorder recorder;
  size_t from = 0;
  cuts.push_back(stream.size());
  for (size_t cut : cuts) {
    reassembler.Feed(std::span<const uint8_t>(stream).subspan(from, cut - from), recorder);
    from = cut;
  }
  return recorder.events;
}

// Each stream whole, split in two at every position, and byte by byte.
TEST(SysExReassembly, TableWholeSplitAndByteByByte) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      // Whole messages, back to back.
      {"F0 43 50 F7 F0 F7", {"LF04350F7", "LF0F7"}},
      // Noise, a stray F7 and real-time bytes before F0.
      {"01 7F F7 F8 FE F0 01 F7", {"LF001F7"}},
      // Real-time bytes inside.
      {"F0 F8 01 FE FA 02 FF F7", {"LF00102F7"}},
      // Broken by a channel status, then by a new start.
      {"F0 01 02 90 40 7F", {"EF00102", "S90407F"}},
      {"F0 01 F0 02 F7", {"EF001", "LF002F7"}},
      // Running status, with one and two data bytes and real-time inside.
      {"90 40 7F 41 F8 00 C3 05 06", {"S90407F", "S904100", "SC30500", "SC30600"}},
      // System common messages have none; a SysEx and an undefined status end it.
      {"F2 01 02 03 F3 05 06", {"SF20102", "SF30500"}},
      {"90 40 7F F0 F7 41 00 80 40 00 F4 41 00", {"S90407F", "LF0F7", "S804000"}},
  };
  for (const auto& [hex, expected] : cases) {
    Bytes stream;
    for (size_t at = 0; at < hex.size(); at += 3)
      stream.push_back(std::stoi(hex.substr(at, 2), nullptr, 16));
    EXPECT_EQ(Feed(stream, {}), expected) << hex;
    std::vector<size_t> every_byte;
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
      EXPECT_EQ(Feed(stream, {cut}), expected) << hex << ", cut at " << cut;
      if (cut > 0 && cut < stream.size()) every_byte.push_back(cut);
    }
    EXPECT_EQ(Feed(stream, every_byte), expected) << hex << ", byte by byte";
  }
}

// A message of just the buffer's size; one a byte longer, reported once with
// what fitted and the rest dropped up to its end; a far longer one ended by a
// channel message.
TEST(SysExReassembly, BufferSizeIsTheLimit) {
  constexpr size_t kMax = SysExReassembler::kMaxMessage;
  Bytes fits(kMax, 0x11), over(kMax + 1, 0x22), far(3 * kMax, 0x33);
  fits.front() = over.front() = far.front() = 0xF0;
  fits.back() = over.back() = 0xF7;
  Bytes stream = fits;
  for (const Bytes& part : {over, Bytes{0xF0, 0x44, 0xF7}, far, Bytes{0x90, 0x40, 0x7F}}) {
    stream.insert(stream.end(), part.begin(), part.end());
  }
  const auto first = [](const Bytes& b) { return Hex(std::span<const uint8_t>(b).first(kMax)); };
  const std::vector<std::string> expected = {"L" + Hex(fits), "E" + first(over), "LF044F7",
                                             "E" + first(far), "S90407F"};
  EXPECT_EQ(Feed(stream, {}), expected);
  EXPECT_EQ(Feed(stream, {kMax - 1, 2 * kMax - 1, 2 * kMax, 2 * kMax + 1, 4 * kMax}), expected);
}

}  // namespace
}  // namespace tamblet::midi::alsa
