// SPDX-License-Identifier: MIT
// A Korvid Tessel on a real USB bus: a user-space USB gadget (gadgetfs, on the dummy_hcd
// controller of the kernel-test machine) with the mouse's ids and one HID interface: a
// pointer whose reports the test sends, and a vendor-defined 90-byte feature report
// answered by a SimulatedTessel. usbhid binds it, hidraw and evdev give it nodes, so our
// device handle, discovery and driver meet it as a real mouse.
//
// The gadget's control endpoint is served by a thread of its own; the simulated mouse
// locks itself, and the request log below is locked too.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimulatedTessel.h"

namespace korvid::kerneltest {

class TesselGadget {
 public:
  // One class request to the HID interface as it arrived over the wire: the setup packet
  // and, for SET_REPORT, the data stage (for GET_REPORT, what the mouse answered).
  struct ClassRequest {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
    std::vector<std::uint8_t> data;
  };

  // `gadgetfs` is where gadgetfs is mounted.
  explicit TesselGadget(std::shared_ptr<SimulatedTessel> mouse, std::string gadgetfs = "/dev/gadget");
  ~TesselGadget();
  TesselGadget(const TesselGadget&) = delete;
  TesselGadget& operator=(const TesselGadget&) = delete;

  // Connects the gadget to the bus: the host enumerates it from here on. False (with a
  // reason) when the controller cannot be had.
  bool Plug(std::string* error);
  // Disconnects it: the host sees the device go away.
  void Unplug();
  bool Plugged() const { return ep0_ >= 0; }
  // True once the host has chosen configuration 1.
  bool Configured() const { return configured_; }

  std::vector<ClassRequest> ClassRequests() const;
  void ClearClassRequests();
  // What went wrong on the gadget's side (stalls, failed transfers), in words.
  std::vector<std::string> Problems() const;

  // Sends one pointer report (buttons in bits 0..2) on the interrupt endpoint; returns
  // once the host has taken it. False when the host has not configured the gadget.
  bool SendPointer(std::uint8_t buttons, std::int16_t dx, std::int16_t dy, std::int8_t wheel);

  // The HID report descriptor the gadget gives: a three-button mouse with a wheel, and the
  // vendor-defined 90-byte feature report of the settings.
  static std::vector<std::uint8_t> ReportDescriptor();

 private:
  void Serve();
  void HandleSetup(const void* setupPacket);
  void Stall(bool in);
  void Ack();
  void EnableEndpoint();
  void DisableEndpoint();
  void Log(ClassRequest request);
  void Problem(std::string text);

  std::shared_ptr<SimulatedTessel> mouse_;
  std::string gadgetfs_;
  int ep0_ = -1;
  std::atomic<int> epIn_{-1};
  std::string epInName_;
  std::uint8_t epInAddress_ = 0;
  int stopPipe_[2] = {-1, -1};
  std::thread thread_;
  std::atomic<bool> configured_{false};
  mutable std::mutex logMutex_;
  std::vector<ClassRequest> log_;
  std::vector<std::string> problems_;
};

}  // namespace korvid::kerneltest
