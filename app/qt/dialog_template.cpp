#include "app/qt/dialog_template.h"

#include <QFontDatabase>
#include <QFontMetrics>

namespace tamblet {

QFont DialogFont() {
  constexpr int kPointSize = 9;
  const QString family = QStringLiteral("IPAPGothic");
  QFont font = QFontDatabase::hasFamily(family)
                   ? QFont(family)
                   : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPointSize(kPointSize);
  return font;
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return BaseUnitsFromFont(letters, metrics.height());
}

PixelRect ToPixels(const TemplateRect& rect, DialogBaseUnits base) {
  return DialogRectToPixels(rect.x, rect.y, rect.width, rect.height, base);
}

}  // namespace tamblet
