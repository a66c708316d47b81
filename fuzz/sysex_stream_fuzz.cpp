// Arbitrary bytes, cut into reads of arbitrary sizes, through the SysEx
// reassembler. Every long message must be whole (F0, data below 0x80, F7) and
// fit a receive buffer, and the cuts must not change what comes out.
//
// Input: byte 0 = number of piece sizes k (mod 16), then k sizes (1..256,
// cycled), then the stream.

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "midi/stream/sysex_reassembler.h"

namespace {

using tamblet::midi::stream::MessageSink;
using tamblet::midi::stream::SysExReassembler;

void Check(bool condition) {
  if (!condition) std::abort();
}

struct Event {
  int kind;
  std::vector<uint8_t> bytes;
  uint32_t message;
  bool operator==(const Event&) const = default;
};

class CheckingSink : public MessageSink {
 public:
  void OnSysEx(std::span<const uint8_t> m) override {
    Check(m.size() >= 2 && m.size() <= SysExReassembler::kMaxMessage);
    Check(m.front() == 0xF0 && m.back() == 0xF7);
    for (size_t i = 1; i + 1 < m.size(); ++i) Check(m[i] < 0x80);
    events.push_back({0, {m.begin(), m.end()}, 0});
  }
  void OnSysExError(std::span<const uint8_t> r) override {
    Check(!r.empty() && r.size() <= SysExReassembler::kMaxMessage);
    Check(r.front() == 0xF0);
    for (size_t i = 1; i < r.size(); ++i) Check(r[i] < 0x80);
    events.push_back({1, {r.begin(), r.end()}, 0});
  }
  void OnShort(uint32_t message) override {
    const uint8_t status = message & 0xFF;
    Check(status >= 0x80 && status < 0xF8 && status != 0xF0 && status != 0xF7);
    Check(((message >> 8) & 0x80) == 0 && ((message >> 16) & 0x80) == 0);
    Check((message >> 24) == 0);
    events.push_back({2, {}, message});
  }
  std::vector<Event> events;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t count = data[0] % 16;
  if (size < 1 + count) return 0;
  std::vector<size_t> pieces;
  for (size_t i = 0; i < count; ++i) pieces.push_back(size_t{data[1 + i]} + 1);
  const std::span<const uint8_t> stream(data + 1 + count, size - 1 - count);

  CheckingSink whole;
  SysExReassembler one_read;
  one_read.Feed(stream, whole);

  CheckingSink cut;
  SysExReassembler many_reads;
  size_t done = 0;
  for (size_t piece = 0; done < stream.size(); ++piece) {
    const size_t n =
        pieces.empty() ? 1 : std::min(pieces[piece % pieces.size()], stream.size() - done);
    many_reads.Feed(stream.subspan(done, n), cut);
    done += n;
  }
  Check(whole.events == cut.events);
  return 0;
}
