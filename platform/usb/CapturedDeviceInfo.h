// SPDX-License-Identifier: MIT
// Identity of one captured mouse, filled once when the mouse is found. The settings pane
// and the driver fill the same record, field for field.
#pragma once

#include <cstdint>

namespace korvid {

struct CapturedDeviceInfo {
  std::uint16_t vendorID = 0;    // always kTesselVendorID
  std::uint16_t productID = 0;   // always kTesselProductID
  std::uint16_t releaseNum = 0;  // device release number (BCD)
  std::uint16_t reserved1 = 0;
  std::uint32_t busPower = 0;    // bus power available, in mA (the driver leaves it 0)
  std::uint32_t locationID = 0;  // the pane: bus number and port path; the driver: USB address
  std::uint16_t deviceIndex = 0;
  std::uint16_t reserved2 = 0;
  std::uint32_t reserved3 = 0;
};
static_assert(sizeof(CapturedDeviceInfo) == 24);

}  // namespace korvid
