// SPDX-License-Identifier: MIT
#include "sim/testing/SimulatedTesselAnswerer.h"

#include <cerrno>

namespace korvid::testing {

FeatureAnswerer AnswerWith(std::shared_ptr<SimulatedTessel> mouse) {
  return [mouse](bool isSet, std::span<std::uint8_t, 91> report) {
    IOUSBDevRequest request;
    request.bmRequestType = isSet ? 0x21 : 0xA1;
    request.bRequest = isSet ? 9 : 1;
    request.wValue = 0x0300;
    request.wIndex = report[0];  // the report ID byte; the mouse only knows report 0
    request.wLength = 90;
    request.pData = report.subspan<1, 90>();
    const IOReturn status = mouse->DeviceRequest(request);
    if (status == kIOReturnSuccess) return 0;
    return status == kIOReturnNoDevice ? ENODEV : EPIPE;
  };
}

}  // namespace korvid::testing
