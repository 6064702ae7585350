// SPDX-License-Identifier: MIT
#include "platform/desktop/KWinPointers.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QObject>

#include <cmath>
#include <functional>

#include "platform/Identity.h"

namespace korvid {

namespace {

constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";

QString DevicePath(const QString& sysName) {
  return QLatin1String(kKWinDeviceManagerPath) + u'/' + sysName;
}

// org.freedesktop.DBus.Properties.Get; nullopt on an error or no answer in time.
std::optional<QVariant> GetProperty(const QDBusConnection& bus, const QString& path, const char* interface,
                                    const char* property) {
  QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kKWinService), path,
                                                     QLatin1String(kPropertiesInterface), QStringLiteral("Get"));
  call.setArguments({QLatin1String(interface), QLatin1String(property)});
  const QDBusMessage reply = bus.call(call, QDBus::Block, kDesktopReplyTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return std::nullopt;
  return reply.arguments().at(0).value<QDBusVariant>().variant();
}

// Receives KWin's deviceAdded signal (QtDBus delivers signals to slots only).
class DeviceAddedReceiver : public QObject {
  Q_OBJECT

 public:
  explicit DeviceAddedReceiver(std::function<void(const QString&)> added) : added_(std::move(added)) {}

 public Q_SLOTS:
  void OnDeviceAdded(const QString& sysName) { added_(sysName); }

 private:
  std::function<void(const QString&)> added_;
};

}  // namespace

KWinPointers::KWinPointers(QDBusConnection bus, DesktopLog log) : bus_(std::move(bus)), log_(std::move(log)) {}

KWinPointers::~KWinPointers() {
  if (receiver_) {
    bus_.disconnect(QLatin1String(kKWinService), QLatin1String(kKWinDeviceManagerPath),
                    QLatin1String(kKWinDeviceManagerInterface), QStringLiteral("deviceAdded"), receiver_.get(),
                    SLOT(OnDeviceAdded(QString)));
  }
}

bool KWinPointers::Present(const QDBusConnection& bus) {
  return bus.isConnected() && GetProperty(bus, QLatin1String(kKWinDeviceManagerPath), kKWinDeviceManagerInterface,
                                          "devicesSysNames")
                                  .has_value();
}

std::optional<QStringList> KWinPointers::SysNames() {
  const auto value =
      GetProperty(bus_, QLatin1String(kKWinDeviceManagerPath), kKWinDeviceManagerInterface, "devicesSysNames");
  if (!value) return std::nullopt;
  if (value->canConvert<QDBusArgument>()) return qdbus_cast<QStringList>(*value);
  return value->toStringList();
}

std::optional<QVariant> KWinPointers::Get(const QString& sysName, const char* property) {
  return GetProperty(bus_, DevicePath(sysName), kKWinDeviceInterface, property);
}

bool KWinPointers::Set(const QString& sysName, const char* property, const QVariant& value) {
  QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kKWinService), DevicePath(sysName),
                                                     QLatin1String(kPropertiesInterface), QStringLiteral("Set"));
  call.setArguments(
      {QLatin1String(kKWinDeviceInterface), QLatin1String(property), QVariant::fromValue(QDBusVariant(value))});
  return bus_.call(call, QDBus::Block, kDesktopReplyTimeoutMs).type() == QDBusMessage::ReplyMessage;
}

PointerState KWinPointers::StateOf(const QString& sysName) {
  const auto pointer = Get(sysName, "pointer");
  const auto vendor = Get(sysName, "vendor");
  const auto product = Get(sysName, "product");
  if (!pointer || !vendor || !product) return PointerState::kNoAnswer;
  if (!pointer->toBool() || vendor->toUInt() != kTesselVendorID || product->toUInt() != kTesselProductID) {
    return PointerState::kNotOurs;
  }
  const auto flat = Get(sysName, "pointerAccelerationProfileFlat");
  const auto acceleration = Get(sysName, "pointerAcceleration");
  if (!flat || !acceleration) return PointerState::kNoAnswer;
  return flat->toBool() && std::abs(acceleration->toDouble()) < 1e-6 ? PointerState::kFlat : PointerState::kStacked;
}

DesktopPointerState KWinPointers::Read() {
  DesktopPointerState state{"KDE Plasma", DesktopAcceleration::kUnknown, false};
  const auto names = SysNames();
  if (!names) return state;
  std::vector<PointerState> states;
  for (const QString& sysName : *names) states.push_back(StateOf(sysName));
  state.acceleration = CombinePointerStates(states);
  return state;
}

OSStatus KWinPointers::Keep() {
  if (!receiver_) {
    // Listening before the first look, so that no device comes unseen in between.
    receiver_ = std::make_unique<DeviceAddedReceiver>([this](const QString& sysName) { Consider(sysName); });
    if (!bus_.connect(QLatin1String(kKWinService), QLatin1String(kKWinDeviceManagerPath),
                      QLatin1String(kKWinDeviceManagerInterface), QStringLiteral("deviceAdded"), receiver_.get(),
                      SLOT(OnDeviceAdded(QString)))) {
      receiver_.reset();
      return connectionInvalid;
    }
  }
  const auto names = SysNames();
  if (!names) return connectionInvalid;
  for (const QString& sysName : *names) Consider(sysName);
  return noErr;
}

void KWinPointers::Consider(const QString& sysName) {
  if (StateOf(sysName) != PointerState::kStacked) return;
  const auto name = Get(sysName, "name");
  const std::string device = "KWin input device " + sysName.toStdString() + " \"" +
                             (name ? name->toString().toStdString() : std::string()) + "\"";
  // KWin leaves a profile the device does not have as it is: reading back tells.
  Set(sysName, "pointerAccelerationProfileFlat", true);
  Set(sysName, "pointerAcceleration", 0.0);
  if (StateOf(sysName) == PointerState::kFlat) {
    if (log_) log_(NowFlatLine(device));
  } else if (log_) {
    log_("could not make the desktop's acceleration flat on " + device);
  }
}

}  // namespace korvid

#include "KWinPointers.moc"
