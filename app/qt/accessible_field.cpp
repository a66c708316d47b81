#include "app/qt/accessible_field.h"

#include <QAccessibleWidget>
#include <QLabel>

namespace tamblet {
namespace {

constexpr char kFieldProperty[] = "tambletField";

class AccessibleField : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit AccessibleField(QLabel* label)
      : QAccessibleWidget(label, label->property(kFieldProperty).value<QAccessible::Role>()) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  // Read-only, one line, no caret and no selection.
  QString text(int start, int end) const override { return Text().mid(start, end - start); }
  int characterCount() const override { return static_cast<int>(Text().size()); }
  int cursorPosition() const override { return 0; }
  void setCursorPosition(int) override {}
  void selection(int, int* start, int* end) const override { *start = *end = 0; }
  int selectionCount() const override { return 0; }
  void addSelection(int, int) override {}
  void removeSelection(int) override {}
  void setSelection(int, int, int) override {}
  QRect characterRect(int) const override { return {}; }
  int offsetAtPoint(const QPoint&) const override { return -1; }
  void scrollToSubstring(int, int) override {}
  QString attributes(int, int* start, int* end) const override {
    *start = 0;
    *end = characterCount();
    return {};
  }

 private:
  QString Text() const { return static_cast<QLabel*>(widget())->text(); }
};

QAccessibleInterface* FieldFactory(const QString& class_name, QObject* object) {
  if (class_name == QLatin1String("QLabel") && object->property(kFieldProperty).isValid())
    return new AccessibleField(static_cast<QLabel*>(object));
  return nullptr;
}

}  // namespace

void MakeAccessibleField(QLabel* label, QAccessible::Role role) {
  label->setProperty(kFieldProperty, QVariant::fromValue(role));
}

void InstallAccessibleFields() { QAccessible::installFactory(&FieldFactory); }

}  // namespace tamblet
