#pragma once
// The device's identity, in one place: which cards or clients are the maker's
// device, and the ids and names their ports get so that discovery's acceptance
// rule finds them. Every other port keeps its own name and ids that never match.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tamblet {

inline constexpr std::string_view kMakerPrefix = "QELMAR ";
inline constexpr uint16_t kMakerMid = 37;
inline constexpr uint16_t kDeviceOutputPid = 4;  // the port the program writes to
inline constexpr uint16_t kDeviceInputPid = 5;   // the port it reads from
// A port name's room in a capability record, its NUL included.
inline constexpr size_t kPortNameBytes = 32;

enum class PortDirection { kOutput, kInput };
inline constexpr PortDirection kPortDirections[] = {PortDirection::kOutput, PortDirection::kInput};

// A USB card's short name is its product string and its long name begins with
// the manufacturer string: either may carry the maker's word.
bool IsDeviceName(std::string_view product, std::string_view long_name = {});

// "QELMAR <model> OUT <n>" / "QELMAR <model> IN <n>". The model is the product
// without the maker's word, its spaces made '-' (the acceptance rule reads the
// model up to the first space). It is shortened, on a character boundary, to
// leave room for " OUT 99" whatever the direction, so that every port of one
// device up to number 99 has the same device part ("QELMAR <model>"); a larger
// number shortens it further, alike in both directions. The whole name and
// its NUL fit the record.
std::string DevicePortName(std::string_view product, PortDirection direction, uint32_t number);

// The device part of a port name: up to the first space after the maker's
// word ("QELMAR SIM" of "QELMAR SIM OUT 1").
std::string_view DevicePartOf(std::string_view port_name);

// The length of the longest start of `text` of at most `max_bytes` bytes that
// does not end inside a UTF-8 character. Bytes that are not UTF-8 count as
// characters of their own.
size_t Utf8PrefixLength(std::string_view text, size_t max_bytes);

}  // namespace tamblet
