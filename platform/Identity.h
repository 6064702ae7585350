// SPDX-License-Identifier: MIT
// Identifiers that several deliverables must agree on. Chosen once, here.
#pragma once

#include <cstdint>

namespace korvid {

// USB identity of the Korvid Tessel mouse.
inline constexpr std::uint16_t kTesselVendorID = 0x3A7C;
inline constexpr std::uint16_t kTesselProductID = 0x0D51;

// The user's preferences domain shared by the settings pane and the helper agent.
inline constexpr const char* kSettingsDomain = "com.korvid.tessel.settings";

// Bundle identifier of the driver.
inline constexpr const char* kDriverBundleID = "com.korvid.tessel.driver";

// Process (executable) names.
inline constexpr const char* kHelperProcessName = "KorvidTesselHelper";

}  // namespace korvid
