// SPDX-License-Identifier: MIT
// A pointing service for tests of the driver classes and the daemon.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/TesselPointing.h"

namespace korvid {

class RecordingPointing final : public IOHIPointing {
 public:
  // Records each parameter in its dictionary form.
  IOReturn SetAcceleration(std::int32_t parameter) override {
    received_.push_back(AccelerationProperties(parameter));
    return kIOReturnSuccess;
  }
  const std::vector<OSDictionary>& Received() const { return received_; }

 private:
  std::vector<OSDictionary> received_;
};

}  // namespace korvid
