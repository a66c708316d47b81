#pragma once
// Dialog units to pixels, the way dialog templates are laid out: a horizontal
// unit is a quarter of the font's average character width, a vertical unit an
// eighth of its height.

#include <cstdint>

namespace tamblet {

struct DialogBaseUnits {
  int x = 0;  // average character width in pixels
  int y = 0;  // character height in pixels
};

struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const PixelRect&) const = default;
};

// a * b / c rounded to the nearest, halves away from zero; -1 when c is 0.
int MulDiv(int a, int b, int c);

// From the width of "A".."Z" followed by "a".."z" and the font's height.
DialogBaseUnits BaseUnitsFromFont(int width_of_52_letters, int height);

int DialogXToPixels(int x, DialogBaseUnits base);
int DialogYToPixels(int y, DialogBaseUnits base);
PixelRect DialogRectToPixels(int x, int y, int width, int height, DialogBaseUnits base);

}  // namespace tamblet
