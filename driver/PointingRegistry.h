// SPDX-License-Identifier: MIT
// The registry face of a mouse's pointing service, the way the platform knows it: the
// service is found below its driver by name, and it takes its acceleration as the 4-byte
// property "HIDMouseAcceleration" of a parameter dictionary. Inside the daemon the driver
// holds its pointing service and hands it the parameter as a number
// (IOHIPointing::SetAcceleration); names and dictionaries are spoken only here.
#pragma once

#include <cstdint>

#include "driver/IOKitStandIns.h"
#include "platform/Status.h"

namespace korvid {

// Key of the pointing service's acceleration parameter: 4 bytes, 16.16 fixed point.
inline constexpr const char* kHIDMouseAccelerationKey = "HIDMouseAcceleration";

// The parameter dictionary that sets the acceleration to `value`: its 4 bytes in host
// byte order under "HIDMouseAcceleration".
OSDictionary AccelerationProperties(std::int32_t value);

// Reads "HIDMouseAcceleration" from a parameter dictionary: kIOReturnSuccess with the
// value when it holds exactly 4 bytes, kIOReturnNotFound when absent, kIOReturnBadArgument
// for any other size.
IOReturn ReadAccelerationParameter(const OSDictionary& properties, std::int32_t& value);

// The first entry below `driver` (depth first, children in attach order, entries without
// a name skipped) named "IOHIDPointing" or "IOHIPointing", as a pointing service; null
// when there is none or the first such entry is not one (the search does not go on).
IOHIPointing* FindPointingByName(const IORegistryEntry& driver);

}  // namespace korvid
