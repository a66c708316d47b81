#pragma once
// The About box (template 100): the icon, the program line, two lines about the
// program and an OK button, the default one.

#include <QDialog>

namespace tamblet {

inline constexpr char kAboutProgramLine[] = "Tamblet V1.01";
inline constexpr char kAboutLine1[] = "Installs new firmware into USB-MIDI devices.";
inline constexpr char kAboutLine2[] = "Free software by the Tamblet authors.";

class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace tamblet
