// SPDX-License-Identifier: MIT
// The device handle of a Tessel on Linux: the hidraw node of the mouse's interface 0.
// The two feature-report control requests become HIDIOCSFEATURE / HIDIOCGFEATURE ioctls.
#pragma once

#include <cstdint>

#include "platform/usb/TesselDevices.h"
#include "platform/usb/UsbDeviceInterface.h"

namespace korvid {


class HidrawDevice final : public UsbDeviceInterface {
 public:
  static constexpr std::uint16_t kReportLength = 90;

  // Takes ownership of `fd`, an open hidraw node; `identity` gives the getters' values.
  HidrawDevice(int fd, const TesselNode& identity);
  ~HidrawDevice() override;
  HidrawDevice(const HidrawDevice&) = delete;
  HidrawDevice& operator=(const HidrawDevice&) = delete;

  IOReturn DeviceRequest(IOUSBDevRequest& request) override;

  std::uint16_t GetDeviceVendor() const override { return identity_.vendorID; }
  std::uint16_t GetDeviceProduct() const override { return identity_.productID; }
  std::uint16_t GetDeviceReleaseNumber() const override { return identity_.releaseNum; }
  std::uint32_t GetDeviceBusPowerAvailable() const override { return identity_.busPower; }
  std::uint32_t GetLocationID() const override { return identity_.locationID; }

  const TesselNode& Node() const { return identity_; }

 private:
  int fd_;
  TesselNode identity_;
};

}  // namespace korvid
