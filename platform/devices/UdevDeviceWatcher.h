// SPDX-License-Identifier: MIT
// DeviceWatcher over libudev: hidraw nodes of interface 0 of Tessel mice, enumerated at
// start and followed through a udev monitor whose socket is read on the Qt main loop.
#pragma once

#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/devices/DeviceWatcherBase.h"
#include "platform/usb/TesselDevices.h"
#include "platform/usb/UdevTessel.h"

class QSocketNotifier;

namespace korvid {

class UdevDeviceWatcher final : public DeviceWatcherBase {
 public:
  // Opens a found node as OpenTessel does (status, handle, message).
  using Opener = std::function<IOReturn(const TesselNode&, std::unique_ptr<UsbDeviceInterface>&, std::string*)>;

  // Which uevents tell of hot-plug: udevd's (after its rules ran), the kernel's own (on a
  // system without udevd), or udevd's when it runs and else the kernel's.
  enum class Events { Udev, Kernel, Automatic };

  // `opener` opens a found node (OpenTessel by default); a node it refuses with
  // kIOReturnNotPermitted is a refused arrival. `diagnostics` receives, once per watcher,
  // the message of such a refusal.
  // MakeSystemDeviceWatcher() makes one with Events::Automatic.
  explicit UdevDeviceWatcher(Opener opener = {}, std::ostream* diagnostics = nullptr,
                             Events events = Events::Udev);
  ~UdevDeviceWatcher() override;

  IOReturn Start() override;
  std::vector<DeviceArrival> WatchArrivals(ArrivalHandler handler) override;
  void Stop() override;

  // The netlink source of `events`: "udev" or "kernel".
  static const char* EventSource(struct udev* context, Events events);

  // For tests: drains the monitor now instead of waiting for the main loop.
  void ProcessPendingEvents();

 private:
  bool Watching() const override { return started_; }
  bool Reported(DeviceService service) const override;
  std::optional<DeviceArrival> Capture(const TesselNode& node);
  void HandleEvent(udev_device* device);
  void Terminate(const std::string& syspath);

  Opener opener_;
  std::ostream* diagnostics_;
  Events events_;
  bool started_ = false;
  bool permissionReported_ = false;
  udev::UdevPtr udev_;
  udev::MonitorPtr monitor_;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::vector<std::unique_ptr<QSocketNotifier>> retiredNotifiers_;
  int dispatching_ = 0;
  std::map<std::string, DeviceService> attached_;  // hidraw syspath -> service
  std::map<std::string, DeviceService> refused_;   // attached, but not ours to open
};

}  // namespace korvid
