#include "sim/request.h"

#include <array>

namespace tamblet::sim {
namespace {

struct CommandInfo {
  Command command;
  std::string_view name;
  uint8_t cmd;
  uint8_t sub;
};

constexpr std::array<CommandInfo, 10> kCommands = {{
    {Command::kGetModelName, "GetModelName", 0x00, 0x02},
    {Command::kModeOff, "ModeOff", 0x00, 0x01},
    {Command::kSelectDevice, "SelectDevice", 0x01, 0x01},
    {Command::kSetRange, "SetRange", 0x01, 0x02},
    {Command::kCopy, "Copy", 0x02, 0x01},
    {Command::kUninstall, "Uninstall", 0x04, 0x00},
    {Command::kInstall, "Install", 0x04, 0x01},
    {Command::kContinue, "Continue", 0x05, 0x7F},
    {Command::kVerifySum, "VerifySum", 0x04, 0x02},
    {Command::kWriteData, "WriteData", 0x03, 0x00},
}};

constexpr std::array<uint8_t, 5> kHead = {0xF0, 0x43, 0x50, 0x03, 0x00};
constexpr size_t kDataOffset = 7;
constexpr uint8_t kEnd = 0xF7;

const CommandInfo* Find(Command command) {
  for (const auto& info : kCommands) {
    if (info.command == command) return &info;
  }
  return nullptr;
}

// Data bytes between the head and F7 (the checksum of WriteData included).
size_t FixedDataLength(Command command) {
  switch (command) {
    case Command::kSelectDevice:
      return 1;
    case Command::kSetRange:
      return 16;
    case Command::kVerifySum:
      return 20;
    default:
      return 0;
  }
}

bool Field(std::span<const uint8_t> bytes, size_t offset, size_t width, uint32_t& value) {
  auto parsed = ReadHexField(bytes.subspan(offset, width));
  if (!parsed) return false;
  value = *parsed;
  return true;
}

void DecodeWriteData(std::span<const uint8_t> bytes, uint32_t max_write_bytes, Request& request) {
  // 7-10 length, 11-18 address, packed data, checksum, F7.
  constexpr size_t kPackedOffset = 19;
  if (bytes.size() < kPackedOffset + 2) {
    request.problem = "WriteData frame too short";
    return;
  }
  uint32_t n = 0;
  if (!Field(bytes, 7, 4, n) || !Field(bytes, 11, 8, request.address)) {
    request.problem = "WriteData field is not uppercase hexadecimal";
    return;
  }
  request.count = n;
  const size_t packed_length = n + (n + 6) / 7;
  if (bytes.size() != kPackedOffset + packed_length + 2) {
    request.problem = "WriteData length does not match its length field";
    return;
  }
  if (n > max_write_bytes) {
    request.problem = "WriteData carries more bytes than one frame may";
    return;
  }
  unsigned sum = 0;
  for (size_t i = kDataOffset; i < bytes.size() - 1; ++i) sum += bytes[i];
  if (sum % 128 != 0) {
    request.problem = "WriteData checksum wrong";
    return;
  }
  auto data = Unpack7(bytes.subspan(kPackedOffset, packed_length), n);
  if (!data) {
    request.problem = "WriteData packing broken";
    return;
  }
  request.data = std::move(*data);
}

}  // namespace

std::string_view CommandName(Command command) {
  const CommandInfo* info = Find(command);
  return info ? info->name : std::string_view("Unknown");
}

std::optional<Command> CommandFromName(std::string_view name) {
  for (const auto& info : kCommands) {
    if (info.name == name) return info.command;
  }
  return std::nullopt;
}

uint8_t CommandByte(Command command) {
  const CommandInfo* info = Find(command);
  return info ? info->cmd : 0xFF;
}

uint8_t SubCommandByte(Command command) {
  const CommandInfo* info = Find(command);
  return info ? info->sub : 0xFF;
}

std::optional<uint32_t> ReadHexField(std::span<const uint8_t> text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  uint32_t value = 0;
  for (uint8_t c : text) {
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = (value << 4) | digit;
  }
  return value;
}

std::optional<std::vector<uint8_t>> Unpack7(std::span<const uint8_t> packed, uint32_t n) {
  if (packed.size() != n + (static_cast<size_t>(n) + 6) / 7) return std::nullopt;
  std::vector<uint8_t> out;
  out.reserve(n);
  size_t in = 0;
  while (out.size() < n) {
    const uint8_t lead = packed[in++];
    const size_t group = std::min<size_t>(7, n - out.size());
    if (lead >= 0x80) return std::nullopt;
    // A short group's lead byte was shifted up: its low bits must be zero.
    if ((lead & ((1u << (7 - group)) - 1)) != 0) return std::nullopt;
    for (size_t j = 0; j < group; ++j) {
      const uint8_t low = packed[in++];
      if (low >= 0x80) return std::nullopt;
      const uint8_t top = static_cast<uint8_t>(((lead >> (6 - j)) & 1u) << 7);
      out.push_back(static_cast<uint8_t>(top | low));
    }
  }
  return out;
}

Request DecodeRequest(std::span<const uint8_t> bytes, uint32_t max_write_bytes) {
  Request request;
  if (bytes.size() >= kDataOffset) {
    for (const auto& info : kCommands) {
      if (bytes[5] == info.cmd && bytes[6] == info.sub) request.command = info.command;
    }
  }
  if (request.command == Command::kUnknown) {
    request.problem = "not a known request";
    return request;
  }
  for (size_t i = 0; i < kHead.size(); ++i) {
    if (bytes[i] != kHead[i]) {
      request.problem = "wrong frame head";
      return request;
    }
  }
  if (bytes.back() != kEnd) {
    request.problem = "no F7 at the end";
    return request;
  }
  for (size_t i = 1; i + 1 < bytes.size(); ++i) {
    if (bytes[i] >= 0x80) {
      request.problem = "byte of 0x80 or more inside the frame";
      return request;
    }
  }
  if (request.command == Command::kWriteData) {
    DecodeWriteData(bytes, max_write_bytes, request);
    return request;
  }
  if (bytes.size() != kDataOffset + FixedDataLength(request.command) + 1) {
    request.problem = "wrong frame length";
    return request;
  }
  bool fields_ok = true;
  switch (request.command) {
    case Command::kSelectDevice:
      request.target = bytes[7];
      break;
    case Command::kSetRange:
      fields_ok = Field(bytes, 7, 8, request.address) && Field(bytes, 15, 8, request.count);
      break;
    case Command::kVerifySum: {
      uint32_t sum = 0;
      fields_ok = Field(bytes, 7, 8, request.address) && Field(bytes, 15, 8, request.count) &&
                  Field(bytes, 23, 4, sum);
      request.sum = static_cast<uint16_t>(sum);
      break;
    }
    default:
      break;
  }
  if (!fields_ok) request.problem = "field is not uppercase hexadecimal";
  return request;
}

}  // namespace tamblet::sim
