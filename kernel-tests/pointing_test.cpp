// SPDX-License-Identifier: MIT
// The driver daemon's pointing service on a real kernel: the Tessel gadget is a real USB
// mouse (usbhid, hid-input, evdev); korvid-tessel-driver grabs its evdev node and emits its
// events through a uinput clone. What comes out of the clone is checked against what the
// mouse sent. Then the same with our kernel module hid-korvid-tessel bound to the mouse:
// the curve applied in the kernel, on the mouse's own node, the daemon only writing the
// module's attribute. (The latency each adds per event is measured by latency_test.cpp.)
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
    ASSERT_NO_FATAL_FAILURE(MarkAsMouse(source_));
  }
  // The udev database entry udevd's input_id would write for a mouse.
  static void MarkAsMouse(const std::string& node) {
    struct stat st{};
    ASSERT_EQ(::stat(node.c_str(), &st), 0);
    fs::create_directories("/run/udev/data");
    std::ofstream("/run/udev/data/c" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)))
        << "I:1\nE:ID_INPUT=1\nE:ID_INPUT_MOUSE=1\n";
  }
  static void TearDownTestSuite() { gadget_.reset(); }

  void TearDown() override { StopDriver(); }

  // Starts korvid-tessel-driver, its standard error going to kDriverLog; without the
  // module it must make a clone.
  void StartDriver(bool expectClone = true) {
    const std::string self = fs::read_symlink("/proc/self/exe").parent_path() / "korvid-tessel-driver";
    char* argv[] = {const_cast<char*>(self.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, kDriverLog, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int spawned = ::posix_spawn(&driver_, self.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(spawned, 0);
    if (expectClone) {
      ASSERT_TRUE(WaitForUevents("input", [] { return !FindEventNode(true).empty(); })) << "no clone appeared";
      clone_ = FindEventNode(true);
    }
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

  static constexpr const char* kDriverLog = "/tmp/korvid-tessel-driver.log";
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

// Moves the gadget mouse and reads each report from the evdev node `fd`: motion scaled
// as the curve predicts for `acceleration`, buttons and wheel unchanged.
void ExpectCurveOnNode(TesselGadget& gadget, int fd, std::int32_t acceleration) {
  // Reports 150 ms apart: each interval counts as the curve's longest, so the expected
  // output does not depend on the test machine's speed.
  const std::vector<std::pair<std::int16_t, std::int16_t>> motions = {
      {1000, -600}, {-37, 5}, {0, 120}, {250, 250}, {-1000, 0}, {3, 3}, {2000, 2000}};
  MotionAccelerator expected;
  expected.SetParameter(acceleration);
  std::int64_t t = 0;
  for (const auto& [dx, dy] : motions) {
    ASSERT_TRUE(gadget.SendPointer(0, dx, dy, 0));
    Report r;
    ASSERT_TRUE(ReadReport(fd, r));
    t += AccelerationCurve::kMaxIntervalUs * 2;
    const auto out = expected.Apply(dx, dy, t);
    EXPECT_EQ(Sum(r, EV_REL, REL_X), out.dx) << dx << "," << dy;
    EXPECT_EQ(Sum(r, EV_REL, REL_Y), out.dy) << dx << "," << dy;
    ::usleep(150000);
  }
  // Buttons and the wheel, with no motion: exactly as the mouse reported them.
  ASSERT_TRUE(gadget.SendPointer(0x5, 0, 0, -1));
  Report r;
  ASSERT_TRUE(ReadReport(fd, r));
  EXPECT_EQ(Sum(r, EV_KEY, BTN_LEFT), 1);
  EXPECT_EQ(Sum(r, EV_KEY, BTN_MIDDLE), 1);
  EXPECT_EQ(Sum(r, EV_KEY, BTN_RIGHT), 0);
  EXPECT_EQ(Sum(r, EV_REL, REL_WHEEL), -1);
  EXPECT_EQ(Sum(r, EV_REL, REL_X), 0);
  ASSERT_TRUE(gadget.SendPointer(0, 0, 0, 0));
  ASSERT_TRUE(ReadReport(fd, r));
  EXPECT_EQ(Sum(r, EV_KEY, BTN_LEFT), 0);
}

TEST_F(DriverOnRealKernel, MotionIsScaledByTheCurveButtonsAndWheelPassUnchanged) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  constexpr std::int32_t kAcceleration = 0x10000;  // 1.0
  ASSERT_EQ(SetAcceleration(kAcceleration), kIOReturnSuccess);
  const int fd = OpenEvdev(clone_);
  ASSERT_GE(fd, 0);
  ExpectCurveOnNode(*gadget_, fd, kAcceleration);
  ::close(fd);
}

// The kernel module hid-korvid-tessel, loaded while the mouse is attached, takes it from
// hid-generic, applies the same curve to the mouse's own evdev node and is driven by the
// daemon through its attribute; unloaded, it gives the mouse back to hid-generic.
std::string ModuleAttribute() {
  const auto bindings = TesselHidBindings();
  return bindings.size() == 1 ? bindings.front().device + "/korvid_acceleration" : std::string();
}

bool WriteAttribute(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return written;
}

bool BoundTo(const std::string& driver) {
  const auto bindings = TesselHidBindings();
  return bindings.size() == 1 && bindings.front().driver == driver && !FindEventNode(false).empty();
}

// The latency the daemon adds, measured on the gadget mouse as the system tests measure the
// installed daemon under systemd: printed for comparison, never asserted.
TEST_F(DriverOnRealKernel, GadgetLatencyWithAndWithoutTheDriverIsPrinted) {
  const GadgetLatency mouse = MeasureGadgetLatency(*gadget_, false, 500);
  ASSERT_EQ(mouse.error, "");
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  const GadgetLatency clone = MeasureGadgetLatency(*gadget_, true, 500);
  ASSERT_EQ(clone.error, "");
  std::printf("kernel-tests: gadget latency: mouse's own node median %.0f us, p99 %.0f us; "
              "driver's clone median %.0f us, p99 %.0f us; added median %.0f us\n",
              mouse.medianUs, mouse.p99Us, clone.medianUs, clone.p99Us, clone.medianUs - mouse.medianUs);
}

TEST_F(DriverOnRealKernel, TheModuleTakesTheMouseAndScalesMotionOnItsOwnNode) {
  std::string error;
  ASSERT_TRUE(LoadTesselModule(&error)) << error;
  ASSERT_TRUE(WaitForUevents("input", [] { return BoundTo("hid-korvid-tessel"); })) << "the module did not bind";
  source_ = FindEventNode(false);
  ASSERT_NO_FATAL_FAILURE(MarkAsMouse(source_));
  EXPECT_TRUE(WaitForUevents("hidraw", [] { return EnumerateTessels().size() == 1; })) << "no hidraw node";

  // The attribute: read back as written, anything but one decimal 32-bit number refused.
  const std::string attribute = ModuleAttribute();
  EXPECT_EQ(ReadText(attribute), "0");
  for (const std::string text : {"-45056\n", "2147483647", "-2147483648"}) {
    ASSERT_TRUE(WriteAttribute(attribute, text)) << text;
    EXPECT_EQ(ReadText(attribute), text.substr(0, text.find('\n')));
  }
  for (const char* bad : {"abc", "1.5", "0x10000", "2147483648", "65536 7", "-"}) {
    EXPECT_FALSE(WriteAttribute(attribute, bad)) << bad;
    EXPECT_EQ(errno, EINVAL) << bad;
    EXPECT_EQ(ReadText(attribute), "-2147483648") << bad;
  }
  constexpr std::int32_t kAcceleration = 45056;
  ASSERT_TRUE(WriteAttribute(attribute, std::to_string(kAcceleration)));

  const int fd = OpenEvdev(source_);
  ASSERT_GE(fd, 0);
  ExpectCurveOnNode(*gadget_, fd, kAcceleration);
  ::close(fd);
}

TEST_F(DriverOnRealKernel, WithTheModuleTheDaemonWritesItsAttributeAndNeitherGrabsNorClones) {
  ASSERT_TRUE(BoundTo("hid-korvid-tessel"));
  ASSERT_NO_FATAL_FAILURE(StartDriver(false));
  ASSERT_EQ(SetAcceleration(0x18000), kIOReturnSuccess);
  EXPECT_EQ(ReadText(ModuleAttribute()), std::to_string(0x18000));
  EXPECT_TRUE(FindEventNode(true).empty()) << "a clone was made";
  const int fd = OpenEvdev(source_);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::ioctl(fd, EVIOCGRAB, 1), 0) << "the mouse is grabbed";
  ::ioctl(fd, EVIOCGRAB, 0);
  ::close(fd);
  EXPECT_NE(ReadText(kDriverLog).find(fs::path(source_).filename().string() +
                                      " is accelerated in the kernel by hid-korvid-tessel"),
            std::string::npos)
      << ReadText(kDriverLog);
}

TEST_F(DriverOnRealKernel, UnloadingTheModuleGivesTheMouseBackToHidGeneric) {
  std::string error;
  ASSERT_TRUE(UnloadTesselModule(&error)) << error;
  ASSERT_TRUE(WaitForUevents("input", [] { return BoundTo("hid-generic"); })) << "hid-generic did not take it back";
  EXPECT_FALSE(fs::exists(ModuleAttribute()));
  source_ = FindEventNode(false);
  const int fd = OpenEvdev(source_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(gadget_->SendPointer(0, 1000, -600, 0));
  Report r;
  ASSERT_TRUE(ReadReport(fd, r));
  EXPECT_EQ(Sum(r, EV_REL, REL_X), 1000);
  EXPECT_EQ(Sum(r, EV_REL, REL_Y), -600);
  ::close(fd);
}

}  // namespace
}  // namespace korvid::kerneltest
