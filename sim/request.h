#pragma once
// Decoding of one request as the device sees it. Deliberately independent of the
// program's encoders, so that a mistake there shows up here as a refusal.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace tamblet::sim {

enum class Command {
  kGetModelName,
  kModeOff,
  kSelectDevice,
  kSetRange,
  kCopy,
  kUninstall,
  kInstall,
  kContinue,
  kVerifySum,
  kWriteData,
  kUnknown,  // not a request of ours: the device ignores it
};

std::string_view CommandName(Command command);
// Exact names as in CommandName ("GetModelName", ...); kUnknown has none.
std::optional<Command> CommandFromName(std::string_view name);

// Command and sub-command bytes of a request kind (kUnknown: 0xFF 0xFF).
uint8_t CommandByte(Command command);
uint8_t SubCommandByte(Command command);

// Largest WriteData payload the device takes in one frame.
inline constexpr uint32_t kDefaultMaxWriteBytes = 2048;

struct Request {
  Command command = Command::kUnknown;
  // nullptr when the request is well formed, else why it is not.
  const char* problem = nullptr;
  uint8_t target = 0;         // SelectDevice
  uint32_t address = 0;       // SetRange start; VerifySum and WriteData address
  uint32_t count = 0;         // SetRange and VerifySum byte count; WriteData length
  uint16_t sum = 0;           // VerifySum
  std::vector<uint8_t> data;  // WriteData, unpacked

  bool well_formed() const { return problem == nullptr; }
};

// The command is known as soon as bytes 5 and 6 name one, even when the rest is
// broken; only then can the device answer with a refusal.
Request DecodeRequest(std::span<const uint8_t> bytes,
                      uint32_t max_write_bytes = kDefaultMaxWriteBytes);

// Inverse of the 7-in-8 packing: `packed` must be exactly n + ceil(n / 7) bytes,
// all below 0x80, with the unused low bits of a short last lead byte clear.
std::optional<std::vector<uint8_t>> Unpack7(std::span<const uint8_t> packed, uint32_t n);

// A fixed-width uppercase hexadecimal field; anything but 0-9 and A-F fails.
std::optional<uint32_t> ReadHexField(std::span<const uint8_t> text);

}  // namespace tamblet::sim
