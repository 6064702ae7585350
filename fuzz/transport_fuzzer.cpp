// SPDX-License-Identifier: MIT
// A mouse that answers anything: every GET_REPORT reply (and every request's status) comes
// from the input, and the settings are read and written through it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/Sleeper.h"
#include "protocol/Settings.h"
#include "protocol/Transport.h"

namespace {

class ScriptedMouse final : public korvid::UsbDeviceInterface {
 public:
  explicit ScriptedMouse(std::span<const std::uint8_t> script) : script_(script) {}
  korvid::IOReturn DeviceRequest(korvid::IOUSBDevRequest& request) override {
    if (script_.empty()) return korvid::kIOReturnNoDevice;
    const std::uint8_t choice = script_[0];
    script_ = script_.subspan(1);
    if (choice % 16 == 0) return korvid::kIOReturnNotResponding;
    if (request.pData.size() < request.wLength) return korvid::kIOReturnBadArgument;
    if ((request.bmRequestType & 0x80) != 0) {
      const std::size_t n = std::min<std::size_t>({request.wLength, script_.size(), korvid::CommandReport::kSize});
      std::copy_n(script_.begin(), n, request.pData.begin());
      script_ = script_.subspan(n);
      request.wLenDone = static_cast<std::uint32_t>(n);
    } else {
      request.wLenDone = request.wLength;
    }
    return korvid::kIOReturnSuccess;
  }
  std::uint16_t GetDeviceVendor() const override { return 0; }
  std::uint16_t GetDeviceProduct() const override { return 0; }
  std::uint16_t GetDeviceReleaseNumber() const override { return 0; }
  std::uint32_t GetDeviceBusPowerAvailable() const override { return 0; }
  std::uint32_t GetLocationID() const override { return 0; }

 private:
  std::span<const std::uint8_t> script_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ScriptedMouse mouse(std::span(data, size));
  korvid::VirtualSleeper sleeper;
  std::uint32_t value = 0;
  (void)korvid::KorvidTesselGetDPIChecked(&mouse, &value, sleeper);
  (void)korvid::KorvidTesselGetFirmwareVersChecked(&mouse, &value, sleeper);
  (void)korvid::KorvidTesselGetPollingRateChecked(&mouse, &value, sleeper);
  (void)korvid::KorvidTesselSetDPIChecked(&mouse, 0x4444, 0, sleeper);
  std::uint8_t buffer[4096 + 160] = {};
  (void)korvid::KorvidCommand(&mouse, true, 0x21, 400, buffer, sleeper);
  return 0;
}
