// SPDX-License-Identifier: MIT
#include "platform/admin/LogindRestarter.h"

#include <QDBusMessage>

namespace korvid {

namespace {
// Long enough for a password to be typed.
constexpr int kRestartReplyTimeoutMs = 5 * 60 * 1000;
}  // namespace

OSStatus LogindRestarter::Restart() {
  if (!bus_.isConnected()) return connectionInvalid;
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
      QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Reboot"));
  call << true;  // interactive
  call.setInteractiveAuthorizationAllowed(true);
  const QDBusMessage reply = bus_.call(call, QDBus::Block, kRestartReplyTimeoutMs);
  if (reply.type() != QDBusMessage::ErrorMessage) return noErr;
  if (reply.errorName().endsWith(QLatin1String("AccessDenied")) ||
      reply.errorName().endsWith(QLatin1String("InteractiveAuthorizationRequired"))) {
    return errAuthorizationDenied;
  }
  return connectionInvalid;
}

}  // namespace korvid
