#pragma once
// Requests for the simulated device, built with the program's own encoders.

#include <cstdint>
#include <vector>

#include "protocol/frame.h"

namespace tamblet::test {

inline std::vector<uint8_t> Frame(uint8_t cmd, uint8_t sub, const std::vector<uint8_t>& data = {}) {
  std::vector<uint8_t> frame(data.size() + 9);
  frame[5] = cmd;
  frame[6] = sub;
  std::copy(data.begin(), data.end(), frame.begin() + 7);
  frame.resize(BuildFrame(frame.data(), 0, static_cast<int32_t>(data.size()), false));
  return frame;
}

inline std::vector<uint8_t> SetRange(uint32_t start, uint32_t count) {
  std::vector<uint8_t> data(16);
  PutHex8(data.data(), 0, start);
  PutHex8(data.data(), 8, count);
  return Frame(0x01, 0x02, data);
}

inline std::vector<uint8_t> VerifySum(uint32_t address, uint32_t count, uint16_t sum) {
  std::vector<uint8_t> data(20);
  PutHex8(data.data(), 0, address);
  PutHex8(data.data(), 8, count);
  PutHex4(data.data(), 16, sum);
  return Frame(0x04, 0x02, data);
}

inline std::vector<uint8_t> WriteData(uint32_t address, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> frame(kMaxWriteDataFrame + 64);
  frame.resize(
      BuildWriteData(frame.data(), address, data.data(), static_cast<int32_t>(data.size())));
  return frame;
}

inline std::vector<uint8_t> GetModelName() { return Frame(0x00, 0x02); }
inline std::vector<uint8_t> ModeOff() { return Frame(0x00, 0x01); }
inline std::vector<uint8_t> SelectDevice(uint8_t target) { return Frame(0x01, 0x01, {target}); }
inline std::vector<uint8_t> Copy() { return Frame(0x02, 0x01); }
inline std::vector<uint8_t> Uninstall() { return Frame(0x04, 0x00); }
inline std::vector<uint8_t> Install() { return Frame(0x04, 0x01); }
inline std::vector<uint8_t> Continue() { return Frame(0x05, 0x7F); }

// A reply as the device sends it: head, command, flagged sub-command, the rest, F7.
inline std::vector<uint8_t> ReplyBytes(uint8_t cmd, uint8_t sub, const std::vector<uint8_t>& rest) {
  std::vector<uint8_t> bytes(rest.size() + 8);
  const uint8_t head[] = {0xF0, 0x43, 0x50, 0x03, 0x00, cmd, sub};
  std::copy(std::begin(head), std::end(head), bytes.begin());
  std::copy(rest.begin(), rest.end(), bytes.begin() + 7);
  bytes.back() = 0xF7;
  return bytes;
}

inline std::vector<uint8_t> Ascii(const char* text) {
  std::vector<uint8_t> bytes;
  for (; *text != '\0'; ++text) bytes.push_back(static_cast<uint8_t>(*text));
  return bytes;
}

}  // namespace tamblet::test
