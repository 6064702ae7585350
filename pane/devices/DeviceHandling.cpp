// SPDX-License-Identifier: MIT
// Device discovery and the captured-device list of the pane controller.
#include <algorithm>

#include "pane/KorvidTesselPane.h"
#include "platform/Identity.h"
#include "protocol/Settings.h"
#include "protocol/Transport.h"

namespace korvid {
namespace {

// The mouse needs a moment after it appears before it takes commands.
constexpr std::uint32_t kSettleMicroseconds = 250000;

// The settings of the mouse, read in the order the record lists them. Stops at the first
// read that fails, with `what` naming it: the getters' zeros are not the mouse's settings.
OSStatus ReadDeviceState(UsbDeviceInterface* device, Sleeper& sleeper, CapturedDeviceState& state, const char*& what) {
  std::uint32_t firmware = 0;
  std::uint32_t polling = 0;
  std::uint32_t steps = 0;
  std::uint32_t wheel = 0;
  std::uint32_t battery = 0;
  OSStatus status = noErr;
  if (what = "firmware version"; (status = KorvidTesselGetFirmwareVersChecked(device, &firmware, sleeper)) != noErr) return status;
  if (what = "polling rate"; (status = KorvidTesselGetPollingRateChecked(device, &polling, sleeper)) != noErr) return status;
  if (what = "sensitivity"; (status = KorvidTesselGetDPIChecked(device, &steps, sleeper)) != noErr) return status;
  if (what = "wheel light"; (status = KorvidTesselGetLedStateChecked(device, kWheelLightBit, &wheel, sleeper)) != noErr) return status;
  if (what = "battery light"; (status = KorvidTesselGetLedStateChecked(device, kBatteryLightBit, &battery, sleeper)) != noErr) return status;
  what = "";
  state.firmwareVers = static_cast<std::uint16_t>(firmware);
  state.pollingRate = static_cast<std::uint16_t>(polling);
  const std::uint8_t stepX = StepsX(steps);
  const std::uint8_t stepY = StepsY(steps);
  state.sensitivityX = static_cast<std::uint16_t>(StepToDpi(stepX));
  state.sensitivityY = static_cast<std::uint16_t>(StepToDpi(stepY));
  state.independentXY = stepX != stepY ? 1 : 0;
  state.lightOnWheel = static_cast<std::uint8_t>(wheel);
  state.lightOnBattery = static_cast<std::uint8_t>(battery);
  state.lightOnDock = 0;
  return noErr;
}

}  // namespace

void KorvidTesselPane::StartHandlingDevices() {
  if (fHandlingDevices) return;
  fHandlingDevices = true;
  if (!fWatcher || fWatcher->Start() != kIOReturnSuccess) return;  // nothing can be watched; the flag stays set
  // The initial walks capture the mice attached now and arm the notifications.
  DeviceAdded(fWatcher->WatchArrivals([this](std::vector<DeviceArrival> arrivals) {
    DeviceAdded(std::move(arrivals));
  }));
  DeviceRemoved(fWatcher->WatchRemovals([this](std::vector<DeviceService> removals) {
    DeviceRemoved(std::move(removals));
  }));
}

void KorvidTesselPane::StopHandlingDevices() {
  if (!fHandlingDevices) return;
  fHandlingDevices = false;
  while (!fCapturedDeviceList.empty()) {
    CapturedDeviceRec& first = fCapturedDeviceList.front();
    if (first.notification != 0 && fWatcher) fWatcher->RemoveInterest(first.notification);
    first.notification = 0;
    fQueues.Cancel(first.device.get());
    fCapturedDeviceList.pop_front();
    if (fCapturedDeviceCount > 0) --fCapturedDeviceCount;
  }
  fRefusedServices.clear();
  fChosenDevice.reset();
  if (fWatcher) fWatcher->Stop();
}

void KorvidTesselPane::DeviceAdded(std::vector<DeviceArrival> arrivals) {
  fAddingDevices = true;
  for (DeviceArrival& arrival : arrivals) {
    std::shared_ptr<UsbDeviceInterface> device = std::move(arrival.device);
    if (!device) {
      // Attached but not ours to open: the display says so and how to fix it.
      if (arrival.refused && arrival.service != 0 &&
          std::find(fRefusedServices.begin(), fRefusedServices.end(), arrival.service) == fRefusedServices.end()) {
        fRefusedServices.push_back(arrival.service);
      }
      continue;  // its handle could not be had
    }
    fRefusedServices.erase(std::remove(fRefusedServices.begin(), fRefusedServices.end(), arrival.service),
                           fRefusedServices.end());
    const std::uint16_t vendor = device->GetDeviceVendor();
    const std::uint16_t product = device->GetDeviceProduct();
    const std::uint16_t release = device->GetDeviceReleaseNumber();
    const std::uint32_t power = device->GetDeviceBusPowerAvailable();
    const std::uint32_t location = device->GetLocationID();
    if (vendor != kTesselVendorID || product != kTesselProductID) continue;

    // A mouse that is already captured keeps its one record and its one registration.
    const bool known = std::any_of(fCapturedDeviceList.begin(), fCapturedDeviceList.end(),
                                   [&](const CapturedDeviceRec& r) {
                                     return r.device == device || (arrival.service != 0 && r.service == arrival.service);
                                   });
    if (known) continue;

    CapturedDeviceRec* record =
        AddCapturedDevice(device, kTesselVendorID, kTesselProductID, release, power * 2, location);
    if (record == nullptr) continue;
    record->service = arrival.service;

    // Told at once when the mouse goes, so that a removal during the capture drops its
    // record and the work still queued for it. The message goes to the controller that
    // holds the record (in the product the one gKorvidTesselPane names); the
    // registration never outlives the record or the pane.
    const IOReturn interest = fWatcher->AddInterest(
        arrival.service,
        [this, record](DeviceService service, std::uint32_t type, void* argument) {
          KorvidTesselMessage(record, service, type, argument);
        },
        record->notification);
    if (interest != kIOReturnSuccess) {
      // The mouse went away already: its termination will never be told.
      RemoveCapturedDevice(device.get());
      continue;
    }

    QueueStateRead(*record, /*justAttached=*/true);
  }
  fAddingDevices = false;
  UpdateUI();
}

void KorvidTesselPane::DeviceRemoved(std::vector<DeviceService> removals) {
  // Walked and released; the interest handler drops the records. A refused mouse has
  // no record: it goes with its removal.
  for (DeviceService service : removals) {
    fRefusedServices.erase(std::remove(fRefusedServices.begin(), fRefusedServices.end(), service),
                           fRefusedServices.end());
  }
  UpdateUI();
}

CapturedDeviceRec* KorvidTesselPane::AddCapturedDevice(std::shared_ptr<UsbDeviceInterface> device,
                                                       std::uint16_t vendor, std::uint16_t product,
                                                       std::uint16_t release, std::uint32_t busPower,
                                                       std::uint32_t location) {
  if (!device) return nullptr;
  if (CapturedDeviceRec* existing = FindCapturedDevice(device.get())) return existing;
  CapturedDeviceRec& record = fCapturedDeviceList.emplace_back();
  record.device = std::move(device);
  record.info.vendorID = vendor;
  record.info.productID = product;
  record.info.releaseNum = release;
  record.info.busPower = busPower;
  record.info.locationID = location;
  ++fCapturedDeviceCount;
  return &record;
}

void KorvidTesselPane::RemoveCapturedDevice(const UsbDeviceInterface* device) {
  const auto found = std::find_if(fCapturedDeviceList.begin(), fCapturedDeviceList.end(),
                                  [device](const CapturedDeviceRec& r) { return r.device.get() == device; });
  if (device == nullptr || found == fCapturedDeviceList.end()) return;
  if (fCapturedDeviceCount > 0) --fCapturedDeviceCount;
  fCapturedDeviceList.erase(found);
}

CapturedDeviceRec* KorvidTesselPane::FindCapturedDevice(const UsbDeviceInterface* device) {
  if (device == nullptr) return nullptr;
  for (CapturedDeviceRec& record : fCapturedDeviceList) {
    if (record.device.get() == device) return &record;
  }
  return nullptr;
}

CapturedDeviceRec* KorvidTesselPane::FirstCapturedDevice() {
  return fCapturedDeviceList.empty() ? nullptr : &fCapturedDeviceList.front();
}

CapturedDeviceRec* KorvidTesselPane::CurrentDevice() {
  if (CapturedDeviceRec* chosen = FindCapturedDevice(fChosenDevice.get())) return chosen;
  return FirstCapturedDevice();
}

void KorvidTesselPane::ChooseDevice(const UsbDeviceInterface* device) {
  CapturedDeviceRec* record = FindCapturedDevice(device);
  if (record == nullptr) return;
  fChosenDevice = record->device;
  UpdateUI();
}

void KorvidTesselPane::GetDeviceState(CapturedDeviceRec* record) {
  if (record == nullptr || !record->device) return;
  QueueStateRead(*record, /*justAttached=*/false);
}

void KorvidTesselPane::QueueStateRead(CapturedDeviceRec& record, bool justAttached) {
  std::shared_ptr<UsbDeviceInterface> device = record.device;
  struct Read {
    CapturedDeviceState state;
    OSStatus status = noErr;
    const char* what = "";
  };
  auto read = std::make_shared<Read>();
  const std::uint32_t changes = record.changes;
  Sleeper& sleeper = fSleeper;
  fQueues.Enqueue(
      device, DeviceQueues::Kind::kRead,
      [device, read, &sleeper, justAttached] {
        if (justAttached) {
          sleeper.SleepMicroseconds(kSettleMicroseconds);
          KorvidClearBusyFlag(device.get(), sleeper);
        }
        read->status = ReadDeviceState(device.get(), sleeper, read->state, read->what);
      },
      [this, device, read, changes] {
        CapturedDeviceRec* record = FindCapturedDevice(device.get());
        if (record == nullptr) return;
        record->readStatus = read->status;
        record->readWhat = read->what;
        if (read->status == noErr) {
          // What the mouse said; a change the user made after this read was queued stays
          // on screen (it is on its way to the mouse, and confirmed when it arrives).
          record->confirmed = read->state;
          if (record->changes == changes) record->state = read->state;
          record->writeStatus = noErr;
          record->stateRead = true;
        }
        if (!fAddingDevices) UpdateUI();  // DeviceAdded updates once for all its mice
      });
}

bool KorvidTesselPane::Owns(const CapturedDeviceRec* record) const {
  return std::any_of(fCapturedDeviceList.begin(), fCapturedDeviceList.end(),
                     [record](const CapturedDeviceRec& r) { return &r == record; });
}

void KorvidTesselPane::KorvidTesselMessage(void* reference, DeviceService /*service*/, std::uint32_t messageType,
                                           void* /*argument*/) {
  auto* record = static_cast<CapturedDeviceRec*>(reference);
  if (messageType != kIOMessageServiceIsTerminated || record == nullptr) return;
  // A reference that is not one of our records (already dropped) changes nothing.
  if (!Owns(record)) return;
  if (record->notification != 0 && fWatcher) fWatcher->RemoveInterest(record->notification);
  record->notification = 0;
  // What was still queued for the mouse goes with it, and so does the choice of it.
  fQueues.Cancel(record->device.get());
  if (fChosenDevice == record->device) fChosenDevice.reset();
  RemoveCapturedDevice(record->device.get());
  UpdateUI();
}

}  // namespace korvid
