// SPDX-License-Identifier: MIT
// KorvidTesselHelper, the background helper: holds a user-client connection to every
// Tessel driver and pushes the acceleration (16.16 fixed point) to all of them half a
// second after each driver connects, whenever the frontmost application changes to one
// with another bundle identifier, and at once when the settings pane sends the control
// message KvdO/KvdC (which also replaces the value held here). A driver that answers an
// open or a scheduled push late is asked again, a few times (kDriverAttempts).
//
// Everything runs on the main loop; the platform comes in through HelperEnvironment.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "agent/Scheduler.h"
#include "driver/client/DriverWatcher.h"
#include "strings/PString.h"
#include "platform/FixedPoint.h"
#include "platform/Status.h"
#include "platform/events/EventPort.h"
#include "platform/files/PreferencesStore.h"
#include "platform/frontapp/FrontAppSource.h"
#include "platform/process/ProcessTable.h"

namespace korvid {

// One connected driver. The list is singly linked, in order of connection, and belongs
// to the helper that holds its head.
struct CapturedKorvidTesselRec {
  std::unique_ptr<CapturedKorvidTesselRec> next;
  io_connect_t connection = 0;  // the record's key
  io_object_t notification = 0;  // 0 until registered
};

// Delay between a driver's connection and the push it schedules.
inline constexpr std::chrono::milliseconds kDevicePushDelay{500};
// A driver that is still setting up its mouse may not answer an open or a push in time: it
// is asked again this much later, at most this many times in all, while it is there.
inline constexpr std::chrono::milliseconds kDriverRetryDelay{500};
inline constexpr int kDriverAttempts = 5;

// Calls scalar method `methodIndex` with the first `inputCount` of the four inputs
// (zero-extended to 64 bits) and `outputCount` outputs. kIOReturnBadArgument, without
// calling, when inputCount > 4, outputCount > 1, or outputCount is 1 and output is null.
// With one output, its low 32 bits go to *output.
IOReturn CallKextScalarMethod(DriverWatcher& drivers, io_connect_t connection, std::uint32_t methodIndex,
                              std::uint32_t inputCount, std::uint32_t outputCount, std::uint32_t input0,
                              std::uint32_t input1, std::uint32_t input2, std::uint32_t input3,
                              std::uint32_t* output);

// Calls method 0 of every driver in the list from the head with (connection, command,
// value); stops at the first failure and returns it, else 0 (also for an empty list).
// `output` (may be null) ends up holding the last called driver's output.
IOReturn SendControlToDevices(DriverWatcher& drivers, const CapturedKorvidTesselRec* list,
                              std::uint32_t command, std::int32_t value, std::int32_t* output);

// FindNamedProcess, skipping the calling process (and any process that cannot be told
// apart from it). 16-bit status, widened; procNotFound at the end of the list.
OSStatus FindOtherNamedProcess(ProcessTable& processes, ConstPString name, ProcessSerialNumber* psn);

struct HelperEnvironment {
  ProcessTable& processes;
  EventPort& events;
  DriverWatcher& drivers;
  FrontAppSource& frontApp;
  Scheduler& scheduler;
  const PreferencesStore& preferences;
  // Quits the application; runs ApplicationWillTerminate first. Start-up stops here.
  std::function<void()> terminate;
};

class KorvidTesselHelper {
 public:
  explicit KorvidTesselHelper(HelperEnvironment environment);
  virtual ~KorvidTesselHelper();
  KorvidTesselHelper(const KorvidTesselHelper&) = delete;
  KorvidTesselHelper& operator=(const KorvidTesselHelper&) = delete;

  // Start-up: single instance, stored acceleration, control-message handler, front-switch
  // handler, device handling.
  void AwakeFromNib();
  void ApplicationWillTerminate();

  OSStatus InstallAppChangeNotification();
  void KorvidTesselFrontAppChanged();
  void SendAccelerationToDevices();
  void PushAcceleration(int attemptsLeft);
  void StartHandlingDevices();
  void StopHandlingDevices();
  void DeviceAdded(const std::string& service);
  void OpenDevice(const std::string& service, int attemptsLeft);
  void DeviceRemoved(const std::string& service);
  void KorvidTesselMessage(CapturedKorvidTesselRec* record, std::uint32_t message);

  CapturedKorvidTesselRec* AddCapturedDevice(io_connect_t connection);
  CapturedKorvidTesselRec* FindCapturedDevice(io_connect_t connection) const;
  void RemoveCapturedDevice(io_connect_t connection);

  // The control message's handler (event KvdO/KvdC).
  OSErr HandleControlMessage(const AppleEvent& event, AppleEvent& reply);

  std::int32_t Acceleration() const { return fAcceleration; }
  bool HandlingDevices() const { return fHandlingDevices; }
  std::uint16_t CapturedDeviceCount() const { return fCapturedDeviceCount; }
  const CapturedKorvidTesselRec* CapturedDeviceList() const { return fCapturedDeviceList.get(); }
  const std::string& FrontAppBundleID() const { return fFrontAppBundleID; }
  bool Terminating() const { return fTerminating; }

 protected:
  // Makes a record; null when there is no memory for one.
  virtual std::unique_ptr<CapturedKorvidTesselRec> NewRecord();

 private:
  void ReadStoredAcceleration();

  HelperEnvironment fEnvironment;
  std::string fFrontAppBundleID;
  bool fHandlingDevices = false;
  std::uint16_t fCapturedDeviceCount = 0;
  std::unique_ptr<CapturedKorvidTesselRec> fCapturedDeviceList;
  std::int32_t fAcceleration = 0;
  bool fTerminating = false;
};

// The one helper of the process, set by AwakeFromNib (its handlers capture the helper
// itself and never go through here).
extern KorvidTesselHelper* gKorvidTesselHelper;

}  // namespace korvid
