#pragma once
// What a byte stream turned into, as text: long message "L<hex>", broken one
// "E<hex>", short one "S<its three bytes>".

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "midi/stream/sysex_reassembler.h"

namespace tamblet::test {

inline std::string Hex(std::span<const uint8_t> bytes) {
  std::string text;
  char digits[3];
  for (uint8_t b : bytes) text += (std::snprintf(digits, sizeof(digits), "%02X", b), digits);
  return text;
}

struct Recorder : midi::stream::MessageSink {
  void OnSysEx(std::span<const uint8_t> m) override { events.push_back("L" + Hex(m)); }
  void OnSysExError(std::span<const uint8_t> r) override { events.push_back("E" + Hex(r)); }
  void OnShort(uint32_t m) override {
    events.push_back("S" + Hex(std::vector<uint8_t>{uint8_t(m), uint8_t(m >> 8), uint8_t(m >> 16)}));
  }
  std::vector<std::string> events;
};

// How reads cut a stream changes nothing: fuzz/sysex_stream_fuzz.cpp feeds
// every input whole and in pieces, so the tables here feed whole streams.
inline std::vector<std::string> Feed(const std::vector<uint8_t>& stream) {
  midi::stream::SysExReassembler reassembler;
  Recorder recorder;
  reassembler.Feed(stream, recorder);
  return recorder.events;
}

}  // namespace tamblet::test
