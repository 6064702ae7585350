// SPDX-License-Identifier: MIT
// The Tessel driver: one KorvidTessel per attached mouse, recording the mouse's identity,
// and its user client, whose single method reads that identity or sets the acceleration
// of the mouse's own pointing service.
#pragma once

#include <cstdint>
#include <memory>

#include "driver/IOKitStandIns.h"
#include "platform/FourCC.h"
#include "platform/Status.h"
#include "platform/usb/CapturedDeviceInfo.h"

namespace korvid {

class KorvidTessel : public IOUSBHIDDriver {
 public:
  KorvidTessel() : IOUSBHIDDriver("KorvidTessel") {}

  bool start(IOService* provider) override;
  void stop(IOService* provider) override;
  IOReturn newUserClient(const OwningTask& owningTask, void* securityID, std::uint32_t type,
                         std::unique_ptr<IOUserClient>& handler) override;
  bool handleStart(IOService* provider) override;

  // Records the identity of the mouse behind `provider`; false when it is not a USB
  // interface or has no device.
  bool KorvidTesselStart(IOService* provider);
  // Publishes `pointing` below the driver as the pointing service of its mouse; the
  // driver keeps it as long as it lives.
  void AttachPointing(std::unique_ptr<IOHIPointing> pointing);
  // The pointing service the driver was given, if any.
  IOHIPointing* Pointing() const { return fPointing.get(); }
  // The pointing service of this driver's mouse: the one it was given, else the one the
  // registry shows below it (FindPointingByName); null when there is none.
  IOHIPointing* FindOwnIOHIPointing();
  // Sets the acceleration (16.16) of the pointing service; kIOReturnNotFound without one,
  // else what the service answers.
  IOReturn SetKorvidTesselSpeed(int ignored, int acceleration);
  // Method 0 of the user client: KvID answers the identity, KvSA sets the acceleration.
  IOReturn Control(std::uint64_t ignored, std::uint64_t command, std::uint64_t value, std::uint64_t* output);

  const CapturedDeviceInfo& DeviceInfo() const { return fDeviceInfo; }
  std::uint16_t VendorID() const { return fVendorID; }
  std::uint16_t ProductID() const { return fProductID; }
  std::uint8_t InterfaceNumber() const { return fInterfaceNumber; }

 private:
  IOUSBInterface* fInterface = nullptr;
  IOUSBDevice* fDevice = nullptr;
  std::uint16_t fVendorID = 0;
  std::uint16_t fProductID = 0;
  std::uint8_t fInterfaceNumber = 0;
  CapturedDeviceInfo fDeviceInfo{};
  std::unique_ptr<IOHIPointing> fPointing;
};

class KorvidTesselUserClient : public IOUserClient {
 public:
  // Makes a client for the task; null when it cannot be initialised.
  static std::unique_ptr<KorvidTesselUserClient> withTask(const OwningTask& owningTask);

  bool start(IOService* provider) override;
  IOReturn clientClose() override;
  IOReturn clientDied() override;
  IOReturn connectClient(IOUserClient* other) override;
  IOExternalMethod* getExternalMethodForIndex(std::uint32_t index) override;
  // The client offers no notification port and no shared memory.
  virtual IOReturn registerNotificationPort(int port, std::uint32_t type);
  virtual IOReturn clientMemoryForType(std::uint32_t type, std::uint32_t* options, std::uint64_t* address,
                                       std::uint64_t* size);

  IOService* Provider() const { return fProvider; }
  const OwningTask& Task() const { return fTask; }

 private:
  KorvidTesselUserClient() = default;
  IOService* fProvider = nullptr;
  OwningTask fTask{};
  IOExternalMethod fMethod{};
};

}  // namespace korvid

// Exported with default visibility and empty. The driver is a daemon here, not a loaded
// module, so nothing calls it; it stays so the driver keeps the interface it is known by.
extern "C" void MakeKextloadHappy(void);
