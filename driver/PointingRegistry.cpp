// SPDX-License-Identifier: MIT
#include "driver/PointingRegistry.h"

#include <cstring>
#include <vector>

namespace korvid {

OSDictionary AccelerationProperties(std::int32_t value) {
  std::vector<std::uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);  // host byte order
  OSDictionary properties;
  properties.emplace(kHIDMouseAccelerationKey, std::move(bytes));
  return properties;
}

IOReturn ReadAccelerationParameter(const OSDictionary& properties, std::int32_t& value) {
  auto it = properties.find(kHIDMouseAccelerationKey);
  if (it == properties.end()) return kIOReturnNotFound;
  if (it->second.size() != sizeof value) return kIOReturnBadArgument;
  std::memcpy(&value, it->second.data(), sizeof value);
  return kIOReturnSuccess;
}

IOReturn IOHIPointing::setParamProperties(const OSDictionary& properties) {
  std::int32_t value = 0;
  const IOReturn status = ReadAccelerationParameter(properties, value);
  if (status == kIOReturnNotFound) return kIOReturnSuccess;  // nothing this service knows
  if (status != kIOReturnSuccess) return status;
  return SetAcceleration(value);
}

IOHIPointing* FindPointingByName(const IORegistryEntry& driver) {
  for (IORegistryEntry* entry : driver.EntriesBelow()) {
    if (entry->getName().empty()) continue;
    if (entry->compareName("IOHIDPointing") || entry->compareName("IOHIPointing")) {
      // The first entry with either name decides; the search does not go on.
      return dynamic_cast<IOHIPointing*>(entry);
    }
  }
  return nullptr;
}

}  // namespace korvid
