#include "app/qt/dialog_units.h"

#include <cstdlib>

namespace tamblet {

int MulDiv(int a, int b, int c) {
  if (c == 0) return -1;
  const int64_t product = static_cast<int64_t>(a) * b;
  const bool negative = (product < 0) != (c < 0);
  const int64_t magnitude = std::llabs(product);
  const int64_t divisor = std::llabs(static_cast<int64_t>(c));
  const int64_t rounded = (magnitude + divisor / 2) / divisor;
  return static_cast<int>(negative ? -rounded : rounded);
}

DialogBaseUnits BaseUnitsFromFont(int width_of_52_letters, int height) {
  // The average over 52 letters, rounded to the nearest pixel.
  return {(width_of_52_letters / 26 + 1) / 2, height};
}

int DialogXToPixels(int x, DialogBaseUnits base) { return MulDiv(x, base.x, 4); }
int DialogYToPixels(int y, DialogBaseUnits base) { return MulDiv(y, base.y, 8); }

PixelRect DialogRectToPixels(int x, int y, int width, int height, DialogBaseUnits base) {
  // Each of the four numbers on its own, as a template's controls are placed.
  return {DialogXToPixels(x, base), DialogYToPixels(y, base), DialogXToPixels(width, base),
          DialogYToPixels(height, base)};
}

}  // namespace tamblet
