// SPDX-License-Identifier: MIT
// The event port over the session D-Bus.
//
// A process that receives events exports one object, kEventPortPath, with the method
// Dispatch(ay event) -> (i status, ay reply), and owns the bus name
// "com.korvid.tessel.EventPort.p<pid>". A sender reaches the target pid through that
// name after the bus has confirmed that the name's owner is that very pid, so the
// process addressed is exactly the one reached.
//
// No-reply sends set D-Bus's no-reply flag and return at once; wait-reply sends time out
// after the given ticks. Events arrive on the receiving process's Qt main loop. The
// session bus admits only its own user; the port also refuses any sender whose user
// differs from its own.
#pragma once

#include <QDBusConnection>
#include <QString>

#include <map>
#include <memory>

#include "platform/events/EventPort.h"

namespace korvid {

inline constexpr const char* kEventPortNamePrefix = "com.korvid.tessel.EventPort.p";
inline constexpr const char* kEventPortPath = "/com/korvid/tessel/EventPort";
inline constexpr const char* kEventPortInterface = "com.korvid.tessel.EventPort";
inline constexpr const char* kEventPortMethod = "Dispatch";

class QtDBusEventPort final : public EventPort {
 public:
  explicit QtDBusEventPort(QDBusConnection connection = SessionBus());
  ~QtDBusEventPort() override;
  QtDBusEventPort(const QtDBusEventPort&) = delete;
  QtDBusEventPort& operator=(const QtDBusEventPort&) = delete;

  // The session bus connection ports use. Not QDBusConnection::sessionBus(): made on the
  // main thread, that one holds incoming calls back until the main loop first runs and can
  // then hand them over out of order (the last one first). This named connection delivers
  // every call in the order it was sent; ports of one process share it.
  static QDBusConnection SessionBus();

  // Starts receiving events: exports the object, takes the process's bus name, and
  // installs the standard quit handler (aevt/quit quits the Qt application), which a
  // process may replace. connectionInvalid if the bus is not reachable or the name is
  // taken.
  OSStatus Export();
  bool Exported() const { return exported_; }

  OSStatus InstallEventHandler(AEEventClass eventClass, AEEventID eventID,
                               AEEventHandler handler) override;
  OSStatus RemoveEventHandler(AEEventClass eventClass, AEEventID eventID) override;
  OSStatus SendMessage(const AppleEvent& event, AppleEvent& reply, AESendMode mode,
                       std::int32_t timeoutTicks) override;

  // Whether the process `pid` has its port on this port's bus (the bus vouching for the
  // owner's pid).
  bool Reachable(std::uint32_t pid) {
    QString name;
    return Resolve(pid, name) == noErr;
  }

  // The bus name a process's port owns.
  static QString BusNameFor(std::uint32_t pid);

  // Receives one D-Bus call (used by the exported object).
  void HandleCall(const class QDBusMessage& message);

 private:
  class Object;

  OSStatus Resolve(std::uint32_t pid, QString& busName);
  bool SenderAdmitted(const QString& sender);
  OSStatus Deliver(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& replyBytes);

  QDBusConnection connection_;
  std::unique_ptr<Object> object_;
  bool exported_ = false;
  std::uint32_t pid_;
  std::uint32_t uid_;
  EventHandlerTable handlers_;
  std::map<QString, bool> admitted_;  // unique names are never reused on a bus
};

}  // namespace korvid
