// The driver daemon's pointing service on a real kernel: the Tessel gadget is a real USB
// mouse (usbhid, hid-input, evdev); korvid-tessel-driver grabs its evdev node and emits its
// events through a uinput clone. What comes out of the clone is checked against what the
// mouse sent. (The latency the driver adds per event is measured by latency_test.cpp.)
//
// There is no udevd in the test machine: the test writes the one udev database entry the
// daemon looks for (ID_INPUT_MOUSE of the mouse's evdev node), as udevd's input_id would.
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <libudev.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "driver/AccelerationCurve.h"
#include "driver/client/DriverClient.h"
#include "kernel-tests/KernelTestSupport.h"
#include "kernel-tests/TesselGadget.h"
#include "platform/FourCC.h"
#include "platform/Identity.h"
#include "platform/input/InputDevice.h"
#include "platform/usb/TesselDevices.h"

extern char** environ;

namespace korvid::kerneltest {
namespace {

namespace fs = std::filesystem;

class DriverOnRealKernel : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gadget_ = std::make_unique<TesselGadget>(std::make_shared<SimulatedTessel>());
    std::string error;
    ASSERT_TRUE(gadget_->Plug(&error)) << error;
    ASSERT_TRUE(WaitForUevents("input", [] { return !FindEventNode(false).empty(); }));
    ASSERT_TRUE(WaitForUevents("hidraw", [] { return EnumerateTessels().size() == 1; }));
    source_ = FindEventNode(false);
    // The udev database entry udevd's input_id would write for a mouse.
    struct stat st{};
    ASSERT_EQ(::stat(source_.c_str(), &st), 0);
    fs::create_directories("/run/udev/data");
    std::ofstream("/run/udev/data/c" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)))
        << "I:1\nE:ID_INPUT=1\nE:ID_INPUT_MOUSE=1\n";
  }
  static void TearDownTestSuite() { gadget_.reset(); }

  void TearDown() override { StopDriver(); }

  void StartDriver() {
    const std::string self = fs::read_symlink("/proc/self/exe").parent_path() / "korvid-tessel-driver";
    char* argv[] = {const_cast<char*>(self.c_str()), nullptr};
    ASSERT_EQ(::posix_spawn(&driver_, self.c_str(), nullptr, nullptr, argv, environ), 0);
    ASSERT_TRUE(WaitForUevents("input", [] { return !FindEventNode(true).empty(); })) << "no clone appeared";
    clone_ = FindEventNode(true);
    // The driver's socket follows the clone closely; look for it for up to 10 s.
    for (int i = 0; i < 1000 && korvid::ListDriverSockets().empty(); ++i) ::usleep(10000);
    ASSERT_FALSE(korvid::ListDriverSockets().empty()) << "the driver published no socket";
  }
  void StopDriver() {
    if (driver_ <= 0) return;
    ::kill(driver_, SIGTERM);
    int status = 0;
    ::waitpid(driver_, &status, 0);
    driver_ = 0;
  }
  IOReturn SetAcceleration(std::int32_t value) {
    const auto sockets = korvid::ListDriverSockets();
    if (sockets.empty()) return kIOReturnNotFound;
    std::unique_ptr<DriverConnection> connection;
    IOReturn status = DriverConnection::Open(sockets.front(), kKvdU, connection);
    if (status != kIOReturnSuccess) return status;
    const std::uint64_t in[3] = {0, kKvSA, static_cast<std::uint32_t>(value)};
    std::uint64_t out[1] = {};
    status = connection->CallScalarMethod(0, in, out);
    connection->Close();
    return status;
  }

  static std::unique_ptr<TesselGadget> gadget_;
  static std::string source_;
  std::string clone_;
  pid_t driver_ = 0;
};
std::unique_ptr<TesselGadget> DriverOnRealKernel::gadget_;
std::string DriverOnRealKernel::source_;

TEST_F(DriverOnRealKernel, GrabsTheMouseAndItsCloneCarriesItsIds) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  const int fd = OpenEvdev(source_);
  ASSERT_GE(fd, 0);
  EXPECT_NE(::ioctl(fd, EVIOCGRAB, 1), 0) << "the mouse is not grabbed";
  input_id id{};
  const int cloneFd = OpenEvdev(clone_);
  ASSERT_GE(cloneFd, 0);
  ASSERT_EQ(::ioctl(cloneFd, EVIOCGID, &id), 0);
  EXPECT_EQ(id.vendor, kTesselVendorID);
  EXPECT_EQ(id.product, kTesselProductID);
  EXPECT_EQ(id.bustype, BUS_USB);

  StopDriver();
  EXPECT_EQ(::ioctl(fd, EVIOCGRAB, 1), 0) << "the grab outlived the driver";
  ::ioctl(fd, EVIOCGRAB, 0);
  EXPECT_TRUE(WaitForUevents("input", [] { return FindEventNode(true).empty(); })) << "the clone stayed";
  ::close(fd);
  ::close(cloneFd);
}

TEST_F(DriverOnRealKernel, MotionIsScaledByTheCurveButtonsAndWheelPassUnchanged) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  constexpr std::int32_t kAcceleration = 0x10000;  // 1.0
  ASSERT_EQ(SetAcceleration(kAcceleration), kIOReturnSuccess);
  const int fd = OpenEvdev(clone_);
  ASSERT_GE(fd, 0);

  // Reports 150 ms apart: each interval counts as the curve's longest, so the expected
  // output does not depend on the test machine's speed.
  const std::vector<std::pair<std::int16_t, std::int16_t>> motions = {
      {1000, -600}, {-37, 5}, {0, 120}, {250, 250}, {-1000, 0}, {3, 3}, {2000, 2000}};
  MotionAccelerator expected;
  expected.SetParameter(kAcceleration);
  std::int64_t t = 0;
  for (const auto& [dx, dy] : motions) {
    ASSERT_TRUE(gadget_->SendPointer(0, dx, dy, 0));
    Report r;
    ASSERT_TRUE(ReadReport(fd, r));
    t += AccelerationCurve::kMaxIntervalUs * 2;
    const auto out = expected.Apply(dx, dy, t);
    EXPECT_EQ(Sum(r, EV_REL, REL_X), out.dx) << dx << "," << dy;
    EXPECT_EQ(Sum(r, EV_REL, REL_Y), out.dy) << dx << "," << dy;
    ::usleep(150000);
  }
  // Buttons and the wheel, with no motion: exactly as the mouse reported them.
  ASSERT_TRUE(gadget_->SendPointer(0x5, 0, 0, -1));
  Report r;
  ASSERT_TRUE(ReadReport(fd, r));
  EXPECT_EQ(Sum(r, EV_KEY, BTN_LEFT), 1);
  EXPECT_EQ(Sum(r, EV_KEY, BTN_MIDDLE), 1);
  EXPECT_EQ(Sum(r, EV_KEY, BTN_RIGHT), 0);
  EXPECT_EQ(Sum(r, EV_REL, REL_WHEEL), -1);
  EXPECT_EQ(Sum(r, EV_REL, REL_X), 0);
  ASSERT_TRUE(gadget_->SendPointer(0, 0, 0, 0));
  ASSERT_TRUE(ReadReport(fd, r));
  EXPECT_EQ(Sum(r, EV_KEY, BTN_LEFT), 0);
  ::close(fd);
}

}  // namespace
}  // namespace korvid::kerneltest
