// SPDX-License-Identifier: MIT
#include "agent/KorvidTesselHelper.h"

#include <cmath>
#include <cstdio>
#include <new>

#include "platform/FourCC.h"
#include "platform/Identity.h"

namespace korvid {

KorvidTesselHelper* gKorvidTesselHelper = nullptr;

IOReturn CallKextScalarMethod(DriverWatcher& drivers, io_connect_t connection, std::uint32_t methodIndex,
                              std::uint32_t inputCount, std::uint32_t outputCount, std::uint32_t input0,
                              std::uint32_t input1, std::uint32_t input2, std::uint32_t input3,
                              std::uint32_t* output) {
  if (inputCount > 4 || outputCount > 1 || (outputCount == 1 && output == nullptr)) return kIOReturnBadArgument;
  const std::uint64_t inputs[4] = {input0, input1, input2, input3};
  std::uint64_t outputs[1] = {0};
  const IOReturn status = drivers.CallScalarMethod(connection, methodIndex, std::span(inputs, inputCount),
                                                   std::span(outputs, outputCount));
  if (outputCount == 1 && output != nullptr) *output = static_cast<std::uint32_t>(outputs[0]);
  return status;
}

IOReturn SendControlToDevices(DriverWatcher& drivers, const CapturedKorvidTesselRec* list, std::uint32_t command,
                              std::int32_t value, std::int32_t* output) {
  std::uint32_t dummy = 0;
  for (const CapturedKorvidTesselRec* record = list; record != nullptr; record = record->next.get()) {
    std::uint32_t out = 0;
    const IOReturn status = CallKextScalarMethod(drivers, record->connection, 0, 3, 1, record->connection, command,
                                                 static_cast<std::uint32_t>(value), 0, output ? &out : &dummy);
    if (output != nullptr) *output = static_cast<std::int32_t>(out);
    if (status != kIOReturnSuccess) return status;
  }
  return kIOReturnSuccess;
}

OSStatus FindOtherNamedProcess(ProcessTable& processes, ConstPString name, ProcessSerialNumber* psn) {
  const ProcessSerialNumber self = processes.CurrentProcess();
  ProcessSerialNumber current{0, kNoProcess};
  for (;;) {
    if (const OSStatus status = processes.GetNextProcess(current); status != noErr) return Widen16(status);
    bool same = false;
    if (processes.SameProcess(current, self, same) != noErr || same) continue;
    ProcessName processName{};
    if (const OSStatus status = processes.GetProcessName(current, processName); status != noErr) {
      return Widen16(status);
    }
    if (PStringCmp(name, processName) != 0) continue;
    if (psn != nullptr) *psn = current;
    return noErr;
  }
}

KorvidTesselHelper::KorvidTesselHelper(HelperEnvironment environment) : fEnvironment(std::move(environment)) {}

KorvidTesselHelper::~KorvidTesselHelper() {
  StopHandlingDevices();
  if (gKorvidTesselHelper == this) {
    fEnvironment.events.RemoveEventHandler(kKvdO, kKvdC);
    gKorvidTesselHelper = nullptr;
  }
}

void KorvidTesselHelper::AwakeFromNib() {
  const Str255 name = MakeStr255(kHelperProcessName);
  if (FindOtherNamedProcess(fEnvironment.processes, name, nullptr) == noErr) {
    fTerminating = true;
    if (fEnvironment.terminate) fEnvironment.terminate();
    return;  // the application is quitting: nothing more to start
  }
  gKorvidTesselHelper = this;
  fAcceleration = 0;
  ReadStoredAcceleration();
  // Removed by the destructor, so the handler never outlives the helper.
  fEnvironment.events.InstallEventHandler(kKvdO, kKvdC, [this](const AppleEvent& event, AppleEvent& reply) -> OSErr {
    return HandleControlMessage(event, reply);
  });
  InstallAppChangeNotification();
  StartHandlingDevices();
}

void KorvidTesselHelper::ApplicationWillTerminate() { StopHandlingDevices(); }

void KorvidTesselHelper::ReadStoredAcceleration() {
  PropertyList domain;
  if (fEnvironment.preferences.PersistentDomain(kSettingsDomain, domain) != noErr) return;
  const std::optional<float> stored = domain.GetFloat("acceleration");
  if (!stored) return;
  const float x = *stored;
  if (x >= 0.0f && x <= 2.0f) fAcceleration = AccelerationToFixed(x);  // NaN fails both tests
}

OSErr KorvidTesselHelper::HandleControlMessage(const AppleEvent& event, AppleEvent& reply) {
  std::int32_t result = 0;
  std::uint32_t command = 0;
  std::int32_t value = 0;
  if (const OSStatus status = AEGetParamValue(event, keyDirectObject, typeMagnitude, command); status != noErr) {
    return static_cast<OSErr>(status);
  }
  if (const OSStatus status = AEGetParamValue(event, kKvdC, typeSInt32, value); status != noErr) {
    return static_cast<OSErr>(status);
  }
  if (command == kKvSA) fAcceleration = value;
  const IOReturn status = SendControlToDevices(fEnvironment.drivers, fCapturedDeviceList.get(), command, value, &result);
  if (Widen16(status) != noErr) return static_cast<OSErr>(Widen16(status));
  return static_cast<OSErr>(AEPutParamValue(reply, keyDirectObject, typeSInt32, result));
}

OSStatus KorvidTesselHelper::InstallAppChangeNotification() {
  fFrontAppBundleID.clear();
  fFrontAppBundleID.reserve(64);
  return fEnvironment.frontApp.InstallFrontSwitchHandler([this] { KorvidTesselFrontAppChanged(); });
}

void KorvidTesselHelper::KorvidTesselFrontAppChanged() {
  const std::optional<std::string> bundleID = fEnvironment.frontApp.ActiveBundleIdentifier();
  // An application without an identifier never equals the last one seen.
  if (bundleID && *bundleID == fFrontAppBundleID) return;
  fFrontAppBundleID = bundleID.value_or(std::string());
  SendAccelerationToDevices();
}

void KorvidTesselHelper::SendAccelerationToDevices() { PushAcceleration(kDriverAttempts); }

void KorvidTesselHelper::PushAcceleration(int attemptsLeft) {
  const IOReturn status =
      SendControlToDevices(fEnvironment.drivers, fCapturedDeviceList.get(), kKvSA, fAcceleration, nullptr);
  if (status == kIOReturnTimeout && attemptsLeft > 1) {
    // Not lost: pushed again (to every driver, with the value held then) once the busy one
    // may answer.
    fEnvironment.scheduler.After(kDriverRetryDelay, [this, attemptsLeft] {
      if (fHandlingDevices) PushAcceleration(attemptsLeft - 1);
    });
  } else if (status != kIOReturnSuccess) {
    std::fprintf(stderr, "KorvidTesselHelper: a driver refused the acceleration (0x%08x)\n",
                 static_cast<unsigned>(status));
  }
}

void KorvidTesselHelper::StartHandlingDevices() {
  if (fHandlingDevices) return;
  fHandlingDevices = true;
  // Drivers present now are reported before Start returns.
  fEnvironment.drivers.Start([this](const std::string& service) { DeviceAdded(service); },
                     [this](const std::string& service) { DeviceRemoved(service); });
}

void KorvidTesselHelper::StopHandlingDevices() {
  if (!fHandlingDevices) return;
  fHandlingDevices = false;
  fEnvironment.drivers.Stop();
}

void KorvidTesselHelper::DeviceAdded(const std::string& service) { OpenDevice(service, kDriverAttempts); }

void KorvidTesselHelper::OpenDevice(const std::string& service, int attemptsLeft) {
  io_connect_t connection = 0;
  const IOReturn opened = fEnvironment.drivers.Open(service, kKvdU, connection);
  if (opened == kIOReturnTimeout && attemptsLeft > 1) {
    // Not lost: a driver busy with its mouse (just plugged, just restarted) answers late.
    fEnvironment.scheduler.After(kDriverRetryDelay, [this, service, attemptsLeft] {
      if (fHandlingDevices) OpenDevice(service, attemptsLeft - 1);
    });
    return;
  }
  if (opened != kIOReturnSuccess || connection == 0) {
    std::fprintf(stderr, "KorvidTesselHelper: cannot open the driver %s (0x%08x)\n",
                 service.c_str(), static_cast<unsigned>(opened));
    return;
  }
  CapturedKorvidTesselRec* record = AddCapturedDevice(connection);
  if (record == nullptr) {
    fEnvironment.drivers.Close(connection);  // no record, no driver
    return;
  }
  io_object_t notification = 0;
  const IOReturn status = fEnvironment.drivers.AddInterestNotification(
      connection,
      [this, record](std::uint32_t message) { KorvidTesselMessage(record, message); },
      notification);
  if (status != kIOReturnSuccess) {
    // Its termination could never be heard; a dead driver left in the list would stop
    // every later push at itself.
    fEnvironment.drivers.Close(connection);
    RemoveCapturedDevice(connection);
    return;
  }
  record->notification = notification;
  // Each driver schedules its own push; it reads the acceleration when it runs.
  fEnvironment.scheduler.After(kDevicePushDelay, [this] { SendAccelerationToDevices(); });
}

void KorvidTesselHelper::DeviceRemoved(const std::string&) {
  // Records go when their own driver's termination message arrives.
}

void KorvidTesselHelper::KorvidTesselMessage(CapturedKorvidTesselRec* record, std::uint32_t message) {
  if (message != kIOMessageServiceIsTerminated || record == nullptr) return;
  if (FindCapturedDevice(record->connection) != record) return;  // not ours (any more)
  const io_connect_t connection = record->connection;
  if (record->notification != 0) fEnvironment.drivers.ReleaseNotification(record->notification);
  record->notification = 0;
  fEnvironment.drivers.Close(connection);
  RemoveCapturedDevice(connection);
}

std::unique_ptr<CapturedKorvidTesselRec> KorvidTesselHelper::NewRecord() {
  return std::unique_ptr<CapturedKorvidTesselRec>(new (std::nothrow) CapturedKorvidTesselRec());
}

CapturedKorvidTesselRec* KorvidTesselHelper::AddCapturedDevice(io_connect_t connection) {
  if (CapturedKorvidTesselRec* existing = FindCapturedDevice(connection)) return existing;
  std::unique_ptr<CapturedKorvidTesselRec> record = NewRecord();
  if (!record) return nullptr;
  record->connection = connection;
  std::unique_ptr<CapturedKorvidTesselRec>* tail = &fCapturedDeviceList;
  while (*tail) tail = &(*tail)->next;
  *tail = std::move(record);
  ++fCapturedDeviceCount;
  return tail->get();
}

CapturedKorvidTesselRec* KorvidTesselHelper::FindCapturedDevice(io_connect_t connection) const {
  for (CapturedKorvidTesselRec* record = fCapturedDeviceList.get(); record != nullptr; record = record->next.get()) {
    if (record->connection == connection) return record;
  }
  return nullptr;
}

void KorvidTesselHelper::RemoveCapturedDevice(io_connect_t connection) {
  for (std::unique_ptr<CapturedKorvidTesselRec>* link = &fCapturedDeviceList; *link; link = &(*link)->next) {
    if ((*link)->connection != connection) continue;
    std::unique_ptr<CapturedKorvidTesselRec> removed = std::move(*link);
    *link = std::move(removed->next);
    if (fCapturedDeviceCount > 0) --fCapturedDeviceCount;
    return;
  }
}

}  // namespace korvid
