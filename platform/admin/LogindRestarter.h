// SPDX-License-Identifier: MIT
// Restarting through logind on the system bus: org.freedesktop.login1.Manager.Reboot
// with interactive authorisation, so polkit may ask the user to confirm.
#pragma once

#include <QDBusConnection>

#include "platform/admin/PrivilegedRunner.h"

namespace korvid {

class LogindRestarter final : public SystemRestarter {
 public:
  explicit LogindRestarter(QDBusConnection bus = QDBusConnection::systemBus()) : bus_(std::move(bus)) {}
  // Waits for logind's answer (the user may be typing a password meanwhile): polkit checks
  // the caller, so the caller must still be there when it asks. connectionInvalid without
  // a system bus; errAuthorizationDenied when refused.
  OSStatus Restart() override;

 private:
  QDBusConnection bus_;
};

}  // namespace korvid
