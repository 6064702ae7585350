// SPDX-License-Identifier: MIT
#include "platform/events/QtDBusEventPort.h"

#include <signal.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVirtualObject>
#include <QMetaObject>

#include <cerrno>

namespace korvid {
namespace {

std::span<const std::uint8_t> Bytes(const QByteArray& array) {
  return {reinterpret_cast<const std::uint8_t*>(array.constData()),
          static_cast<std::size_t>(array.size())};
}

QByteArray ToQByteArray(const std::vector<std::uint8_t>& bytes) {
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

bool ProcessExists(std::uint32_t pid) {
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// The D-Bus errors that mean the target's port is not there (any more).
bool PortMissing(const QString& errorName) {
  return errorName == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
         errorName == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
         errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownObject") ||
         errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface") ||
         errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
         errorName == QLatin1String("org.freedesktop.DBus.Error.Disconnected");
}

}  // namespace

// The exported object: hands each call to the port.
class QtDBusEventPort::Object final : public QDBusVirtualObject {
 public:
  explicit Object(QtDBusEventPort& port) : port_(port) {}

  QString introspect(const QString&) const override {
    return QStringLiteral(
        "<interface name=\"com.korvid.tessel.EventPort\">"
        "<method name=\"Dispatch\">"
        "<arg name=\"event\" type=\"ay\" direction=\"in\"/>"
        "<arg name=\"status\" type=\"i\" direction=\"out\"/>"
        "<arg name=\"reply\" type=\"ay\" direction=\"out\"/>"
        "</method></interface>");
  }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
    if (message.type() != QDBusMessage::MethodCallMessage ||
        message.member() != QLatin1String(kEventPortMethod) ||
        (!message.interface().isEmpty() &&
         message.interface() != QLatin1String(kEventPortInterface))) {
      return false;  // the bus library answers "unknown method"
    }
    port_.HandleCall(message);
    return true;
  }

 private:
  QtDBusEventPort& port_;
};

QDBusConnection QtDBusEventPort::SessionBus() {
  return QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("korvid-event-port"));
}

QtDBusEventPort::QtDBusEventPort(QDBusConnection connection)
    : connection_(std::move(connection)),
      pid_(static_cast<std::uint32_t>(getpid())),
      uid_(static_cast<std::uint32_t>(geteuid())) {}

QtDBusEventPort::~QtDBusEventPort() {
  if (exported_) {
    connection_.unregisterService(BusNameFor(pid_));
    connection_.unregisterObject(QLatin1String(kEventPortPath));
  }
}

QString QtDBusEventPort::BusNameFor(std::uint32_t pid) {
  return QLatin1String(kEventPortNamePrefix) + QString::number(pid);
}

OSStatus QtDBusEventPort::Export() {
  if (exported_) return noErr;
  if (!connection_.isConnected() || !connection_.interface()) return connectionInvalid;
  object_ = std::make_unique<Object>(*this);
  if (!connection_.registerVirtualObject(QLatin1String(kEventPortPath), object_.get())) {
    object_.reset();
    return connectionInvalid;
  }
  const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> registered =
      connection_.interface()->registerService(BusNameFor(pid_),
                                               QDBusConnectionInterface::DontQueueService,
                                               QDBusConnectionInterface::DontAllowReplacement);
  if (!registered.isValid() || registered.value() != QDBusConnectionInterface::ServiceRegistered) {
    connection_.unregisterObject(QLatin1String(kEventPortPath));
    object_.reset();
    return connectionInvalid;
  }
  exported_ = true;
  if (!handlers_.Has(kCoreEventClass, kAEQuitApplication)) {
    handlers_.Install(kCoreEventClass, kAEQuitApplication, [](const AppleEvent&, AppleEvent&) -> OSErr {
      QCoreApplication* application = QCoreApplication::instance();
      if (!application) return static_cast<OSErr>(errAEEventNotHandled);
      // Leaves the main loop once the reply (if any) is on its way.
      QMetaObject::invokeMethod(application, &QCoreApplication::quit, Qt::QueuedConnection);
      return noErr;
    });
  }
  return noErr;
}

OSStatus QtDBusEventPort::InstallEventHandler(AEEventClass eventClass, AEEventID eventID,
                                              AEEventHandler handler) {
  return handlers_.Install(eventClass, eventID, std::move(handler));
}

OSStatus QtDBusEventPort::RemoveEventHandler(AEEventClass eventClass, AEEventID eventID) {
  return handlers_.Remove(eventClass, eventID);
}

bool QtDBusEventPort::SenderAdmitted(const QString& sender) {
  if (sender.isEmpty()) return true;  // a peer-to-peer connection: no bus in between
  const auto known = admitted_.find(sender);
  if (known != admitted_.end()) return known->second;
  const QDBusReply<uint> uid = connection_.interface()->serviceUid(sender);
  const bool admitted = uid.isValid() && uid.value() == uid_;
  if (!admitted) {
    // A sender that has already left the bus cannot be vouched for either.
    qWarning("event port: a message from %s refused: %s", qPrintable(sender),
             uid.isValid() ? "another user's" : "its sender is not on the bus");
  }
  admitted_[sender] = admitted;
  return admitted;
}

OSStatus QtDBusEventPort::Deliver(std::span<const std::uint8_t> bytes,
                                  std::vector<std::uint8_t>& replyBytes) {
  AppleEvent event;
  if (const OSStatus status = DecodeAppleEvent(bytes, event); status != noErr) return status;
  event.target = AddressOf({0, pid_});
  AppleEvent reply = MakeReplyFor(event);
  const OSStatus status = handlers_.Dispatch(event, reply);
  replyBytes = EncodeAppleEvent(reply);
  return status;
}

void QtDBusEventPort::HandleCall(const QDBusMessage& message) {
  OSStatus status = noErr;
  std::vector<std::uint8_t> replyBytes;
  const QList<QVariant> arguments = message.arguments();
  if (!SenderAdmitted(message.service())) {
    status = errAEEventNotPermitted;
  } else if (message.signature() != QLatin1String("ay") || arguments.size() != 1) {
    status = errAECorruptData;
  } else {
    const QByteArray bytes = arguments.front().toByteArray();
    status = static_cast<std::size_t>(bytes.size()) > kAEMaxEncodedBytes
                 ? errAECorruptData
                 : Deliver(Bytes(bytes), replyBytes);
  }
  if (message.isReplyRequired()) {
    connection_.send(message.createReply(
        QList<QVariant>{QVariant::fromValue(static_cast<qint32>(status)),
                        QVariant::fromValue(ToQByteArray(replyBytes))}));
  }
}

OSStatus QtDBusEventPort::Resolve(std::uint32_t pid, QString& busName) {
  QDBusConnectionInterface* bus = connection_.interface();
  if (!connection_.isConnected() || !bus) return connectionInvalid;
  // The name carries the pid; the bus vouches for the pid of the connection that owns it,
  // so a name taken by some other process is never trusted.
  const QString name = BusNameFor(pid);
  const QDBusReply<uint> ownerPid = bus->servicePid(name);
  if (!ownerPid.isValid()) return ProcessExists(pid) ? connectionInvalid : procNotFound;
  if (ownerPid.value() != pid) return connectionInvalid;
  busName = name;
  return noErr;
}

OSStatus QtDBusEventPort::SendMessage(const AppleEvent& event, AppleEvent& reply, AESendMode mode,
                                      std::int32_t timeoutTicks) {
  reply = AppleEvent{};
  std::uint32_t pid = 0;
  if (const OSStatus status = SendTarget(event, mode, pid_, pid); status != noErr) return status;
  const AESendMode replyMode = mode & kAEReplyModeMask;
  const std::vector<std::uint8_t> bytes = EncodeAppleEvent(event);

  if (pid == pid_) {
    // To ourselves: straight to the handler, or, without a reply, from the main loop.
    if (!exported_) return connectionInvalid;
    if (replyMode == kAENoReply) {
      // The exported object is the context: the event is dropped if the port goes first.
      QMetaObject::invokeMethod(
          object_.get(),
          [this, bytes] {
            std::vector<std::uint8_t> ignored;
            Deliver(bytes, ignored);
          },
          Qt::QueuedConnection);
      return noErr;
    }
    std::vector<std::uint8_t> replyBytes;
    const OSStatus handlerStatus = Deliver(bytes, replyBytes);
    AppleEvent decoded = MakeReplyFor(event);
    if (!replyBytes.empty()) DecodeAppleEvent(replyBytes, decoded);
    RecordHandlerStatus(handlerStatus, decoded);
    reply = std::move(decoded);
    return noErr;
  }

  QString target;
  if (const OSStatus status = Resolve(pid, target); status != noErr) return status;
  QDBusMessage call = QDBusMessage::createMethodCall(target, QLatin1String(kEventPortPath),
                                                     QLatin1String(kEventPortInterface),
                                                     QLatin1String(kEventPortMethod));
  call.setAutoStartService(false);
  call << ToQByteArray(bytes);

  if (replyMode == kAENoReply) {
    // Queued on the connection with the no-reply flag: never waits for the receiver.
    return connection_.send(call) ? noErr : connectionInvalid;
  }

  const QDBusMessage answer = connection_.call(call, QDBus::Block, TicksToMilliseconds(timeoutTicks));
  if (answer.type() == QDBusMessage::ErrorMessage) {
    const QString name = answer.errorName();
    if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Timeout") ||
        name == QLatin1String("org.freedesktop.DBus.Error.TimedOut")) {
      return errAETimeout;
    }
    return PortMissing(name) ? connectionInvalid : errAEReplyNotValid;
  }
  const QList<QVariant> values = answer.arguments();
  if (answer.type() != QDBusMessage::ReplyMessage || answer.signature() != QLatin1String("iay") ||
      values.size() != 2) {
    return errAEReplyNotValid;
  }
  const OSStatus handlerStatus = values[0].toInt();
  const QByteArray replyBytes = values[1].toByteArray();
  AppleEvent decoded;
  if (replyBytes.isEmpty()) {
    // The receiver refused the event before any handler ran.
    if (handlerStatus == noErr) return errAEReplyNotValid;
    decoded = MakeReplyFor(event);
  } else if (static_cast<std::size_t>(replyBytes.size()) > kAEMaxEncodedBytes ||
             DecodeAppleEvent(Bytes(replyBytes), decoded) != noErr) {
    return errAECorruptData;
  }
  RecordHandlerStatus(handlerStatus, decoded);
  reply = std::move(decoded);
  return noErr;
}

}  // namespace korvid
