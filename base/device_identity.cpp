#include "base/device_identity.h"

#include <algorithm>

namespace tamblet {
namespace {

constexpr std::string_view kOutputSuffix = " OUT ";
constexpr std::string_view kInputSuffix = " IN ";
// The longer suffix with two digits, in both directions: an IN name leaves a
// byte unused rather than give it to its model and differ from the OUT name.
constexpr size_t kSuffixRoom = kOutputSuffix.size() + 2;

}  // namespace

bool IsDeviceName(std::string_view product, std::string_view long_name) {
  return product.starts_with(kMakerPrefix) || long_name.starts_with(kMakerPrefix);
}

std::string DevicePortName(std::string_view product, PortDirection direction, uint32_t number) {
  if (product.starts_with(kMakerPrefix)) product.remove_prefix(kMakerPrefix.size());
  const std::string digits = std::to_string(number);
  const size_t suffix_room = std::max(kSuffixRoom, kOutputSuffix.size() + digits.size());
  const size_t room = kPortNameBytes - 1 - kMakerPrefix.size() - suffix_room;
  std::string model(product.substr(0, Utf8PrefixLength(product, room)));
  std::replace(model.begin(), model.end(), ' ', '-');
  const std::string_view suffix =
      direction == PortDirection::kOutput ? kOutputSuffix : kInputSuffix;
  return std::string(kMakerPrefix).append(model).append(suffix).append(digits);
}

std::string_view DevicePartOf(std::string_view port_name) {
  return port_name.substr(0, port_name.find(' ', kMakerPrefix.size()));
}

size_t Utf8PrefixLength(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text.size();
  auto byte = [&text](size_t i) { return static_cast<uint8_t>(text[i]); };
  // Back from the first byte left out to the start of its character, if it
  // continues one.
  size_t start = max_bytes;
  while (start > 0 && (byte(start) & 0xC0) == 0x80) --start;
  const uint8_t lead = byte(start);
  const size_t length = lead >= 0xF8   ? 1
                        : lead >= 0xF0 ? 4
                        : lead >= 0xE0 ? 3
                        : lead >= 0xC0 ? 2
                                       : 1;
  return start + length > max_bytes ? start : max_bytes;
}

}  // namespace tamblet
