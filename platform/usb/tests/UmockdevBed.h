// SPDX-License-Identifier: MIT
// Test support: fake USB mice with hidraw nodes in a umockdev testbed. The test binary must
// run under umockdev-wrapper. The interface-0 node of each mouse answers feature-report
// ioctls through a FeatureAnswerer, called on a worker thread of the testbed while the
// caller blocks in ioctl().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace korvid::testing {

// Answers one feature ioctl: `report` is the 91-byte buffer (report ID byte first).
// Returns 0 (success; for a GET the reply is left in `report`) or an errno to fail with.
using FeatureAnswerer = std::function<int(bool isSet, std::span<std::uint8_t, 91> report)>;

struct FakeMouseSpec {
  std::string name = "1-2.3";     // sysfs name of the USB device
  std::uint16_t vendorID = 0;
  std::uint16_t productID = 0;
  std::string bcdDevice = "0105";
  std::string maxPower = "100mA";
  unsigned busNumber = 1;
  std::string portPath = "2.3";
  int interfaces = 1;               // interfaces 0..n-1, each with a hidraw node
};

struct FakeMouse {
  std::string usbSyspath;
  std::vector<std::string> hidrawSyspaths;  // one per interface, interface 0 first
  std::vector<std::string> devnodes;        // "/dev/hidrawN", as the program sees it
};

class UmockdevBed {
 public:
  UmockdevBed();
  ~UmockdevBed();
  UmockdevBed(const UmockdevBed&) = delete;
  UmockdevBed& operator=(const UmockdevBed&) = delete;

  // Adds the USB device, its interfaces, HID devices and hidraw nodes ("add" uevents go
  // out as each appears). Interface 0's node answers through `answerer`.
  FakeMouse Add(const FakeMouseSpec& spec, FeatureAnswerer answerer);
  // Sends "remove" for every node, then takes the devices away.
  void Remove(const FakeMouse& mouse);
  // Sends a bare uevent for a device.
  void Uevent(const std::string& syspath, const char* action);
  // Replaces the answerer of a mouse's interface-0 node.
  void SetAnswerer(const FakeMouse& mouse, FeatureAnswerer answerer);
  // Makes a node unreadable for the program (as without the udev rule).
  void DenyAccess(const FakeMouse& mouse);

  UMockdevTestbed* Testbed() { return testbed_; }
  std::string RootDir() const { return root_; }

  struct Node;  // one attached ioctl handler

 private:
  UMockdevTestbed* testbed_ = nullptr;
  std::string root_;
  int nextMinor_ = 0;
  std::vector<std::unique_ptr<Node>> nodes_;
};

// A tiny mouse that keeps the last written report and answers every read with it, status 2.
class EchoAnswerer {
 public:
  int operator()(bool isSet, std::span<std::uint8_t, 91> report);
  int sets = 0;
  int gets = 0;
  std::vector<std::uint8_t> lastSet;
  std::mutex mutex;
};

}  // namespace korvid::testing
