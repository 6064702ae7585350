// The settings pane's controller. It lives on the Qt main loop; everything it does runs on
// the main thread, driven by the loop's sources.
#pragma once

#include <QObject>
#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "pane/devices/CapturedDevice.h"
#include "platform/Sleeper.h"
#include "platform/devices/DeviceWatcher.h"

namespace korvid {

class KorvidTesselPane : public QObject {
  Q_OBJECT

 public:
  // `watcher` finds the mice; `sleeper` does all waiting of device handling and of the
  // mouse commands. The sleeper must outlive the pane.
  explicit KorvidTesselPane(std::unique_ptr<DeviceWatcher> watcher, Sleeper& sleeper = Sleeper::Real(),
                            QObject* parent = nullptr);
  ~KorvidTesselPane() override;
  KorvidTesselPane(const KorvidTesselPane&) = delete;
  KorvidTesselPane& operator=(const KorvidTesselPane&) = delete;

  // Device discovery and the captured-device list.
  void StartHandlingDevices();
  void StopHandlingDevices();
  // The first-match notification: the mice that arrived (or, at start, were attached).
  void DeviceAdded(std::vector<DeviceArrival> arrivals);
  // The terminate notification; the records themselves go with the termination message.
  void DeviceRemoved(std::vector<DeviceService> removals);
  // Appends a record for `device` (or returns the one it already has); null on failure.
  CapturedDeviceRec* AddCapturedDevice(std::shared_ptr<UsbDeviceInterface> device, std::uint16_t vendor,
                                       std::uint16_t product, std::uint16_t release,
                                       std::uint32_t busPower, std::uint32_t location);
  void RemoveCapturedDevice(const UsbDeviceInterface* device);
  CapturedDeviceRec* FindCapturedDevice(const UsbDeviceInterface* device);
  // Reads the mouse's settings into the record; a null record does nothing.
  void GetDeviceState(CapturedDeviceRec* record);
  // A mouse's interest message; `record` is the reference value it was registered with.
  void KorvidTesselMessage(void* record, DeviceService service, std::uint32_t messageType, void* argument);

  // The current mouse: the first captured record, or null when no mouse is captured.
  CapturedDeviceRec* FirstCapturedDevice();
  const std::list<CapturedDeviceRec>& CapturedDevices() const { return fCapturedDeviceList; }
  std::uint16_t CapturedDeviceCount() const { return fCapturedDeviceCount; }
  bool HandlingDevices() const { return fHandlingDevices; }
  Sleeper& DeviceSleeper() { return fSleeper; }

 protected:
  // Brings the display up to date with the captured devices. Called at the end of every
  // DeviceAdded and DeviceRemoved and after a mouse's record is dropped on termination.
  virtual void UpdateUI() {}

  bool fHandlingDevices = false;
  std::uint16_t fCapturedDeviceCount = 0;
  // Records in order of capture; the list owns them and their addresses never move.
  std::list<CapturedDeviceRec> fCapturedDeviceList;

 private:
  bool Owns(const CapturedDeviceRec* record) const;

  std::unique_ptr<DeviceWatcher> fWatcher;
  Sleeper& fSleeper;
};

// The one pane controller, for callbacks that have no controller at hand.
extern KorvidTesselPane* gKorvidTesselPane;

}  // namespace korvid
