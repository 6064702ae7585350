// SPDX-License-Identifier: MIT
// The transport allocates nothing: report and request live in the caller's frame.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "protocol/Settings.h"
#include "protocol/Transport.h"

namespace {
bool gCounting = false;
std::size_t gAllocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  if (gCounting) ++gAllocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace korvid {
namespace {

// A mouse that is free, takes every block and answers done at once, without allocating.
class QuietMouse : public UsbDeviceInterface {
 public:
  IOReturn DeviceRequest(IOUSBDevRequest& request) override {
    if (request.bmRequestType == 0xA1) {
      request.pData[0] = 0;
      request.pData[1] = 2;
      request.pData[4] = 80;
    }
    return kIOReturnSuccess;
  }
  std::uint16_t GetDeviceVendor() const override { return 0; }
  std::uint16_t GetDeviceProduct() const override { return 0; }
  std::uint16_t GetDeviceReleaseNumber() const override { return 0; }
  std::uint32_t GetDeviceBusPowerAvailable() const override { return 0; }
  std::uint32_t GetLocationID() const override { return 0; }
};

TEST(TransportAllocationTest, CommandsAndSettingsAllocateNothing) {
  QuietMouse mouse;
  VirtualSleeper sleeper;
  std::array<std::uint8_t, 4160> buffer{};
  gAllocations = 0;
  gCounting = true;
  const OSStatus big = KorvidCommand(&mouse, false, 0x40, 4096, buffer, sleeper);
  const OSStatus small = KorvidCommand(&mouse, true, 5, 0, std::span(buffer).first(80), sleeper);
  KorvidTesselSetDPI(&mouse, 0x1010, 3, sleeper);
  KorvidTesselRestoreDefaultSettings(&mouse, sleeper);
  gCounting = false;
  EXPECT_EQ(big, noErr);
  EXPECT_EQ(small, noErr);
  EXPECT_EQ(gAllocations, 0u);
}

}  // namespace
}  // namespace korvid
