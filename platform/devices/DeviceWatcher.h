// SPDX-License-Identifier: MIT
// Watching for attached Tessel mice: arrivals, removals and per-device termination.
//
// The watcher is used in the order the settings pane needs:
//   Start()            opens the facility; a failure status means nothing can be watched;
//   WatchArrivals(h)   returns the mice attached now and arms `h` for later arrivals;
//   WatchRemovals(h)   returns removals pending now and arms `h` for later removals;
//   AddInterest(s,h,n) asks to be told (kIOMessageServiceIsTerminated) when one mouse goes;
//   RemoveInterest(n)  takes one such request back;
//   Stop()             ends watching; nothing more is delivered.
// Everything is delivered on the main loop, never from inside a call to the watcher.
// When a mouse goes away its interest handlers get the termination message first, then
// the removal handler gets the service; its interest registrations then lapse.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/Status.h"
#include "platform/usb/UsbDeviceInterface.h"

namespace korvid {

// One attached mouse as the watcher names it, unique for the watcher's life; never 0.
using DeviceService = std::uint32_t;
// One interest registration; 0 stands for none.
using DeviceNotification = std::uint32_t;

struct DeviceArrival {
  DeviceService service = 0;
  // The mouse's device handle, with its identity; null when it could not be had.
  std::shared_ptr<UsbDeviceInterface> device;
  // No handle because this account may not open the mouse. Its removal is reported with
  // the same service; so is its arrival with a handle once access is granted.
  bool refused = false;
};

class DeviceWatcher {
 public:
  using ArrivalHandler = std::function<void(std::vector<DeviceArrival> arrivals)>;
  using RemovalHandler = std::function<void(std::vector<DeviceService> removals)>;
  using InterestHandler =
      std::function<void(DeviceService service, std::uint32_t messageType, void* argument)>;

  virtual ~DeviceWatcher() = default;

  // kIOReturnSuccess, also when already watching; a failure when mice cannot be watched.
  virtual IOReturn Start() = 0;
  virtual std::vector<DeviceArrival> WatchArrivals(ArrivalHandler handler) = 0;
  virtual std::vector<DeviceService> WatchRemovals(RemovalHandler handler) = 0;
  // Registers `handler` for one mouse into `notification` (nonzero). On failure
  // `notification` is 0: kIOReturnNoDevice when the service is no longer attached (or was
  // never reported with a handle), kIOReturnBadArgument without a handler.
  virtual IOReturn AddInterest(DeviceService service, InterestHandler handler, DeviceNotification& notification) = 0;
  virtual void RemoveInterest(DeviceNotification notification) = 0;
  virtual void Stop() = 0;
};

// The watcher of the real mice of this machine (libudev, hidraw nodes).
std::unique_ptr<DeviceWatcher> MakeSystemDeviceWatcher();

}  // namespace korvid
