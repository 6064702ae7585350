// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/Identity.h"
#include "platform/usb/HidrawDevice.h"
#include "platform/DeviceStatus.h"
#include "platform/usb/TesselDevices.h"
#include "platform/usb/UdevTessel.h"
#include "platform/usb/tests/UmockdevBed.h"

namespace korvid {
namespace {

using testing::EchoAnswerer;
using testing::FakeMouse;
using testing::FakeMouseSpec;
using testing::UmockdevBed;

FakeMouseSpec TesselSpec(std::string name = "1-2.3") {
  FakeMouseSpec spec;
  spec.name = std::move(name);
  spec.vendorID = kTesselVendorID;
  spec.productID = kTesselProductID;
  return spec;
}

IOUSBDevRequest SetReport(std::span<std::uint8_t> data) {
  return IOUSBDevRequest{0x21, 9, 0x0300, 0, 90, data, 12345};
}
IOUSBDevRequest GetReport(std::span<std::uint8_t> data) {
  return IOUSBDevRequest{0xA1, 1, 0x0300, 0, 90, data, 12345};
}

TEST(HidrawStatus, ErrnoBecomesTheIOKitStatus) {
  EXPECT_EQ(DeviceStatusFromErrno(ENODEV), kIOReturnNoDevice);
  EXPECT_EQ(DeviceStatusFromErrno(ENXIO), kIOReturnNoDevice);
  EXPECT_EQ(DeviceStatusFromErrno(ESHUTDOWN), kIOReturnNoDevice);
  EXPECT_EQ(DeviceStatusFromErrno(EACCES), kIOReturnNotPermitted);
  EXPECT_EQ(DeviceStatusFromErrno(EPERM), kIOReturnNotPermitted);
  EXPECT_EQ(DeviceStatusFromErrno(ETIMEDOUT), kIOReturnTimeout);
  EXPECT_EQ(DeviceStatusFromErrno(EPIPE), kIOReturnIOError);
  EXPECT_EQ(DeviceStatusFromErrno(EBUSY), kIOReturnBusy);
  EXPECT_EQ(DeviceStatusFromErrno(EINVAL), kIOReturnBadArgument);
  EXPECT_EQ(DeviceStatusFromErrno(EIO), kIOReturnIOError);
  EXPECT_EQ(DeviceStatusFromErrno(EPROTO), kIOReturnIOError);
}

TEST(UsbAttributes, MaxPowerIsCountedInTwoMilliampUnits) {
  EXPECT_EQ(udev::BusPowerFromMaxPower("100mA"), 50u);
  EXPECT_EQ(udev::BusPowerFromMaxPower("500mA\n"), 250u);
  EXPECT_EQ(udev::BusPowerFromMaxPower("0mA"), 0u);
  EXPECT_EQ(udev::BusPowerFromMaxPower("lots"), 0u);
  EXPECT_EQ(udev::BusPowerFromMaxPower(""), 0u);
}

TEST(UsbAttributes, LocationIsBusThenOneNibblePerHop) {
  EXPECT_EQ(udev::LocationFromBusAndPath(1, "2.3"), 0x01230000u);
  EXPECT_EQ(udev::LocationFromBusAndPath(3, "1"), 0x03100000u);
  EXPECT_EQ(udev::LocationFromBusAndPath(2, "1.2.3.4.5.6"), 0x02123456u);
  EXPECT_EQ(udev::LocationFromBusAndPath(2, "1.2.3.4.5.6.7"), 0x02123456u);  // cut at six hops
  EXPECT_EQ(udev::LocationFromBusAndPath(1, "17.2"), 0x01F20000u);          // clamped hop
  EXPECT_EQ(udev::LocationFromBusAndPath(1, ""), 0x01000000u);
}

class HidrawTest : public ::testing::Test {
 protected:
  UmockdevBed bed;
  EchoAnswerer echo;
  testing::FeatureAnswerer Echo() {
    return [this](bool isSet, std::span<std::uint8_t, 91> r) { return echo(isSet, r); };
  }
  // The node's handle; null (and a failed expectation) when it does not open.
  static std::unique_ptr<UsbDeviceInterface> Open(const TesselNode& node) {
    std::unique_ptr<UsbDeviceInterface> device;
    std::string error;
    EXPECT_EQ(OpenTessel(node, device, &error), kIOReturnSuccess) << error;
    return device;
  }
};

TEST_F(HidrawTest, EnumerationFindsInterfaceZeroOfEachTesselOnly) {
  FakeMouseSpec two = TesselSpec("1-2.3");
  two.interfaces = 3;
  const FakeMouse mouse = bed.Add(two, Echo());
  FakeMouseSpec decoy = TesselSpec("1-4");
  decoy.vendorID = 0x046D;
  bed.Add(decoy, Echo());
  FakeMouseSpec otherProduct = TesselSpec("1-5");
  otherProduct.productID = static_cast<std::uint16_t>(kTesselProductID + 1);
  bed.Add(otherProduct, Echo());
  FakeMouseSpec second = TesselSpec("2-1");
  second.busNumber = 2;
  second.portPath = "1";
  second.bcdDevice = "0200";
  second.maxPower = "500mA";
  const FakeMouse other = bed.Add(second, Echo());

  const auto nodes = EnumerateTessels();
  ASSERT_EQ(nodes.size(), 2u);
  const TesselNode* first = nodes[0].syspath == mouse.hidrawSyspaths[0] ? &nodes[0] : &nodes[1];
  const TesselNode* last = first == &nodes[0] ? &nodes[1] : &nodes[0];
  EXPECT_EQ(first->syspath, mouse.hidrawSyspaths[0]);
  EXPECT_EQ(first->devnode, mouse.devnodes[0]);
  EXPECT_EQ(first->vendorID, kTesselVendorID);
  EXPECT_EQ(first->productID, kTesselProductID);
  EXPECT_EQ(first->releaseNum, 0x0105);
  EXPECT_EQ(first->busPower, 50u);
  EXPECT_EQ(first->locationID, 0x01230000u);
  EXPECT_EQ(last->syspath, other.hidrawSyspaths[0]);
  EXPECT_EQ(last->releaseNum, 0x0200);
  EXPECT_EQ(last->busPower, 250u);
  EXPECT_EQ(last->locationID, 0x02100000u);
}

TEST_F(HidrawTest, IdentityGettersComeFromTheUsbDevice) {
  bed.Add(TesselSpec(), Echo());
  const auto nodes = EnumerateTessels();
  ASSERT_EQ(nodes.size(), 1u);
  auto device = Open(nodes[0]);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->GetDeviceVendor(), kTesselVendorID);
  EXPECT_EQ(device->GetDeviceProduct(), kTesselProductID);
  EXPECT_EQ(device->GetDeviceReleaseNumber(), 0x0105);
  EXPECT_EQ(device->GetDeviceBusPowerAvailable(), 50u);
  EXPECT_EQ(device->GetLocationID(), 0x01230000u);
}

TEST_F(HidrawTest, SetReportSendsReportIdZeroThenTheNinetyBytes) {
  bed.Add(TesselSpec(), Echo());
  auto device = Open(EnumerateTessels().at(0));
  ASSERT_NE(device, nullptr);
  std::array<std::uint8_t, 90> report{};
  for (std::size_t i = 0; i < report.size(); ++i) report[i] = static_cast<std::uint8_t>(i + 1);
  IOUSBDevRequest request = SetReport(report);
  EXPECT_EQ(device->DeviceRequest(request), kIOReturnSuccess);
  EXPECT_EQ(request.wLenDone, 90u);
  std::lock_guard lock(echo.mutex);
  ASSERT_EQ(echo.lastSet.size(), 91u);
  EXPECT_EQ(echo.lastSet[0], 0);
  EXPECT_TRUE(std::equal(report.begin(), report.end(), echo.lastSet.begin() + 1));
}

TEST_F(HidrawTest, GetReportReturnsTheNinetyBytesAfterTheReportId) {
  bed.Add(TesselSpec(), Echo());
  auto device = Open(EnumerateTessels().at(0));
  ASSERT_NE(device, nullptr);
  std::array<std::uint8_t, 90> sent{};
  sent[0] = 1;
  sent[4] = 7;
  sent[89] = 1;
  IOUSBDevRequest set = SetReport(sent);
  ASSERT_EQ(device->DeviceRequest(set), kIOReturnSuccess);

  std::array<std::uint8_t, 96> reply{};
  reply.fill(0xEE);
  IOUSBDevRequest get = GetReport(reply);
  EXPECT_EQ(device->DeviceRequest(get), kIOReturnSuccess);
  EXPECT_EQ(get.wLenDone, 90u);
  EXPECT_EQ(reply[0], 1);
  EXPECT_EQ(reply[1], 2);  // the echo mouse's status
  EXPECT_EQ(reply[4], 7);
  EXPECT_EQ(reply[89], 1);
  EXPECT_EQ(reply[90], 0xEE);  // nothing written past the report
}

TEST_F(HidrawTest, OtherRequestsAndBadLengthsNeverReachTheMouse) {
  bed.Add(TesselSpec(), Echo());
  auto device = Open(EnumerateTessels().at(0));
  ASSERT_NE(device, nullptr);
  std::array<std::uint8_t, 90> data{};
  IOUSBDevRequest input{0xA1, 1, 0x0100, 0, 90, data, 0};  // input report
  EXPECT_EQ(device->DeviceRequest(input), kIOReturnUnsupported);
  IOUSBDevRequest standard{0x80, 6, 0x0100, 0, 18, data, 0};  // GET_DESCRIPTOR
  EXPECT_EQ(device->DeviceRequest(standard), kIOReturnUnsupported);
  IOUSBDevRequest otherInterface{0x21, 9, 0x0300, 1, 90, data, 0};
  EXPECT_EQ(device->DeviceRequest(otherInterface), kIOReturnUnsupported);
  IOUSBDevRequest shortLength{0x21, 9, 0x0300, 0, 64, data, 0};
  EXPECT_EQ(device->DeviceRequest(shortLength), kIOReturnBadArgument);
  IOUSBDevRequest shortBuffer{0xA1, 1, 0x0300, 0, 90, std::span(data).first(89), 7};
  EXPECT_EQ(device->DeviceRequest(shortBuffer), kIOReturnBadArgument);
  EXPECT_EQ(shortBuffer.wLenDone, 0u);
  std::lock_guard lock(echo.mutex);
  EXPECT_EQ(echo.sets + echo.gets, 0);
}

TEST_F(HidrawTest, IoctlErrorsBecomeStatuses) {
  const FakeMouse mouse = bed.Add(TesselSpec(), Echo());
  auto device = Open(EnumerateTessels().at(0));
  ASSERT_NE(device, nullptr);
  std::array<std::uint8_t, 90> data{};
  const std::pair<int, IOReturn> cases[] = {
      {EPIPE, kIOReturnIOError}, {ETIMEDOUT, kIOReturnTimeout}, {ENODEV, kIOReturnNoDevice},
      {EBUSY, kIOReturnBusy},    {EPROTO, kIOReturnIOError}};
  for (const auto& [error, status] : cases) {
    bed.SetAnswerer(mouse, [error](bool, std::span<std::uint8_t, 91>) { return error; });
    IOUSBDevRequest set = SetReport(data);
    EXPECT_EQ(device->DeviceRequest(set), status) << "errno " << error;
    EXPECT_EQ(set.wLenDone, 0u);
    IOUSBDevRequest get = GetReport(data);
    EXPECT_EQ(device->DeviceRequest(get), status) << "errno " << error;
  }
}

TEST_F(HidrawTest, UnpluggedMouseAnswersNoDevice) {
  const FakeMouse mouse = bed.Add(TesselSpec(), Echo());
  auto device = Open(EnumerateTessels().at(0));
  ASSERT_NE(device, nullptr);
  bed.Remove(mouse);
  EXPECT_TRUE(EnumerateTessels().empty());
  std::array<std::uint8_t, 90> data{};
  IOUSBDevRequest get = GetReport(data);
  EXPECT_EQ(device->DeviceRequest(get), kIOReturnNoDevice);
}

TEST_F(HidrawTest, VanishedNodeCannotBeOpened) {
  const FakeMouse mouse = bed.Add(TesselSpec(), Echo());
  const TesselNode node = EnumerateTessels().at(0);
  bed.Remove(mouse);
  std::string error;
  std::unique_ptr<UsbDeviceInterface> device;
  EXPECT_EQ(OpenTessel(node, device, &error), kIOReturnNoDevice);
  EXPECT_EQ(device, nullptr);
  EXPECT_NE(error.find(node.devnode), std::string::npos);
  EXPECT_EQ(error.find("udev rule"), std::string::npos);
}

TEST_F(HidrawTest, RefusedNodeNamesTheUdevRule) {
  const FakeMouse mouse = bed.Add(TesselSpec(), Echo());
  const TesselNode node = EnumerateTessels().at(0);
  bed.DenyAccess(mouse);
  // Root opens anything; look at the node as an ordinary user does.
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && setuid(65534) != 0) _exit(2);
        std::string error;
        std::unique_ptr<UsbDeviceInterface> device;
        const IOReturn status = OpenTessel(node, device, &error);
        _exit(status == kIOReturnNotPermitted && device == nullptr &&
                      error.find("70-korvid-tessel.rules") != std::string::npos
                  ? 0
                  : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace korvid
