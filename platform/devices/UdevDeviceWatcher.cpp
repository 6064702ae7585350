// SPDX-License-Identifier: MIT
#include "platform/devices/UdevDeviceWatcher.h"

#include <QSocketNotifier>
#include <cstring>
#include <iostream>

namespace korvid {

const char* UdevDeviceWatcher::EventSource(struct udev* context, Events events) {
  if (events != Events::Automatic) return events == Events::Kernel ? "kernel" : "udev";
  // udevd announces hot-plug once it has made the node and applied its rules. A system
  // without udevd (a minimal system, an initramfs) hears only the kernel's own uevents,
  // sent once devtmpfs has made the node: the watcher then listens to those.
  udev::QueuePtr queue(udev_queue_new(context));
  return queue && udev_queue_get_udev_is_active(queue.get()) != 0 ? "udev" : "kernel";
}

std::unique_ptr<DeviceWatcher> MakeSystemDeviceWatcher() {
  return std::make_unique<UdevDeviceWatcher>(UdevDeviceWatcher::Opener{}, nullptr,
                                             UdevDeviceWatcher::Events::Automatic);
}

UdevDeviceWatcher::UdevDeviceWatcher(Opener opener, std::ostream* diagnostics, Events events)
    : opener_(opener ? std::move(opener) : Opener([](const TesselNode& node, std::unique_ptr<UsbDeviceInterface>& device,
                                                     std::string* message) {
        return OpenTessel(node, device, message);
      })),
      diagnostics_(diagnostics != nullptr ? diagnostics : &std::cerr),
      events_(events) {}

UdevDeviceWatcher::~UdevDeviceWatcher() { Stop(); }

IOReturn UdevDeviceWatcher::Start() {
  if (started_) return kIOReturnSuccess;
  udev_.reset(udev_new());
  if (!udev_) return kIOReturnNoResources;
  started_ = true;
  // Listen before enumerating, so a mouse plugged in meanwhile is not missed; one that
  // is seen twice is reported once.
  monitor_.reset(udev_monitor_new_from_netlink(udev_.get(), EventSource(udev_.get(), events_)));
  if (monitor_ && udev_monitor_filter_add_match_subsystem_devtype(monitor_.get(), "hidraw", nullptr) >= 0 &&
      udev_monitor_enable_receiving(monitor_.get()) >= 0) {
    notifier_ = std::make_unique<QSocketNotifier>(udev_monitor_get_fd(monitor_.get()), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { ProcessPendingEvents(); });
  } else {
    // Without a monitor the mice present at start are still found; hot-plug is not seen.
    monitor_.reset();
  }
  return kIOReturnSuccess;
}

std::vector<DeviceArrival> UdevDeviceWatcher::WatchArrivals(ArrivalHandler handler) {
  std::vector<DeviceArrival> arrivals;
  if (!started_) return arrivals;
  SetArrivalHandler(std::move(handler));
  for (const TesselNode& node : EnumerateTessels()) {
    if (auto arrival = Capture(node)) arrivals.push_back(std::move(*arrival));
  }
  return arrivals;
}

bool UdevDeviceWatcher::Reported(DeviceService service) const {
  for (const auto& entry : attached_) {
    if (entry.second == service) return true;
  }
  return false;
}

void UdevDeviceWatcher::Stop() {
  if (notifier_) notifier_->setEnabled(false);
  // Stopped from a handler while the notifier is delivering: it goes when delivery ends.
  if (dispatching_ > 0 && notifier_) retiredNotifiers_.push_back(std::move(notifier_));
  notifier_.reset();
  monitor_.reset();
  udev_.reset();
  ForgetClients();
  attached_.clear();
  refused_.clear();
  started_ = false;
}

std::optional<DeviceArrival> UdevDeviceWatcher::Capture(const TesselNode& node) {
  if (attached_.count(node.syspath) != 0) return std::nullopt;  // already reported
  std::string error;
  std::unique_ptr<UsbDeviceInterface> device;
  const IOReturn status = opener_(node, device, &error);
  const auto refused = refused_.find(node.syspath);
  if (status != kIOReturnSuccess || !device) {
    // A node that vanished again is no news; a refused one is, once, with the cure.
    if (status != kIOReturnNotPermitted) return std::nullopt;
    if (!permissionReported_) {
      permissionReported_ = true;
      *diagnostics_ << "Korvid Tessel: " << error << '\n' << std::flush;
    }
    if (refused != refused_.end()) return std::nullopt;  // told already
    const DeviceService service = NewService();
    refused_.emplace(node.syspath, service);
    return DeviceArrival{service, nullptr, true};
  }
  // A mouse that was refused keeps its service now that it can be opened.
  DeviceService service = 0;
  if (refused != refused_.end()) {
    service = refused->second;
    refused_.erase(refused);
  } else {
    service = NewService();
  }
  attached_.emplace(node.syspath, service);
  return DeviceArrival{service, std::shared_ptr<UsbDeviceInterface>(std::move(device))};
}

void UdevDeviceWatcher::ProcessPendingEvents() {
  ++dispatching_;
  while (monitor_) {
    udev::DevicePtr device(udev_monitor_receive_device(monitor_.get()));
    if (!device) break;
    HandleEvent(device.get());
  }
  if (--dispatching_ == 0) retiredNotifiers_.clear();
}

void UdevDeviceWatcher::HandleEvent(udev_device* device) {
  const char* action = udev_device_get_action(device);
  const char* syspath = udev_device_get_syspath(device);
  if (action == nullptr || syspath == nullptr) return;
  if (std::strcmp(action, "remove") == 0) {
    Terminate(syspath);
    return;
  }
  // "change" also counts: udev re-triggers the node once the access rule is installed.
  if (std::strcmp(action, "add") != 0 && std::strcmp(action, "change") != 0) return;
  if (attached_.count(syspath) != 0 || !WatchingArrivals()) return;
  const auto node = udev::TesselNodeFromHidraw(device);
  if (!node) return;  // another device, another interface, or already gone
  if (auto arrival = Capture(*node)) ReportArrival(std::move(*arrival));
}

void UdevDeviceWatcher::Terminate(const std::string& syspath) {
  // A refused mouse has no interests: its removal alone is reported.
  if (const auto refused = refused_.find(syspath); refused != refused_.end()) {
    const DeviceService service = refused->second;
    refused_.erase(refused);
    ReportTermination(service);
    return;
  }
  const auto found = attached_.find(syspath);
  if (found == attached_.end()) return;  // never reported: not ours
  const DeviceService service = found->second;
  attached_.erase(found);
  ReportTermination(service);
}

}  // namespace korvid
