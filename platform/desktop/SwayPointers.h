// SPDX-License-Identifier: MIT
// The Tessel's pointers under sway, through its IPC socket ($SWAYSOCK).
//
// Each message is "i3-ipc", the payload's length and the message type (32-bit integers
// in the machine's byte order), then the payload (JSON). GET_INPUTS lists the inputs with
// their "identifier" (vendor:product:name, blanks and unprintable bytes of the name made
// "_"), "type", "vendor", "product" and "libinput" settings; RUN_COMMAND runs
// `input <identifier> accel_profile flat` and `input <identifier> pointer_accel 0`;
// a second connection SUBSCRIBEs to "input" events ("added", "libinput_config", ...).
//
// Every wait is bounded by kDesktopReplyTimeoutMs: Read() runs on a thread without an
// event loop, Keep() on the Qt main loop.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QLocalSocket>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/desktop/DesktopPointers.h"
#include "platform/desktop/PointerKeeping.h"

namespace korvid {

namespace sway {

inline constexpr std::uint32_t kRunCommand = 0;
inline constexpr std::uint32_t kSubscribe = 2;
inline constexpr std::uint32_t kGetInputs = 100;
inline constexpr std::uint32_t kInputEvent = 0x80000015;

struct Message {
  std::uint32_t type = 0;
  QByteArray payload;
};

QByteArray Encode(std::uint32_t type, const QByteArray& payload);
// Takes the first whole message off the front of `buffer`; nullopt while it is not all
// there. A buffer that does not start with the magic sets `corrupt`.
std::optional<Message> TakeMessage(QByteArray& buffer, bool& corrupt);

// `value` as one argument of a sway command: in double quotes, with `\` and `"` escaped,
// so that sway's parser gives back exactly `value`.
QString QuotedArgument(const QString& value);
// An input of GET_INPUTS or of an input event: one of the Tessel's pointers.
bool IsTesselPointer(const QJsonObject& input);
// Its libinput settings are the flat profile at speed 0.
bool IsFlatAtZero(const QJsonObject& input);

}  // namespace sway

class SwayPointers final : public DesktopPointers {
 public:
  // `socketPath` is sway's IPC socket ($SWAYSOCK).
  explicit SwayPointers(QString socketPath, DesktopLog log = {});
  ~SwayPointers() override;
  SwayPointers(const SwayPointers&) = delete;
  SwayPointers& operator=(const SwayPointers&) = delete;

  // desktop "sway", from GET_INPUTS on a connection of its own.
  DesktopPointerState Read() override;
  // sway has no global setting of ours to change.
  OSStatus SetGlobalProfileFlat() override { return paramErr; }

  // The helper's side, on the Qt main loop: makes every Tessel pointer flat now, each one
  // sway adds later, and each one someone changes back (kMaxFlatAgain times).
  // connectionInvalid when sway does not answer.
  OSStatus Keep();

 private:
  // On the keeper's command connection, made again after a failure.
  std::optional<QByteArray> Call(std::uint32_t type, const QByteArray& payload);
  std::optional<QJsonArray> CurrentInputs();
  // Whether the Tessel pointer `input` names is flat at speed 0 now (or gone).
  bool FlatNow(const QJsonObject& input);
  void MakeFlat(const QJsonObject& input);
  void OnEvents();

  QString path_;
  DesktopLog log_;
  std::unique_ptr<QLocalSocket> commands_;
  std::unique_ptr<QLocalSocket> events_;
  QByteArray eventBuffer_;
  FlatAgainBudget budget_;
};

}  // namespace korvid
