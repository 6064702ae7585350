#include "pane/PersistentSimulatedTessel.h"

namespace korvid {

PersistentSimulatedTessel::PersistentSimulatedTessel(std::string path) : path_(std::move(path)) {
  State state = DefaultState();
  if (LoadSimulatedTesselState(path_, state) != noErr) state = DefaultState();
  SetState(state);
  saved_ = state;
}

IOReturn PersistentSimulatedTessel::DeviceRequest(IOUSBDevRequest& request) {
  const IOReturn result = SimulatedTessel::DeviceRequest(request);
  const State now = GetState();
  if (!(now == saved_) && SaveSimulatedTesselState(path_, now) == noErr) saved_ = now;
  return result;
}

}  // namespace korvid
