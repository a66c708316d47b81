#include "app/qt/about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "app/qt/app_icon.h"
#include "app/qt/dialog_template.h"

namespace tamblet {
namespace {

QLabel* MakeLine(QWidget* parent, const char* text, const TemplateRect& rect, DialogBaseUnits base,
                 const char* name) {
  // Plain text: an ampersand shows as itself, nothing is taken for markup.
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setObjectName(QString::fromLatin1(name));
  const PixelRect px = ToPixels(rect, base);
  label->setGeometry(px.x, px.y, px.width, px.height);
  return label;
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About Tamblet"));
  setWindowIcon(AppIcon());
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setModal(true);
  setFont(DialogFont());
  const DialogBaseUnits base = BaseUnitsOf(font());
  setFixedSize(DialogXToPixels(kAboutDialogWidth, base), DialogYToPixels(kAboutDialogHeight, base));

  // An icon control takes the icon's own size at the template's corner.
  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("icon"));
  icon->setPixmap(AppIcon().pixmap(32, 32));
  icon->setAccessibleName(QStringLiteral("Tamblet"));
  const PixelRect corner = ToPixels(kAboutIconRect, base);
  icon->setGeometry(corner.x, corner.y, 32, 32);

  MakeLine(this, kAboutProgramLine, kAboutProgramRect, base, "programLine");
  MakeLine(this, kAboutLine1, kAboutLine1Rect, base, "line1");
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("ok"));
  ok->setDefault(true);
  const PixelRect ok_px = ToPixels(kAboutOkRect, base);
  ok->setGeometry(ok_px.x, ok_px.y, ok_px.width, ok_px.height);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  MakeLine(this, kAboutLine2, kAboutLine2Rect, base, "line2");
  ok->setFocus();
}

}  // namespace tamblet
