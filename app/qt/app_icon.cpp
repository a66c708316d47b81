#include "app/qt/app_icon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace tamblet {

QIcon AppIcon() {
  QSvgRenderer renderer(QStringLiteral(":/tamblet/tamblet.svg"));
  QIcon icon;
  if (!renderer.isValid()) return icon;  // no icon is no reason to stop
  for (int size : {16, 32, 48}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace tamblet
