#pragma once
// Without a display Qt ends the program with its own lines and an abort. While
// a NoDisplayCheck lives (around the QApplication's construction), that failure
// ends it with one line that points to tamblet-cli, and status 1, instead.

#include <QString>
#include <QtGlobal>
#include <vector>

namespace tamblet {

class NoDisplayCheck {
 public:
  NoDisplayCheck();
  // Qt's messages held back meanwhile reach the usual handler.
  ~NoDisplayCheck();
  NoDisplayCheck(const NoDisplayCheck&) = delete;
  NoDisplayCheck& operator=(const NoDisplayCheck&) = delete;

 private:
  static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& text);

  struct Held {
    QtMsgType type;
    int line;
    const char* file;  // Qt's context strings are literals
    const char* function;
    const char* category;
    QString text;
  };
  static inline QtMessageHandler previous_ = nullptr;
  static inline std::vector<Held> held_;
};

}  // namespace tamblet
