#pragma once
// What the update procedure shows: one status line and one progress bar.
// The progress bar is driven by the three messages of the progress control
// the program was designed for, so that the values stay exactly as sent.

#include <cstdint>

#include "base/load_outcome.h"

namespace tamblet {

inline constexpr uint32_t PBM_SETRANGE = 0x0401;  // wparam 0, lparam = min | max << 16
inline constexpr uint32_t PBM_SETPOS = 0x0402;    // wparam = position
inline constexpr uint32_t PBM_DELTAPOS = 0x0403;  // wparam = increment

// The lparam of PBM_SETRANGE: both ends travel as 16-bit values.
constexpr uint32_t MakeRange(uint32_t min, uint32_t max) {
  return (min & 0xFFFFu) | ((max & 0xFFFFu) << 16);
}

// One change of the progress bar, typed: what the update tells, and what the
// window turns into one of the messages above.
struct BarChange {
  enum class Kind : uint8_t { kRange, kPosition, kAdvance };
  Kind kind = Kind::kPosition;
  uint32_t value = 0;  // the range's maximum (its minimum is 0), the position, the advance
  // Image bytes the device confirmed with this change: a frame written, a piece verified.
  uint32_t bytes = 0;

  static BarChange Range(uint32_t max) { return {Kind::kRange, max, 0}; }
  static BarChange Position(uint32_t position) { return {Kind::kPosition, position, 0}; }
  static BarChange Advance(uint32_t bytes = 0) { return {Kind::kAdvance, 1, bytes}; }
  uint32_t Message() const;
  uint32_t WParam() const { return kind == Kind::kRange ? 0 : value; }
  uint32_t LParam() const { return kind == Kind::kRange ? MakeRange(0, value) : 0; }
  bool operator==(const BarChange&) const = default;
};

// What a progress control holds after the messages above. Like the control the
// program was designed for, it keeps the position inside its range.
struct ProgressState {
  int min = 0;
  int max = 0;
  int position = 0;
  // Applies PBM_SETRANGE / PBM_SETPOS / PBM_DELTAPOS; true when anything changed.
  bool Apply(uint32_t msg, uint32_t wparam, uint32_t lparam);
  bool Apply(const BarChange& change) {
    return Apply(change.Message(), change.WParam(), change.LParam());
  }
  bool operator==(const ProgressState&) const = default;
};

class Display {
 public:
  virtual ~Display() = default;
  // Replaces the whole status line text.
  virtual void SetStatusText(const char* text) = 0;
  virtual void ChangeBar(const BarChange& change) = 0;
};

// What a whole Load drives: the display, and the step it enters, told as the
// step begins and before that step's status text.
class LoadDisplay : public Display {
 public:
  virtual void SetStep(LoadStep step) = 0;
};

}  // namespace tamblet
