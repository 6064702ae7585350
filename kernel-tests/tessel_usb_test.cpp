// SPDX-License-Identifier: MIT
// A Tessel on a real USB bus of the kernel-test machine: the simulated mouse behind a
// gadgetfs gadget on dummy_hcd, bound by usbhid. The device handle, the settings commands,
// tesselctl and the device watcher run unchanged against its hidraw node; the gadget's
// side shows what arrived over the wire.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <array>
#include <filesystem>
#include <iostream>

#include "kernel-tests/KernelTestSupport.h"
#include "kernel-tests/TesselGadget.h"
#include "platform/Identity.h"
#include "platform/devices/UdevDeviceWatcher.h"
#include "platform/usb/TesselDevices.h"
#include "protocol/Settings.h"
#include "protocol/Transport.h"

namespace korvid::kerneltest {
namespace {

using Bytes = std::vector<std::uint8_t>;

// With --with-module our HID driver module is loaded first: every Tessel must then be
// bound to it, and everything here must work exactly as it does with hid-generic.
bool gWithModule = false;

Bytes Report(std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes) {
  Bytes r(90, 0);
  for (auto [offset, value] : bytes) r[offset] = value;
  return r;
}

bool IsGetReport(const TesselGadget::ClassRequest& r) {
  return r.bmRequestType == 0xA1 && r.bRequest == 0x01 && r.wValue == 0x0300 && r.wIndex == 0 && r.wLength == 90;
}
bool IsSetReport(const TesselGadget::ClassRequest& r) {
  return r.bmRequestType == 0x21 && r.bRequest == 0x09 && r.wValue == 0x0300 && r.wIndex == 0 && r.wLength == 90;
}
const Bytes kClearBusy = Report({{0, 1}, {89, 1}});

class TesselOnUsb : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    mouse_ = std::make_shared<SimulatedTessel>();
    gadget_ = std::make_unique<TesselGadget>(mouse_);
    std::string error;
    ASSERT_TRUE(gadget_->Plug(&error)) << error;
    ASSERT_TRUE(WaitForTessels(1)) << "the gadget's hidraw node did not appear";
  }
  static void TearDownTestSuite() {
    gadget_.reset();
    mouse_.reset();
  }

  static bool WaitForTessels(std::size_t count) {
    return WaitForUevents("hidraw", [count] { return EnumerateTessels().size() == count; });
  }

  void SetUp() override {
    ASSERT_TRUE(gadget_ && gadget_->Plugged());
    for (const HidBinding& binding : TesselHidBindings()) {
      EXPECT_EQ(binding.driver, gWithModule ? "hid-korvid-tessel" : "hid-generic") << binding.device;
    }
    mouse_->SetState(SimulatedTessel::DefaultState());
    const auto nodes = EnumerateTessels();
    ASSERT_EQ(nodes.size(), 1u);
    std::string error;
    ASSERT_EQ(OpenTessel(nodes.front(), device_, &error), kIOReturnSuccess) << error;
    mouse_->ClearTraffic();
    mouse_->ClearViolations();
    gadget_->ClearClassRequests();
  }
  void TearDown() override {
    if (mouse_) {
      EXPECT_EQ(mouse_->Violations(), std::vector<std::string>{});
    }
    if (HasFailure() && gadget_) {
      for (const std::string& problem : gadget_->Problems()) std::cout << "gadget: " << problem << "\n";
      const auto wire = gadget_->ClassRequests();
      std::cout << "gadget: " << wire.size() << " class requests\n";
      for (std::size_t i = 0; i < wire.size() && i < 6; ++i) {
        std::cout << "gadget: " << int(wire[i].bmRequestType) << "/" << int(wire[i].bRequest) << " data "
                  << wire[i].data.size() << " flag " << (wire[i].data.empty() ? -1 : wire[i].data[0]) << "\n";
      }
    }
  }

  static std::shared_ptr<SimulatedTessel> mouse_;
  static std::unique_ptr<TesselGadget> gadget_;
  std::unique_ptr<UsbDeviceInterface> device_;
};
std::shared_ptr<SimulatedTessel> TesselOnUsb::mouse_;
std::unique_ptr<TesselGadget> TesselOnUsb::gadget_;

TEST_F(TesselOnUsb, EnumeratedOnceThroughUsbhidWithTheUsbIdentity) {
  const auto nodes = EnumerateTessels();
  ASSERT_EQ(nodes.size(), 1u);
  const TesselNode& node = nodes.front();
  EXPECT_EQ(node.devnode.rfind("/dev/hidraw", 0), 0u) << node.devnode;
  EXPECT_EQ(node.vendorID, kTesselVendorID);
  EXPECT_EQ(node.productID, kTesselProductID);
  EXPECT_EQ(node.releaseNum, mouse_->GetDeviceReleaseNumber());
  EXPECT_EQ(node.busPower, mouse_->GetDeviceBusPowerAvailable());
  // Bus number in the top byte, port 1 of the dummy root hub next.
  EXPECT_NE(node.locationID >> 24, 0u);
  EXPECT_EQ((node.locationID >> 20) & 0xF, 1u);
  // The kernel's own HID driver (or our module) holds the interface: nothing took it away.
  const std::filesystem::path hidraw(node.syspath);
  const auto driver = std::filesystem::read_symlink(hidraw / "device" / "driver").filename();
  EXPECT_EQ(driver, gWithModule ? "hid-korvid-tessel" : "hid-generic");
  const auto interfaceDriver =
      std::filesystem::read_symlink(std::filesystem::canonical(hidraw / "device").parent_path() / "driver");
  EXPECT_EQ(interfaceDriver.filename(), "usbhid");
  EXPECT_EQ(device_->GetDeviceVendor(), kTesselVendorID);
}

TEST_F(TesselOnUsb, ReadingTheSettingsBlockIsTheWorkedReportOnTheWire) {
  std::array<std::uint8_t, 80> buffer{};
  ASSERT_EQ(KorvidCommand(device_.get(), true, 5, 0, buffer), noErr);

  const auto settings = mouse_->Settings();
  EXPECT_TRUE(std::equal(settings.begin(), settings.end(), buffer.begin()));

  const auto wire = gadget_->ClassRequests();
  ASSERT_GE(wire.size(), 4u);
  for (const auto& r : wire) EXPECT_TRUE(IsGetReport(r) || IsSetReport(r));
  // The busy wait's read, the command, the reply poll, the clear-busy report.
  EXPECT_TRUE(IsGetReport(wire.front()));
  ASSERT_TRUE(IsSetReport(wire[1]));
  EXPECT_EQ(wire[1].data, Report({{0, 1}, {2, 1}, {3, 5}, {88, 0x04}, {89, 1}}));
  ASSERT_TRUE(IsSetReport(wire.back()));
  EXPECT_EQ(wire.back().data, kClearBusy);
  for (std::size_t i = 2; i + 1 < wire.size(); ++i) EXPECT_TRUE(IsGetReport(wire[i])) << i;
  // The last poll carried the block back: status 2 and the settings at offset 8.
  const auto& reply = wire[wire.size() - 2].data;
  ASSERT_EQ(reply.size(), 90u);
  EXPECT_EQ(reply[1], 2);
  EXPECT_TRUE(std::equal(settings.begin(), settings.begin() + 5, reply.begin() + 8));
}

TEST_F(TesselOnUsb, ReadingTheConfigurationSendsTheSelectorByte) {
  std::array<std::uint8_t, 80> buffer{};
  buffer[0] = 0x5A;
  EXPECT_NE(KorvidCommand(device_.get(), true, 6, 1, buffer), kIOReturnNoDevice);
  const auto wire = gadget_->ClassRequests();
  ASSERT_GE(wire.size(), 2u);
  ASSERT_TRUE(IsSetReport(wire[1]));
  EXPECT_EQ(wire[1].data, Report({{0, 1}, {2, 1}, {3, 6}, {4, 1}, {8, 0x5A}, {88, 6 ^ 0x5A}, {89, 1}}));
  mouse_->ClearViolations();  // selector 0x5A is not the mouse's own
}

TEST_F(TesselOnUsb, RestoreDefaultsSequenceLeavesTheMouseAsShipped) {
  SimulatedTessel::State odd = SimulatedTessel::DefaultState();
  odd.settings[0] = 2;     // the mouse's own selector
  odd.settings[1] = 8;     // polling code
  odd.settings[2] = 5;     // stage 5
  odd.settings[3] = odd.settings[4] = 0x10;
  odd.configuration[0] = 2;
  odd.configuration[1] = 0x00;  // lights off
  for (std::size_t i = 4; i < 56; ++i) odd.configuration[i] = static_cast<std::uint8_t>(i * 7);
  mouse_->SetState(odd);

  KorvidTesselRestoreDefaults(device_.get());
  KorvidTesselSetDPI(device_.get(), 0x4444, 3);
  KorvidTesselSetPollingRate(device_.get(), 2);

  const auto settings = mouse_->Settings();
  EXPECT_EQ(settings[0], 2);
  EXPECT_EQ(settings[1], 2);
  EXPECT_EQ(settings[2], 3);
  EXPECT_EQ(settings[3], 0x44);
  EXPECT_EQ(settings[4], 0x44);
  const auto configuration = mouse_->Configuration();
  const auto& shipped = SimulatedTessel::DefaultConfiguration();
  EXPECT_EQ(configuration[0], 2);
  EXPECT_EQ(configuration[1], 0x07);
  EXPECT_EQ(configuration[8], 0x44);
  EXPECT_EQ(configuration[9], 0x44);
  EXPECT_TRUE(std::equal(shipped.begin() + 1, shipped.begin() + 56, configuration.begin() + 1));
  EXPECT_EQ(KorvidTesselGetDPI(device_.get()), 0x4444u);
  EXPECT_EQ(KorvidTesselGetPollingRate(device_.get()), 2u);

  // Every report on the wire was one of the two requests, every write 90 bytes.
  for (const auto& r : gadget_->ClassRequests()) {
    EXPECT_TRUE(IsGetReport(r) || IsSetReport(r));
    EXPECT_EQ(r.data.size(), 90u);
  }
}

TEST_F(TesselOnUsb, GettersReadTheMouse) {
  mouse_->SetFirmwareVersion(2, 7);
  EXPECT_EQ(KorvidTesselGetFirmwareVers(device_.get()), 0x0207u);
  EXPECT_EQ(KorvidTesselGetLedState(device_.get(), 0), 1u);
  KorvidTesselSetLedState(device_.get(), 0, 0);
  EXPECT_EQ(KorvidTesselGetLedState(device_.get(), 0), 0u);
  EXPECT_EQ(mouse_->Configuration()[1], 0x06);
}

TEST_F(TesselOnUsb, TesselctlShowsAndChangesTheMouse) {
  device_.reset();
  const ProgramResult shown = RunSiblingProgram("tesselctl", {"show"});
  EXPECT_EQ(shown.status, 0) << shown.output;
  EXPECT_NE(shown.output.find("Firmware version: 1.05"), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("DPI: X 1800, Y 1800"), std::string::npos) << shown.output;

  const ProgramResult set = RunSiblingProgram("tesselctl", {"set", "dpi", "800:1200"});
  EXPECT_EQ(set.status, 0) << set.output;
  EXPECT_EQ(mouse_->CurrentSteps(), 0x1C2Cu);

  const ProgramResult listed = RunSiblingProgram("tesselctl", {"list"});
  EXPECT_NE(listed.output.find("/dev/hidraw"), std::string::npos) << listed.output;
}

TEST_F(TesselOnUsb, AHandleOfAnUnpluggedMouseAnswersNoDevice) {
  gadget_->Unplug();
  ASSERT_TRUE(WaitForTessels(0));
  IOUSBDevRequest request;
  std::array<std::uint8_t, 90> report{};
  request.bmRequestType = 0xA1;
  request.bRequest = 1;
  request.wValue = 0x0300;
  request.wLength = 90;
  request.pData = report;
  EXPECT_EQ(device_->DeviceRequest(request), kIOReturnNoDevice);

  std::string error;
  ASSERT_TRUE(gadget_->Plug(&error)) << error;
  ASSERT_TRUE(WaitForTessels(1));
}

// Runs the Qt loop until `done` or a generous timeout.
bool RunLoopUntil(const std::function<bool()>& done) {
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (done()) loop.quit();
  });
  poll.start(5);
  QTimer::singleShot(30000, &loop, &QEventLoop::quit);
  if (!done()) loop.exec();
  return done();
}

TEST_F(TesselOnUsb, TheWatcherSeesThePlugAndUnplugWithoutUdevd) {
  device_.reset();
  // The watcher the settings pane gets; with no udevd here it follows the kernel's uevents.
  const std::unique_ptr<DeviceWatcher> system = MakeSystemDeviceWatcher();
  DeviceWatcher& watcher = *system;
  ASSERT_EQ(watcher.Start(), kIOReturnSuccess);
  std::vector<DeviceArrival> arrivals = watcher.WatchArrivals([&](std::vector<DeviceArrival> more) {
    for (auto& a : more) arrivals.push_back(std::move(a));
  });
  std::vector<DeviceService> removals;
  watcher.WatchRemovals([&](std::vector<DeviceService> gone) { removals.insert(removals.end(), gone.begin(), gone.end()); });
  ASSERT_EQ(arrivals.size(), 1u);
  ASSERT_NE(arrivals[0].device, nullptr);
  EXPECT_EQ(arrivals[0].device->GetDeviceProduct(), kTesselProductID);
  int terminations = 0;
  DeviceNotification notification = 0;
  ASSERT_EQ(watcher.AddInterest(
                arrivals[0].service,
                [&](DeviceService, std::uint32_t message, void*) {
                  if (message == kIOMessageServiceIsTerminated) ++terminations;
                },
                notification),
            kIOReturnSuccess);

  gadget_->Unplug();
  ASSERT_TRUE(RunLoopUntil([&] { return !removals.empty(); })) << "no removal seen";
  EXPECT_EQ(removals, std::vector<DeviceService>{arrivals[0].service});
  EXPECT_EQ(terminations, 1);

  std::string error;
  ASSERT_TRUE(gadget_->Plug(&error)) << error;
  ASSERT_TRUE(RunLoopUntil([&] { return arrivals.size() == 2; })) << "no arrival seen";
  ASSERT_NE(arrivals[1].device, nullptr);
  EXPECT_NE(arrivals[1].service, arrivals[0].service);
  // The new handle talks to the mouse.
  EXPECT_EQ(KorvidTesselGetFirmwareVers(arrivals[1].device.get()), 0x0105u);
}

}  // namespace
}  // namespace korvid::kerneltest

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  using namespace korvid::kerneltest;
  gWithModule = argc > 1 && std::string(argv[1]) == "--with-module";
  std::string error;
  if (gWithModule && !LoadTesselModule(&error)) {
    std::cerr << error << "\n";
    return 1;
  }
  const int status = RUN_ALL_TESTS();
  if (gWithModule && !UnloadTesselModule(&error)) {
    std::cerr << error << "\n";
    return 1;
  }
  return status;
}
