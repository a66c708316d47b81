#pragma once
// The two dialog templates: sizes and control places in dialog units, and the
// font they are laid out with.

#include <QFont>

#include "app/qt/dialog_units.h"

namespace tamblet {

struct TemplateRect {
  int x, y, width, height;
};

inline constexpr int kMainDialogWidth = 265;
inline constexpr int kMainDialogHeight = 150;
inline constexpr int kAboutDialogWidth = 217;
inline constexpr int kAboutDialogHeight = 55;

// Main dialog (template 102).
inline constexpr TemplateRect kBrowseRect{207, 54, 50, 14};
inline constexpr TemplateRect kFileNameRect{50, 54, 144, 14};
inline constexpr TemplateRect kLoadRect{171, 127, 86, 16};
inline constexpr TemplateRect kProgressRect{49, 107, 208, 10};
inline constexpr TemplateRect kStatusRect{50, 79, 207, 21};
inline constexpr TemplateRect kInputLabelRect{6, 31, 42, 8};
inline constexpr TemplateRect kFileLabelRect{6, 58, 40, 8};
inline constexpr TemplateRect kStatusLabelRect{6, 85, 40, 8};
inline constexpr TemplateRect kOutputLabelRect{6, 11, 42, 8};
inline constexpr TemplateRect kOutputPortRect{50, 7, 207, 14};
inline constexpr TemplateRect kInputPortRect{50, 28, 207, 14};

// About box (template 100).
inline constexpr TemplateRect kAboutIconRect{11, 17, 20, 20};
inline constexpr TemplateRect kAboutProgramRect{41, 15, 128, 8};
inline constexpr TemplateRect kAboutLine1Rect{41, 27, 169, 8};
inline constexpr TemplateRect kAboutOkRect{178, 7, 32, 14};
inline constexpr TemplateRect kAboutLine2Rect{41, 40, 134, 8};

// 9-point IPAPGothic, or the desktop's usual font at 9 points where it is missing.
QFont DialogFont();
DialogBaseUnits BaseUnitsOf(const QFont& font);
PixelRect ToPixels(const TemplateRect& rect, DialogBaseUnits base);

}  // namespace tamblet
