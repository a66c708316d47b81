#include "base/device_identity.h"

#include <algorithm>

namespace tamblet {

bool IsDeviceName(std::string_view product, std::string_view long_name) {
  return product.starts_with(kMakerPrefix) || long_name.starts_with(kMakerPrefix);
}

std::string DevicePortName(std::string_view product, PortDirection direction, uint32_t number) {
  if (product.starts_with(kMakerPrefix)) product.remove_prefix(kMakerPrefix.size());
  const std::string suffix =
      (direction == PortDirection::kOutput ? " OUT " : " IN ") + std::to_string(number);
  const size_t room = kPortNameBytes - 1 - kMakerPrefix.size();
  std::string model(product.substr(0, room > suffix.size() ? room - suffix.size() : 0));
  std::replace(model.begin(), model.end(), ' ', '-');
  return std::string(kMakerPrefix) + model + suffix;
}

}  // namespace tamblet
