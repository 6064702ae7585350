// SPDX-License-Identifier: MIT
#include "driver/KorvidTessel.h"

#include "driver/PointingRegistry.h"

namespace korvid {

bool KorvidTessel::start(IOService* provider) { return IOUSBHIDDriver::start(provider); }

void KorvidTessel::stop(IOService* provider) { IOUSBHIDDriver::stop(provider); }

bool KorvidTessel::handleStart(IOService* provider) {
  if (!IOUSBHIDDriver::handleStart(provider)) return false;
  return KorvidTesselStart(provider);
}

bool KorvidTessel::KorvidTesselStart(IOService* provider) {
  fInterface = dynamic_cast<IOUSBInterface*>(provider);
  if (fInterface == nullptr) return false;
  fDevice = fInterface->GetDevice();
  if (fDevice == nullptr) return false;
  fVendorID = fDevice->GetVendorID();
  fProductID = fDevice->GetProductID();
  fInterfaceNumber = fInterface->GetInterfaceNumber();

  fDeviceInfo = CapturedDeviceInfo{};
  fDeviceInfo.vendorID = fVendorID;
  fDeviceInfo.productID = fProductID;
  fDeviceInfo.releaseNum = fDevice->GetDeviceRelease();
  fDeviceInfo.locationID = fDevice->GetAddress();
  return true;
}

void KorvidTessel::AttachPointing(std::unique_ptr<IOHIPointing> pointing) {
  fPointing = std::move(pointing);
  if (fPointing) fPointing->attach(this);
}

IOHIPointing* KorvidTessel::FindOwnIOHIPointing() {
  return fPointing ? fPointing.get() : FindPointingByName(*this);
}

IOReturn KorvidTessel::SetKorvidTesselSpeed(int, int acceleration) {
  IOHIPointing* pointing = FindOwnIOHIPointing();
  if (pointing == nullptr) return kIOReturnNotFound;
  return pointing->SetAcceleration(acceleration);
}

IOReturn KorvidTessel::Control(std::uint64_t, std::uint64_t command, std::uint64_t value, std::uint64_t* output) {
  const auto code = static_cast<std::uint32_t>(command);
  std::uint64_t answer = 0;
  IOReturn result = kIOReturnSuccess;
  if (code == kKvID) {
    answer = (static_cast<std::uint64_t>(fVendorID) << 16) | fProductID;
  } else if (code == kKvSA) {
    // The write's own status is not reported: the caller learns only that it was asked.
    (void)SetKorvidTesselSpeed(0, static_cast<int>(static_cast<std::uint32_t>(value)));
  } else {
    result = kIOReturnBadArgument;
  }
  if (output != nullptr) *output = answer;
  return result;
}

IOReturn KorvidTessel::newUserClient(const OwningTask& owningTask, void* securityID, std::uint32_t type,
                                     std::unique_ptr<IOUserClient>& handler) {
  if (type != kKvdU) return IOService::newUserClient(owningTask, securityID, type, handler);

  std::unique_ptr<KorvidTesselUserClient> client = KorvidTesselUserClient::withTask(owningTask);
  if (!client) {
    handler.reset();
    return kIOReturnNoMemory;
  }
  if (client->init() && client->attach(this) && client->start(this)) {
    handler = std::move(client);
    return kIOReturnSuccess;
  }
  client->detach(this);
  handler.reset();
  return kIOReturnNoMemory;
}

std::unique_ptr<KorvidTesselUserClient> KorvidTesselUserClient::withTask(const OwningTask& owningTask) {
  std::unique_ptr<KorvidTesselUserClient> client(new KorvidTesselUserClient());
  if (!client->init()) return nullptr;
  client->setName("KorvidTesselUserClient");
  client->fTask = owningTask;
  client->setProperty("IOUserClientCrossEndianCompatible", true);
  return client;
}

bool KorvidTesselUserClient::start(IOService* provider) {
  if (!IOUserClient::start(provider)) return false;
  fProvider = provider;
  fMethod.object = provider;
  fMethod.func = static_cast<IOMethod>(&KorvidTessel::Control);
  fMethod.flags = kIOUCScalarIScalarO;
  fMethod.count0 = 3;
  fMethod.count1 = 1;
  return true;
}

IOReturn KorvidTesselUserClient::clientClose() {
  detach(fProvider);
  return kIOReturnSuccess;
}

IOReturn KorvidTesselUserClient::clientDied() { return clientClose(); }

IOReturn KorvidTesselUserClient::connectClient(IOUserClient*) { return kIOReturnSuccess; }

IOExternalMethod* KorvidTesselUserClient::getExternalMethodForIndex(std::uint32_t index) {
  if (index != 0) return nullptr;
  // Only a client started on a driver, and still attached to it, has a method to offer
  // (a driver that goes away detaches its clients).
  if (fProvider == nullptr || !isAttachedTo(fProvider)) return nullptr;
  if (dynamic_cast<KorvidTessel*>(fMethod.object) == nullptr) return nullptr;
  return &fMethod;
}

IOReturn KorvidTesselUserClient::registerNotificationPort(int, std::uint32_t) { return kIOReturnUnsupported; }

IOReturn KorvidTesselUserClient::clientMemoryForType(std::uint32_t, std::uint32_t*, std::uint64_t*, std::uint64_t*) {
  return kIOReturnUnsupported;
}

}  // namespace korvid

extern "C" __attribute__((visibility("default"))) void MakeKextloadHappy(void) {}
