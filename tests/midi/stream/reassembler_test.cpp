// Bytes from a port rejoined into whole SysEx, short and broken messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "midi/stream/sysex_reassembler.h"
#include "tests/support/sysex_recorder.h"

namespace tamblet::midi::stream {
namespace {

using Bytes = std::vector<uint8_t>;
using test::Feed;
using test::Hex;

TEST(SysExReassembly, Table) {
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
    EXPECT_EQ(Feed(stream), expected) << hex;
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
  EXPECT_EQ(Feed(stream), expected);
}

}  // namespace
}  // namespace tamblet::midi::stream
