// SPDX-License-Identifier: MIT
#include "platform/desktop/SwayPointers.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonValue>

#include <cmath>
#include <cstring>

#include "platform/Identity.h"

namespace korvid {

namespace sway {

namespace {
constexpr char kMagic[] = "i3-ipc";
constexpr qsizetype kMagicSize = sizeof kMagic - 1;
constexpr qsizetype kHeaderSize = kMagicSize + 2 * sizeof(std::uint32_t);
}  // namespace

QByteArray Encode(std::uint32_t type, const QByteArray& payload) {
  const auto length = static_cast<std::uint32_t>(payload.size());
  QByteArray message(kMagic, kMagicSize);
  message.append(reinterpret_cast<const char*>(&length), sizeof length);
  message.append(reinterpret_cast<const char*>(&type), sizeof type);
  message.append(payload);
  return message;
}

std::optional<Message> TakeMessage(QByteArray& buffer, bool& corrupt) {
  corrupt = buffer.size() >= kMagicSize && !buffer.startsWith(QByteArrayView(kMagic, kMagicSize));
  if (corrupt || buffer.size() < kHeaderSize) return std::nullopt;
  std::uint32_t length = 0;
  Message message;
  std::memcpy(&length, buffer.constData() + kMagicSize, sizeof length);
  std::memcpy(&message.type, buffer.constData() + kMagicSize + sizeof length, sizeof message.type);
  if (buffer.size() - kHeaderSize < static_cast<qsizetype>(length)) return std::nullopt;
  message.payload = buffer.mid(kHeaderSize, static_cast<qsizetype>(length));
  buffer.remove(0, kHeaderSize + static_cast<qsizetype>(length));
  return message;
}

QString QuotedArgument(const QString& value) {
  QString quoted = QStringLiteral("\"");
  for (const QChar c : value) {
    if (c == u'\\' || c == u'"') quoted += u'\\';
    quoted += c;
  }
  quoted += u'"';
  return quoted;
}

bool IsTesselPointer(const QJsonObject& input) {
  return input.value(QLatin1String("type")).toString() == QLatin1String("pointer") &&
         input.value(QLatin1String("vendor")).toInt(-1) == kTesselVendorID &&
         input.value(QLatin1String("product")).toInt(-1) == kTesselProductID;
}

bool IsFlatAtZero(const QJsonObject& input) {
  const QJsonObject libinput = input.value(QLatin1String("libinput")).toObject();
  // sway reports libinput's float speed as a double: 0 stays 0.
  return libinput.value(QLatin1String("accel_profile")).toString() == QLatin1String("flat") &&
         libinput.value(QLatin1String("accel_speed")).isDouble() &&
         std::abs(libinput.value(QLatin1String("accel_speed")).toDouble()) < 1e-6;
}

}  // namespace sway

namespace {

// Sends one message and waits for the reply of the same type; nullopt when none came in time.
std::optional<QByteArray> Exchange(QLocalSocket& socket, std::uint32_t type, const QByteArray& payload) {
  if (socket.state() != QLocalSocket::ConnectedState) return std::nullopt;
  const QDeadlineTimer deadline(kDesktopReplyTimeoutMs);
  socket.write(sway::Encode(type, payload));
  while (socket.bytesToWrite() > 0) {
    if (!socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) return std::nullopt;
  }
  QByteArray buffer;
  for (;;) {
    buffer += socket.readAll();
    bool corrupt = false;
    while (auto message = sway::TakeMessage(buffer, corrupt)) {
      if (message->type == type) return message->payload;
    }
    if (corrupt || deadline.hasExpired()) return std::nullopt;
    if (!socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) return std::nullopt;
  }
}

bool Connect(QLocalSocket& socket, const QString& path) {
  socket.connectToServer(path);
  return socket.waitForConnected(kDesktopReplyTimeoutMs);
}

// GET_INPUTS's reply.
std::optional<QJsonArray> InputList(const std::optional<QByteArray>& reply) {
  if (!reply) return std::nullopt;
  const QJsonDocument document = QJsonDocument::fromJson(*reply);
  if (!document.isArray()) return std::nullopt;
  return document.array();
}

std::string Describe(const QJsonObject& input) {
  return "sway input \"" + input.value(QLatin1String("identifier")).toString().toStdString() + "\"";
}

}  // namespace

SwayPointers::SwayPointers(QString socketPath, DesktopLog log) : path_(std::move(socketPath)), log_(std::move(log)) {}

SwayPointers::~SwayPointers() {
  // Closing our own connection is not sway going away.
  if (events_) QObject::disconnect(events_.get(), nullptr, nullptr, nullptr);
}

DesktopPointerState SwayPointers::Read() {
  DesktopPointerState state{"sway", DesktopAcceleration::kUnknown, false};
  // A connection of this call's own: the calling thread has no event loop, and the next
  // call may come from another thread.
  QLocalSocket socket;
  if (!Connect(socket, path_)) return state;
  const auto inputs = InputList(Exchange(socket, sway::kGetInputs, {}));
  if (!inputs) return state;
  bool flat = false;
  bool stacked = false;
  for (const QJsonValue& value : *inputs) {
    const QJsonObject input = value.toObject();
    if (!sway::IsTesselPointer(input)) continue;
    (sway::IsFlatAtZero(input) ? flat : stacked) = true;
  }
  if (stacked) {
    state.acceleration = DesktopAcceleration::kStacked;
  } else if (flat) {
    state.acceleration = DesktopAcceleration::kFlat;
  }
  return state;
}

OSStatus SwayPointers::Keep() {
  if (!events_) {
    // Subscribed before the first look, so that no input comes unseen in between.
    events_ = std::make_unique<QLocalSocket>();
    if (!Connect(*events_, path_)) {
      events_.reset();
      return connectionInvalid;
    }
    QObject::connect(events_.get(), &QLocalSocket::readyRead, events_.get(), [this] { OnEvents(); });
    QObject::connect(events_.get(), &QLocalSocket::disconnected, events_.get(), [this] {
      if (log_) log_("sway's IPC connection closed; its Tessel pointers are no longer kept flat");
    });
    events_->write(sway::Encode(sway::kSubscribe, QByteArrayLiteral(R"(["input"])")));
    events_->flush();
  }
  const auto inputs = CurrentInputs();
  if (!inputs) return connectionInvalid;
  for (const QJsonValue& value : *inputs) {
    const QJsonObject input = value.toObject();
    if (sway::IsTesselPointer(input) && !sway::IsFlatAtZero(input)) MakeFlat(input);
  }
  return noErr;
}

std::optional<QByteArray> SwayPointers::Call(std::uint32_t type, const QByteArray& payload) {
  if (!commands_ || commands_->state() != QLocalSocket::ConnectedState) {
    commands_ = std::make_unique<QLocalSocket>();
    if (!Connect(*commands_, path_)) return std::nullopt;
  }
  auto reply = Exchange(*commands_, type, payload);
  // A reply that comes late must not be taken for the next one's.
  if (!reply) commands_.reset();
  return reply;
}

std::optional<QJsonArray> SwayPointers::CurrentInputs() {
  return InputList(Call(sway::kGetInputs, {}));
}

bool SwayPointers::FlatNow(const QJsonObject& input) {
  const auto inputs = CurrentInputs();
  if (!inputs) return false;
  for (const QJsonValue& value : *inputs) {
    const QJsonObject current = value.toObject();
    if (sway::IsTesselPointer(current) && current.value(QLatin1String("identifier")) == input.value(QLatin1String("identifier"))) {
      return sway::IsFlatAtZero(current);
    }
  }
  return true;  // gone: nothing to do
}

void SwayPointers::MakeFlat(const QJsonObject& input) {
  const QString identifier = input.value(QLatin1String("identifier")).toString();
  for (const char* setting : {"accel_profile flat", "pointer_accel 0"}) {
    const QString command = QStringLiteral("input ") + sway::QuotedArgument(identifier) + u' ' + QLatin1String(setting);
    const auto reply = Call(sway::kRunCommand, command.toUtf8());
    if (!reply) {
      if (log_) log_("sway did not answer `" + command.toStdString() + "`");
      return;
    }
    // One result per command run.
    const QJsonArray results = QJsonDocument::fromJson(*reply).array();
    if (results.isEmpty()) {
      if (log_) log_("sway refused `" + command.toStdString() + "`: no result");
      return;
    }
    for (const QJsonValue& result : results) {
      if (result.toObject().value(QLatin1String("success")).toBool()) continue;
      if (log_) {
        log_("sway refused `" + command.toStdString() +
             "`: " + result.toObject().value(QLatin1String("error")).toString().toStdString());
      }
      return;
    }
  }
  if (log_) log_(NowFlatLine(Describe(input)));
}

void SwayPointers::OnEvents() {
  eventBuffer_ += events_->readAll();
  bool corrupt = false;
  while (auto message = sway::TakeMessage(eventBuffer_, corrupt)) {
    const QJsonObject body = QJsonDocument::fromJson(message->payload).object();
    if (message->type == sway::kSubscribe) {
      if (!body.value(QLatin1String("success")).toBool() && log_) {
        log_("sway refused to report its inputs; Tessel pointers added later are not made flat");
      }
      continue;
    }
    if (message->type != sway::kInputEvent) continue;
    const QJsonObject input = body.value(QLatin1String("input")).toObject();
    if (!sway::IsTesselPointer(input)) continue;
    const QString change = body.value(QLatin1String("change")).toString();
    const std::string key = input.value(QLatin1String("identifier")).toString().toStdString();
    if (change == QLatin1String("removed")) {
      budget_.Forget(key);
    } else if (sway::IsFlatAtZero(input)) {
      continue;
    } else if (change == QLatin1String("added")) {
      MakeFlat(input);
    } else if (change == QLatin1String("libinput_config") && !FlatNow(input) &&
               budget_.Allow(key, Describe(input), log_)) {
      // Each of our own commands comes back here too, the first one half done (flat at
      // the old speed): what counts is how the pointer is now, all our commands run.
      MakeFlat(input);
    }
  }
  if (corrupt) {
    eventBuffer_.clear();
    events_->abort();  // says it is closed
  }
}

}  // namespace korvid
