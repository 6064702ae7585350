// SPDX-License-Identifier: MIT
// XInputPointers on a virtual X server (Xvfb). It has no libinput devices, but a client may
// give any device properties: the test plays xf86-input-libinput on XTEST pointers (the
// Tessel's ids and libinput's two settings), and plugs pointers in by adding master devices,
// each of which comes with an XTEST pointer of its own.
#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/desktop/XInputPointers.h"
#include "platform/events/testing/BusFixtures.h"
#include "platform/events/testing/QtTestLoop.h"

namespace korvid {
namespace {

using testing::ChildProcess;
using testing::RunUntil;
using testing::TestApplication;

class VirtualDisplay {
 public:
  bool Start() {
    const char* path = "/usr/bin/Xvfb";
    if (access(path, X_OK) != 0) return false;
    // Xvfb picks a free display and writes its number to our pipe once it is ready. It ends
    // when its last client goes, even if the test dies without stopping it.
    if (!server_.Start(path, {"-displayfd", "1", "-screen", "0", "320x240x24", "-nolisten", "tcp", "-terminate"}, {})) {
      return false;
    }
    std::string number;
    if (!server_.ReadLine(number) || number.empty()) return false;
    name_ = ":" + number;
    return true;
  }
  const std::string& Name() const { return name_; }

 private:
  ChildProcess server_;
  std::string name_;
};

// The test's own client: the input driver, and whoever changes a setting back.
class InputDriver {
 public:
  explicit InputDriver(const std::string& display) : connection_(xcb_connect(display.c_str(), nullptr)) {
    std::free(xcb_input_xi_query_version_reply(connection_, xcb_input_xi_query_version(connection_, 2, 2), nullptr));
    ids_ = Atom("Device Product ID");
    profile_ = Atom("libinput Accel Profile Enabled");
    speed_ = Atom("libinput Accel Speed");
    float_ = Atom("FLOAT");
  }
  ~InputDriver() { xcb_disconnect(connection_); }

  std::uint16_t Device(const std::string& name) {
    auto* reply = xcb_input_xi_query_device_reply(connection_, xcb_input_xi_query_device(connection_, 0), nullptr);
    std::uint16_t id = 0;
    for (auto it = xcb_input_xi_query_device_infos_iterator(reply); it.rem > 0; xcb_input_xi_device_info_next(&it)) {
      if (std::string(xcb_input_xi_device_info_name(it.data), it.data->name_len) == name) id = it.data->deviceid;
    }
    std::free(reply);
    return id;
  }
  // A new master pointer, with its XTEST pointer: "<name> XTEST pointer".
  std::uint16_t Plug(const std::string& name) {
    std::vector<std::uint8_t> change(sizeof(xcb_input_add_master_t) + (name.size() + 3) / 4 * 4, 0);
    xcb_input_add_master_t header{XCB_INPUT_HIERARCHY_CHANGE_TYPE_ADD_MASTER, static_cast<std::uint16_t>(change.size() / 4),
                                  static_cast<std::uint16_t>(name.size()), 1, 1};
    std::memcpy(change.data(), &header, sizeof header);
    std::memcpy(change.data() + sizeof header, name.data(), name.size());
    xcb_input_xi_change_hierarchy(connection_, 1, reinterpret_cast<const xcb_input_hierarchy_change_t*>(change.data()));
    return Device(name + " XTEST pointer");
  }
  void Give(std::uint16_t device, std::uint16_t vendor, std::uint16_t product, std::vector<std::uint8_t> profile,
            float speed) {
    const std::uint32_t ids[] = {vendor, product};
    xcb_input_xi_change_property(connection_, device, XCB_PROP_MODE_REPLACE, 32, ids_, XCB_ATOM_INTEGER, 2, ids);
    SetProfile(device, profile);
    SetSpeed(device, speed);
  }
  void SetProfile(std::uint16_t device, const std::vector<std::uint8_t>& profile) {
    std::vector<std::uint8_t> padded = profile;  // xcb sends (and reads) whole 4-byte units
    padded.resize((profile.size() + 3) / 4 * 4, 0);
    xcb_input_xi_change_property(connection_, device, XCB_PROP_MODE_REPLACE, 8, profile_, XCB_ATOM_INTEGER,
                                 static_cast<std::uint32_t>(profile.size()), padded.data());
    xcb_flush(connection_);
  }
  void SetSpeed(std::uint16_t device, float speed) {
    xcb_input_xi_change_property(connection_, device, XCB_PROP_MODE_REPLACE, 32, speed_, float_, 1, &speed);
    xcb_flush(connection_);
  }
  std::vector<std::uint8_t> Profile(std::uint16_t device) {
    const auto bytes = Property(device, profile_);
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
  }
  float Speed(std::uint16_t device) {
    const auto bytes = Property(device, speed_);
    float speed = -2;
    if (bytes.size() == sizeof speed) std::memcpy(&speed, bytes.data(), sizeof speed);
    return speed;
  }

 private:
  xcb_atom_t Atom(const char* name) {
    auto* reply = xcb_intern_atom_reply(
        connection_, xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply != nullptr ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
  }
  std::vector<char> Property(std::uint16_t device, xcb_atom_t property) {
    auto* reply = xcb_input_xi_get_property_reply(
        connection_, xcb_input_xi_get_property(connection_, device, 0, property, XCB_ATOM_ANY, 0, 16), nullptr);
    std::vector<char> bytes;
    if (reply != nullptr) {
      const auto* data = static_cast<const char*>(xcb_input_xi_get_property_items(reply));
      bytes.assign(data, data + reply->num_items * (reply->format / 8));
    }
    std::free(reply);
    return bytes;
  }

  xcb_connection_t* connection_;
  xcb_atom_t ids_ = 0, profile_ = 0, speed_ = 0, float_ = 0;
};

using Profile = std::vector<std::uint8_t>;

TEST(XInputKeeping, OnlyTheTesselPointersAreMadeFlatNowAsTheyComeAndAFewTimesMoreWhenChangedBack) {
  TestApplication();
  VirtualDisplay display;
  if (!display.Start()) GTEST_SKIP() << "no virtual X server (Xvfb)";
  InputDriver driver(display.Name());
  const std::uint16_t other = driver.Device("Virtual core XTEST pointer");
  ASSERT_NE(other, 0);
  driver.Give(other, 0x046D, 0xC08B, {1, 0}, 0.5f);
  const std::uint16_t tessel = driver.Plug("Korvid Tessel");
  ASSERT_NE(tessel, 0);
  driver.Give(tessel, 0x3A7C, 0x0D51, {1, 0, 0}, 0.25f);
  // The mouse's own node, already flat: left alone, and not reported.
  const std::uint16_t own = driver.Plug("Korvid Tessel Own");
  driver.Give(own, 0x3A7C, 0x0D51, {0, 1}, 0.0f);

  std::vector<std::string> log;
  XInputPointers pointers(display.Name().c_str(), [&](const std::string& line) { log.push_back(line); });
  ASSERT_TRUE(pointers.Connected());
  EXPECT_EQ(pointers.Read().desktop, "X11");
  EXPECT_EQ(pointers.Read().acceleration, DesktopAcceleration::kStacked);

  ASSERT_EQ(pointers.Keep(), noErr);
  EXPECT_EQ(driver.Profile(tessel), (Profile{0, 1, 0}));
  EXPECT_EQ(driver.Speed(tessel), 0.0f);
  EXPECT_EQ(driver.Profile(other), (Profile{1, 0}));
  EXPECT_EQ(driver.Speed(other), 0.5f);
  EXPECT_EQ(log, std::vector<std::string>{"the desktop's acceleration is now flat on X input device " +
                                          std::to_string(tessel) + " \"Korvid Tessel XTEST pointer\""});
  EXPECT_EQ(pointers.Read().acceleration, DesktopAcceleration::kFlat);

  // Plugged in later: another mouse, left alone, and a Tessel.
  const std::uint16_t mouse = driver.Plug("Mouse");
  driver.Give(mouse, 0x046D, 0xC52B, {1, 0}, 0.0f);
  const std::uint16_t later = driver.Plug("Tessel Wireless");
  driver.Give(later, 0x3A7C, 0x0D51, {1, 0}, -0.5f);
  ASSERT_TRUE(RunUntil([&] { return driver.Profile(later) == Profile{0, 1} && driver.Speed(later) == 0.0f; }));
  EXPECT_EQ(driver.Profile(mouse), (Profile{1, 0}));
  EXPECT_EQ(pointers.Read().acceleration, DesktopAcceleration::kFlat);

  // Someone sets the first one back, each time after it was made flat again...
  for (int i = 1; i <= kMaxFlatAgain; ++i) {
    driver.SetProfile(tessel, {1, 0, 0});
    ASSERT_TRUE(RunUntil([&] { return driver.Profile(tessel) == Profile{0, 1, 0}; })) << i;
  }
  // ...and once more: then the keeper leaves it, and says so.
  driver.SetSpeed(tessel, 0.75f);
  const std::string givenUp = "the desktop's acceleration on X input device " + std::to_string(tessel) +
                              " \"Korvid Tessel XTEST pointer\" keeps being changed back; leaving it as it is after 3 tries";
  ASSERT_TRUE(RunUntil([&] { return !log.empty() && log.back() == givenUp; }));
  EXPECT_EQ(driver.Speed(tessel), 0.75f);
  EXPECT_EQ(pointers.Read().acceleration, DesktopAcceleration::kStacked);
  EXPECT_EQ(log.size(), 2u + kMaxFlatAgain + 1u);
}

TEST(XInputKeeping, WithoutADisplayNothingIsKnown) {
  XInputPointers pointers(":4095");
  EXPECT_FALSE(pointers.Connected());
  EXPECT_EQ(pointers.Read().desktop, "X11");
  EXPECT_EQ(pointers.Read().acceleration, DesktopAcceleration::kUnknown);
  EXPECT_EQ(pointers.Keep(), connectionInvalid);
  EXPECT_EQ(pointers.SetGlobalProfileFlat(), paramErr);
}

}  // namespace
}  // namespace korvid
