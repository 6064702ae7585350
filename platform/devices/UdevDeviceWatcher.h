// SPDX-License-Identifier: MIT
// DeviceWatcher over libudev: hidraw nodes of interface 0 of Tessel mice, enumerated at
// start and followed through a udev monitor whose socket is read on the Qt main loop.
#pragma once

#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/devices/DeviceWatcher.h"
#include "platform/usb/TesselDevices.h"
#include "platform/usb/UdevTessel.h"

class QSocketNotifier;

namespace korvid {

class UdevDeviceWatcher final : public DeviceWatcher {
 public:
  using Opener = std::function<std::unique_ptr<UsbDeviceInterface>(const TesselNode&, std::string*)>;

  // Which uevents tell of hot-plug: udevd's (after its rules ran), the kernel's own (on a
  // system without udevd), or udevd's when it runs and else the kernel's.
  enum class Events { Udev, Kernel, Automatic };

  // `opener` opens a found node (OpenTessel by default). `diagnostics` receives, once per
  // watcher, the reason a mouse's node could not be opened for lack of permission.
  // MakeSystemDeviceWatcher() makes one with Events::Automatic.
  explicit UdevDeviceWatcher(Opener opener = {}, std::ostream* diagnostics = nullptr,
                             Events events = Events::Udev);
  ~UdevDeviceWatcher() override;

  bool Start() override;
  std::vector<DeviceArrival> WatchArrivals(ArrivalHandler handler) override;
  std::vector<DeviceService> WatchRemovals(RemovalHandler handler) override;
  DeviceNotification AddInterest(DeviceService service, InterestHandler handler) override;
  void RemoveInterest(DeviceNotification notification) override;
  void Stop() override;

  // The netlink source of `events`: "udev" or "kernel".
  static const char* EventSource(struct udev* context, Events events);

  // For tests: drains the monitor now instead of waiting for the main loop.
  void ProcessPendingEvents();

 private:
  struct Interest {
    DeviceService service;
    InterestHandler handler;
  };
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
  ArrivalHandler onArrival_;
  RemovalHandler onRemoval_;
  std::map<std::string, DeviceService> attached_;  // hidraw syspath -> service
  std::map<std::string, DeviceService> refused_;   // attached, but not ours to open
  std::map<DeviceNotification, Interest> interests_;
  DeviceService nextService_ = 1;
  DeviceNotification nextNotification_ = 1;
};

}  // namespace korvid
