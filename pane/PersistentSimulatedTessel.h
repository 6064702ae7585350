// SPDX-License-Identifier: MIT
// The simulated mouse of the settings window: starts from its state file (the shipped
// state when there is none, or it is damaged), takes up what another program wrote there
// before each request, and writes its state back after every request that changed it, so
// `tesselctl --simulated` and the window see each other's changes.
#pragma once

#include <string>

#include "sim/SimulatedTessel.h"

namespace korvid {

class PersistentSimulatedTessel final : public SimulatedTessel {
 public:
  explicit PersistentSimulatedTessel(std::string path);
  IOReturn DeviceRequest(IOUSBDevRequest& request) override;

 private:
  std::string path_;
  State saved_;
};

}  // namespace korvid
