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

std::uint16_t StepsToDPI(std::uint32_t step) { return static_cast<std::uint16_t>((step & 0xFFu) * 25u + 100u); }

}  // namespace

void KorvidTesselPane::StartHandlingDevices() {
  if (fHandlingDevices) return;
  fHandlingDevices = true;
  if (!fWatcher || !fWatcher->Start()) return;  // nothing can be watched; the flag stays set
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
    const std::size_t before = fCapturedDeviceList.size();
    RemoveCapturedDevice(first.device.get());
    if (fCapturedDeviceList.size() == before) {  // cannot happen: records always have a device
      fCapturedDeviceList.pop_front();
      if (fCapturedDeviceCount > 0) --fCapturedDeviceCount;
    }
  }
  if (fWatcher) fWatcher->Stop();
}

void KorvidTesselPane::DeviceAdded(std::vector<DeviceArrival> arrivals) {
  for (DeviceArrival& arrival : arrivals) {
    std::shared_ptr<UsbDeviceInterface> device = std::move(arrival.device);
    if (!device) continue;  // its handle could not be had
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

    fSleeper.SleepMicroseconds(kSettleMicroseconds);
    KorvidClearBusyFlag(record->device.get(), fSleeper);
    GetDeviceState(record);

    // The message goes to the controller that holds the record (in the product the one
    // gKorvidTesselPane names); the registration never outlives the record or the pane.
    record->notification = fWatcher->AddInterest(
        arrival.service, [this, record](DeviceService service, std::uint32_t type, void* argument) {
          KorvidTesselMessage(record, service, type, argument);
        });
    if (record->notification == 0) {
      // The mouse went away while it was being captured: its termination will never be
      // told, so its record must not stay.
      RemoveCapturedDevice(device.get());
    }
  }
  UpdateUI();
}

void KorvidTesselPane::DeviceRemoved(std::vector<DeviceService> removals) {
  removals.clear();  // walked and released; the interest handler drops the records
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

void KorvidTesselPane::GetDeviceState(CapturedDeviceRec* record) {
  if (record == nullptr || !record->device) return;
  UsbDeviceInterface* device = record->device.get();
  CapturedDeviceState& state = record->state;
  state.firmwareVers = static_cast<std::uint16_t>(KorvidTesselGetFirmwareVers(device, fSleeper));
  state.pollingRate = static_cast<std::uint16_t>(KorvidTesselGetPollingRate(device, fSleeper));
  const std::uint32_t steps = KorvidTesselGetDPI(device, fSleeper);
  const std::uint32_t stepX = (steps >> 8) & 0xFFu;
  const std::uint32_t stepY = steps & 0xFFu;
  state.sensitivityX = StepsToDPI(stepX);
  state.sensitivityY = StepsToDPI(stepY);
  state.independentXY = stepX != stepY ? 1 : 0;
  state.lightOnWheel = static_cast<std::uint8_t>(KorvidTesselGetLedState(device, kWheelLightBit, fSleeper));
  state.lightOnBattery = static_cast<std::uint8_t>(KorvidTesselGetLedState(device, kBatteryLightBit, fSleeper));
  state.lightOnDock = 0;
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
  RemoveCapturedDevice(record->device.get());
  UpdateUI();
}

}  // namespace korvid
