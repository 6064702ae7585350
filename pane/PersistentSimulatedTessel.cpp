// SPDX-License-Identifier: MIT
#include "pane/PersistentSimulatedTessel.h"

namespace korvid {

PersistentSimulatedTessel::PersistentSimulatedTessel(std::string path) : path_(std::move(path)) {
  State state = DefaultState();
  if (LoadSimulatedTesselState(path_, state) != noErr) state = DefaultState();
  SetState(state);
  saved_ = state;
}

IOReturn PersistentSimulatedTessel::DeviceRequest(IOUSBDevRequest& request) {
  // Another program (tesselctl --simulated) may have changed the mouse meanwhile, as a
  // real mouse may be changed by another program: its file is the mouse.
  State stored;
  if (LoadSimulatedTesselState(path_, stored) == noErr && !(stored == saved_)) {
    SetState(stored);
    saved_ = stored;
  }
  const IOReturn result = SimulatedTessel::DeviceRequest(request);
  const State now = GetState();
  if (!(now == saved_) && SaveSimulatedTesselState(path_, now) == noErr) saved_ = now;
  return result;
}

}  // namespace korvid
