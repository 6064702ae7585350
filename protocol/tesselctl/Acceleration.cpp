// SPDX-License-Identifier: MIT
#include "protocol/tesselctl/Acceleration.h"

#include "pane/messages/ControlMessages.h"
#include "platform/FixedPoint.h"
#include "platform/FourCC.h"
#include "platform/Identity.h"

namespace korvid::tesselctl {

float StoredAcceleration(const PreferencesStore& preferences) {
  PropertyList domain;
  if (preferences.PersistentDomain(kSettingsDomain, domain) != noErr || !domain.IsDictionary()) return 0.0f;
  return domain.GetFloat("acceleration").value_or(0.0f);
}

int RunAcceleration(const Command& command, const PreferencesStore& preferences, ProcessTable& processes,
                    EventPort& events, std::ostream& out, std::ostream& err) {
  PropertyList domain;
  if (preferences.PersistentDomain(kSettingsDomain, domain) != noErr || !domain.IsDictionary()) {
    // No domain, or one that cannot be read: the window's defaults.
    domain = PropertyList::NewDictionary();
    domain.SetFloat("acceleration", 0.0f);
    domain.SetFloat("lastAcceleration", 1.0f);
  }
  const float current = domain.GetFloat("acceleration").value_or(0.0f);
  float next = 0.0f;
  switch (command.accelerationChange) {
    case AccelerationChange::kOff:
      if (current != 0.0f) domain.SetFloat("lastAcceleration", current);  // what "on" comes back to
      break;
    case AccelerationChange::kOn: {
      const float last = domain.GetFloat("lastAcceleration").value_or(0.0f);
      next = current != 0.0f ? current : last != 0.0f ? last : 1.0f;
      break;
    }
    case AccelerationChange::kValue:
      next = command.acceleration;
      break;
  }
  domain.SetFloat("acceleration", next);
  if (const OSStatus stored = preferences.SetPersistentDomain(kSettingsDomain, domain); stored != noErr) {
    err << "tesselctl: the acceleration was not changed: it cannot be stored in "
        << preferences.DomainFile(kSettingsDomain).string() << ": " << DescribeStatus(stored) << "\n";
    return kExitDeviceFailure;
  }

  const std::string done = next != 0.0f ? "Acceleration set to " + AccelerationText(next) : "Acceleration off";
  std::int32_t result = 0;
  const OSStatus sent = SendControlToKext(processes, events, MakeStr255(kHelperProcessName), kKvSA,
                                          AccelerationToFixed(next), &result);
  if (sent == noErr) {
    out << done << ": stored, and the acceleration helper applied it\n";
    return kExitOk;
  }
  out << done << ": stored\n";
  if (sent == procNotFound) {
    err << "tesselctl: no acceleration helper (KorvidTesselHelper) runs, so the pointer does not change yet; the "
           "helper applies the stored setting when it starts (at login, or when the settings window opens)\n";
    return kExitOk;
  }
  err << "tesselctl: the acceleration helper did not take it: " << DescribeStatus(sent)
      << "; it applies the stored setting when it next starts\n";
  return kExitDeviceFailure;
}

}  // namespace korvid::tesselctl
