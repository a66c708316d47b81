#include "base/display.h"

#include <algorithm>

namespace tamblet {

uint32_t BarChange::Message() const {
  switch (kind) {
    case Kind::kRange:
      return PBM_SETRANGE;
    case Kind::kPosition:
      return PBM_SETPOS;
    case Kind::kAdvance:
      return PBM_DELTAPOS;
  }
  return PBM_SETPOS;
}

bool ProgressState::Apply(uint32_t msg, uint32_t wparam, uint32_t lparam) {
  const ProgressState before = *this;
  int64_t wanted = position;
  switch (msg) {
    case PBM_SETRANGE:
      min = static_cast<int>(lparam & 0xFFFFu);
      max = static_cast<int>(lparam >> 16);
      break;
    case PBM_SETPOS:
      wanted = static_cast<int32_t>(wparam);
      break;
    case PBM_DELTAPOS:
      wanted += static_cast<int32_t>(wparam);
      break;
    default:
      return false;
  }
  position = static_cast<int>(std::clamp<int64_t>(wanted, min, std::max(min, max)));
  return !(before == *this);
}

}  // namespace tamblet
