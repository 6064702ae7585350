// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <poll.h>
#include <unistd.h>

#include "platform/input/testing/FakeInputDevice.h"

namespace korvid {
namespace {

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

TEST(FakeInputDevice, HandsOutFedEventsInBatchesAndRecordsWrites) {
  FakeInputDevice device;
  device.SetReadBatch(2);
  device.Feed(MotionReport(10, 1, 2));
  std::vector<InputEvent> events;
  EXPECT_EQ(device.Read(events), kIOReturnSuccess);
  EXPECT_EQ(events.size(), 2u);
  EXPECT_EQ(device.Read(events), kIOReturnSuccess);
  EXPECT_EQ(events, MotionReport(10, 1, 2));
  EXPECT_EQ(device.Read(events), kIOReturnSuccess);
  EXPECT_EQ(events.size(), 3u);
  EXPECT_EQ(device.Write(events), kIOReturnSuccess);
  EXPECT_EQ(device.Written(), events);
  device.Unplug();
  EXPECT_EQ(device.Read(events), kIOReturnNoDevice);
  EXPECT_EQ(device.Write(events), kIOReturnNoDevice);
}

TEST(FakeInputDevice, APollableFakeIsReadableExactlyWhileEventsWait) {
  FakeInputDevice device(true);
  ASSERT_GE(device.PollFd(), 0);
  EXPECT_FALSE(Readable(device.PollFd()));
  device.SetReadBatch(2);
  device.Feed(MotionReport(10, 1, 2));
  EXPECT_TRUE(Readable(device.PollFd()));
  std::vector<InputEvent> events;
  device.Read(events);
  EXPECT_TRUE(Readable(device.PollFd()));
  device.Read(events);
  EXPECT_FALSE(Readable(device.PollFd()));
  device.Unplug();
  EXPECT_TRUE(Readable(device.PollFd()));
  EXPECT_EQ(FakeInputDevice().PollFd(), -1);
}

TEST(EvdevInputDevice, AMissingNodeIsAnErrorWithAReason) {
  std::string error;
  std::unique_ptr<InputDevice> device = std::make_unique<FakeInputDevice>();
  EXPECT_EQ(OpenGrabbedPointer("/nonexistent/event99", device, &error), kIOReturnNoDevice);
  EXPECT_EQ(device, nullptr);
  EXPECT_NE(error.find("/nonexistent/event99"), std::string::npos);
}

// Against the kernel: a uinput "mouse" stands in for the Tessel. Needs /dev/uinput.
TEST(EvdevInputDevice, GrabsTheMouseAndClonesIt) {
  if (access("/dev/uinput", R_OK | W_OK) != 0) GTEST_SKIP() << "no access to /dev/uinput";
  libevdev* mouse = libevdev_new();
  libevdev_set_name(mouse, "Test Tessel pointer");
  libevdev_set_id_vendor(mouse, 0x3A7C);
  libevdev_set_id_product(mouse, 0x0D51);
  libevdev_enable_event_code(mouse, EV_REL, REL_X, nullptr);
  libevdev_enable_event_code(mouse, EV_REL, REL_Y, nullptr);
  libevdev_enable_event_code(mouse, EV_KEY, BTN_LEFT, nullptr);
  libevdev_uinput* source = nullptr;
  ASSERT_EQ(libevdev_uinput_create_from_device(mouse, LIBEVDEV_UINPUT_OPEN_MANAGED, &source), 0);
  const char* node = libevdev_uinput_get_devnode(source);
  if (node == nullptr) {
    libevdev_uinput_destroy(source);
    libevdev_free(mouse);
    GTEST_SKIP() << "no device node for the uinput mouse";
  }
  std::string error;
  std::unique_ptr<InputDevice> grabbed;
  ASSERT_EQ(OpenGrabbedPointer(node, grabbed, &error), kIOReturnSuccess) << error;
  ASSERT_NE(grabbed, nullptr);
  // A second grab of the same mouse is refused while the first holds it.
  std::unique_ptr<InputDevice> second;
  EXPECT_EQ(OpenGrabbedPointer(node, second, &error), kIOReturnBusy);
  EXPECT_EQ(second, nullptr);

  libevdev_uinput_write_event(source, EV_REL, REL_X, 5);
  libevdev_uinput_write_event(source, EV_SYN, SYN_REPORT, 0);
  pollfd p{grabbed->PollFd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  std::vector<InputEvent> events;
  EXPECT_EQ(grabbed->Read(events), kIOReturnSuccess);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].code, kRelX);
  EXPECT_EQ(events[0].value, 5);
  EXPECT_EQ(grabbed->Write(events), kIOReturnSuccess);

  grabbed.reset();
  libevdev_uinput_destroy(source);
  libevdev_free(mouse);
}

}  // namespace
}  // namespace korvid
