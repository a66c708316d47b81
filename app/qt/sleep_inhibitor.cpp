#include "app/qt/sleep_inhibitor.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace tamblet {
namespace {

constexpr int kCallTimeoutMs = 5000;

}  // namespace

SleepInhibitor::SleepInhibitor(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {}

SleepInhibitor::~SleepInhibitor() = default;

void SleepInhibitor::Acquire() {
  if (wanted_) return;
  wanted_ = true;
  const unsigned request = ++request_;
  if (!bus_.isConnected()) return;

  QDBusMessage call =
      QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", "Inhibit");
  call << QStringLiteral("sleep:shutdown") << QStringLiteral("Tamblet")
       << QStringLiteral("Updating firmware") << QStringLiteral("block");
  // Asynchronous: the update must not wait for a slow or absent service.
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, request](QDBusPendingCallWatcher* finished) {
            QDBusPendingReply<QDBusUnixFileDescriptor> reply = *finished;
            finished->deleteLater();
            if (wanted_ && request == request_ && reply.isValid() && reply.value().isValid())
              descriptor_ = reply.value();
            emit AnswerArrived(held());
          });
}

void SleepInhibitor::Release() {
  wanted_ = false;
  // Dropping the last copy closes the descriptor, which ends the inhibition.
  descriptor_ = QDBusUnixFileDescriptor();
}

}  // namespace tamblet
