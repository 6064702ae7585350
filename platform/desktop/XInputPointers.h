// SPDX-License-Identifier: MIT
// The Tessel's pointers on an X server whose input driver is xf86-input-libinput, through
// XInput 2 device properties (xcb-xinput).
//
// A slave pointer is the Tessel's when its "Device Product ID" (format 32) is
// [kTesselVendorID, kTesselProductID]. It is flat when "libinput Accel Profile Enabled"
// (format 8: adaptive, flat[, custom]) has only its flat item set and "libinput Accel Speed"
// (type FLOAT, format 32) is 0. The server keeps both per device until the device goes.
//
// Every reply is awaited for kDesktopReplyTimeoutMs at most; a server that does not answer
// in time counts as no answer.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/desktop/DesktopPointers.h"
#include "platform/desktop/PointerKeeping.h"

struct xcb_connection_t;

namespace korvid {

// The choices made from property values, without a server.
namespace xinput {

// "Device Product ID" holds exactly [vendor, product].
bool IsTesselProductId(std::span<const std::uint32_t> ids);
// The value of "libinput Accel Profile Enabled" that selects the flat profile: as many
// items as `enabled` has, only the flat one (the second) set. nullopt when `enabled` does
// not have that property's shape (2 or 3 items).
std::optional<std::vector<std::uint8_t>> FlatProfile(std::span<const std::uint8_t> enabled);
// Whether a device with these values runs libinput's flat profile at speed 0.
bool IsFlatAtZero(std::span<const std::uint8_t> enabled, float speed);

}  // namespace xinput

class XInputPointers final : public DesktopPointers {
 public:
  // `display` null means $DISPLAY. `log` receives the keeper's lines (Keep()).
  explicit XInputPointers(const char* display = nullptr, DesktopLog log = {});
  ~XInputPointers() override;
  XInputPointers(const XInputPointers&) = delete;
  XInputPointers& operator=(const XInputPointers&) = delete;

  // Connected to a server that speaks XInput 2.
  bool Connected() const { return connection_ != nullptr; }

  // desktop "X11": flat when every Tessel pointer is, stacked when one is not, unknown when
  // there is none or the server did not answer.
  DesktopPointerState Read() override;
  // X11 has no global setting of ours to change.
  OSStatus SetGlobalProfileFlat() override { return paramErr; }

  // The helper's side, on the Qt main loop: makes every Tessel pointer flat now, each one
  // that comes later as it comes, and each one someone changes back (kMaxFlatAgain times).
  // connectionInvalid without a server.
  OSStatus Keep();

 private:
  struct Property {
    std::uint32_t type = 0;  // 0 (None): the device has no such property
    std::uint8_t format = 0;
    std::uint32_t items = 0;
    std::vector<std::uint8_t> bytes;
  };
  struct DeviceInfo {
    std::uint16_t id = 0;
    std::string name;
  };

  void Disconnect();
  std::optional<std::vector<DeviceInfo>> SlavePointers(std::uint16_t which);
  std::optional<Property> GetProperty(std::uint16_t device, std::uint32_t property);
  PointerState StateOf(std::uint16_t device);
  bool MakeFlat(std::uint16_t device);
  void Consider(const DeviceInfo& device);
  void OnReadable();
  void OnHierarchy(const void* event);
  void OnProperty(const void* event);
  static std::string Describe(const DeviceInfo& device);

  xcb_connection_t* connection_ = nullptr;
  std::uint32_t root_ = 0;
  std::uint8_t xinputOpcode_ = 0;
  std::uint32_t productIdAtom_ = 0;
  std::uint32_t profileAtom_ = 0;
  std::uint32_t speedAtom_ = 0;
  std::uint32_t floatAtom_ = 0;

  DesktopLog log_;
  std::map<std::uint16_t, DeviceInfo> kept_;  // the Tessel pointers being kept flat
  FlatAgainBudget budget_;
  std::unique_ptr<QSocketNotifier> notifier_;
  QObject context_;
};

}  // namespace korvid
