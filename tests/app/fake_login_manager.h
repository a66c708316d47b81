#pragma once
// A private message bus with a stand-in for the login manager's Inhibit call,
// so that the sleep inhibition can be checked where no login manager runs.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <vector>

namespace tamblet::test {

class FakeLoginManager : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
 public:
  ~FakeLoginManager() override {
    for (int fd : read_ends_) ::close(fd);
  }
  QStringList last_call;
  int calls = 0;

  // True while some write end handed out by the last call is still open.
  bool LastHeld() const {
    if (read_ends_.empty()) return false;
    pollfd p{read_ends_.back(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;  // POLLHUP once every write end is closed
  }

 public slots:
  QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                  const QString& mode) {
    ++calls;
    last_call = {what, who, why, mode};
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return {};
    read_ends_.push_back(ends[0]);
    QDBusUnixFileDescriptor handed(ends[1]);  // keeps a duplicate
    ::close(ends[1]);
    return handed;
  }

 private:
  std::vector<int> read_ends_;
};

// Starts a bus daemon of its own and serves the fake manager on it.
class PrivateBus {
 public:
  PrivateBus() {
    daemon_.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--session"), QStringLiteral("--nofork"),
                   QStringLiteral("--print-address=1")});
    if (!daemon_.waitForStarted(5000) || !daemon_.waitForReadyRead(5000)) return;
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    QDBusConnection service = QDBusConnection::connectToBus(address_, QStringLiteral("login1"));
    if (!service.isConnected()) return;
    service.registerObject(QStringLiteral("/org/freedesktop/login1"), &manager_,
                           QDBusConnection::ExportAllSlots);
    ok_ = service.registerService(QStringLiteral("org.freedesktop.login1"));
  }
  ~PrivateBus() {
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
    QDBusConnection::disconnectFromBus(QStringLiteral("login1"));
    daemon_.kill();
    daemon_.waitForFinished(5000);
  }
  bool ok() const { return ok_; }
  QDBusConnection Client() {
    return QDBusConnection::connectToBus(address_, QStringLiteral("client"));
  }
  FakeLoginManager& manager() { return manager_; }

 private:
  QProcess daemon_;
  QString address_;
  FakeLoginManager manager_;
  bool ok_ = false;
};

}  // namespace tamblet::test
