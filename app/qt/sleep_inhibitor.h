#pragma once
// Asks the login manager not to suspend or shut down the machine while an
// update runs, by holding the descriptor its Inhibit call hands out. Where no
// such service answers, nothing happens and nothing is shown.

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>

namespace tamblet {

class SleepInhibitor : public QObject {
  Q_OBJECT
 public:
  explicit SleepInhibitor(QDBusConnection bus = QDBusConnection::systemBus(),
                          QObject* parent = nullptr);
  ~SleepInhibitor() override;

  // Asks without waiting; the answer is kept only if Release has not come first.
  void Acquire();
  void Release();
  bool held() const { return descriptor_.isValid(); }

 signals:
  void AnswerArrived(bool held);

 private:
  QDBusConnection bus_;
  QDBusUnixFileDescriptor descriptor_;
  bool wanted_ = false;
  unsigned request_ = 0;  // tells a late answer from the current one
};

}  // namespace tamblet
