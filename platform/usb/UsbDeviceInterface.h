// SPDX-License-Identifier: MIT
// The mouse's USB device interface: one synchronous control transfer on the default pipe,
// plus the identity the USB layer reports for the device.
#pragma once

#include <cstdint>
#include <span>

#include "platform/Status.h"

namespace korvid {

// One control transfer, fields in the order of the USB setup packet.
struct IOUSBDevRequest {
  std::uint8_t bmRequestType = 0;
  std::uint8_t bRequest = 0;
  std::uint16_t wValue = 0;
  std::uint16_t wIndex = 0;
  std::uint16_t wLength = 0;
  std::span<std::uint8_t> pData;  // the data stage; at least wLength bytes
  std::uint32_t wLenDone = 0;     // bytes actually transferred
};

class UsbDeviceInterface {
 public:
  virtual ~UsbDeviceInterface() = default;

  // Performs one control request. Returns kIOReturnSuccess or an IOKit-style status;
  // a device that has gone away answers kIOReturnNoDevice. A request whose data stage
  // is shorter than wLength is refused with kIOReturnBadArgument, nothing sent.
  virtual IOReturn DeviceRequest(IOUSBDevRequest& request) = 0;

  // Identity as the USB layer reports it.
  virtual std::uint16_t GetDeviceVendor() const = 0;
  virtual std::uint16_t GetDeviceProduct() const = 0;
  virtual std::uint16_t GetDeviceReleaseNumber() const = 0;
  // Bus power available to the device, in units of 2 mA.
  virtual std::uint32_t GetDeviceBusPowerAvailable() const = 0;
  // 32-bit location: bus number in the top byte, then the port path, one nibble per hop.
  virtual std::uint32_t GetLocationID() const = 0;
};

}  // namespace korvid
