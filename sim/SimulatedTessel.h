// SPDX-License-Identifier: MIT
// A Korvid Tessel without hardware: plays the mouse's side of the feature-report protocol
// behind the same device handle as a real mouse. It keeps the settings, configuration and
// information blocks, checks every report it receives, logs all traffic and can be told to
// misbehave (busy, failing transfers, slow or failed commands, oversize replies, unplug).
//
// All public members lock one mutex, so a test may drive it from a worker thread.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Status.h"
#include "platform/usb/UsbDeviceInterface.h"

namespace korvid {

class SimulatedTessel : public UsbDeviceInterface {
 public:
  static constexpr std::size_t kReportSize = 90;
  static constexpr std::size_t kBlockSize = 80;
  using Report = std::array<std::uint8_t, kReportSize>;
  using Block = std::array<std::uint8_t, kBlockSize>;

  // What the mouse keeps between exchanges (and what a state file holds).
  struct State {
    Block settings{};       // command 5: selector, polling code, stage, X step, Y step
    Block configuration{};  // command 6: selector, lights, -, stage count, five stages...
    Block information{};    // command 2: firmware major at 32, minor at 33
    bool operator==(const State&) const = default;
  };

  // One control request as the mouse saw it. For a write, `bytes` is what the host sent;
  // for a read, what the mouse answered. `result` is the status the request returned.
  struct Transfer {
    bool write = false;
    Report bytes{};
    IOReturn result = kIOReturnSuccess;
  };

  SimulatedTessel();

  // The state the mouse ships with: selector 1, polling code 2, stage 3 at 1800 DPI,
  // the default configuration block, firmware 1.05.
  static State DefaultState();
  // The shipped configuration block, as the mouse keeps it.
  static const Block& DefaultConfiguration();

  // UsbDeviceInterface.
  IOReturn DeviceRequest(IOUSBDevRequest& request) override;
  std::uint16_t GetDeviceVendor() const override;
  std::uint16_t GetDeviceProduct() const override;
  std::uint16_t GetDeviceReleaseNumber() const override;
  std::uint32_t GetDeviceBusPowerAvailable() const override;
  std::uint32_t GetLocationID() const override;

  void SetDeviceVendor(std::uint16_t vendor);
  void SetDeviceProduct(std::uint16_t product);
  void SetDeviceReleaseNumber(std::uint16_t release);
  void SetDeviceBusPowerAvailable(std::uint32_t power);
  void SetLocationID(std::uint32_t location);

  // The mouse's blocks.
  State GetState() const;
  void SetState(const State& state);
  Block Settings() const;
  void SetSettings(const Block& block);
  Block Configuration() const;
  void SetConfiguration(const Block& block);
  Block Information() const;
  void SetInformation(const Block& block);
  void SetFirmwareVersion(std::uint8_t major, std::uint8_t minor);
  // The stage the mouse uses (settings byte 2, 1 if out of 1..5, capped by the
  // configuration's stage count when that is not 0) and that stage's X/Y steps.
  unsigned CurrentStage() const;
  std::uint16_t CurrentSteps() const;  // X step × 256 + Y step

  // Behaviour: how many replies of every command say "working" before the one that says
  // done, and which working status they carry (0 or 1).
  void SetWorkingPolls(int polls, std::uint8_t workingStatus = 1);

  // Faults, each for the next requests of its kind.
  void InjectBusyReads(int count);                          // idle reads show the busy flag
  void InjectFailedWrites(int count, IOReturn status);      // writes fail, nothing accepted
  void InjectFailedReads(int count, IOReturn status);       // reads fail, nothing returned
  void InjectWorkingPolls(int count);                       // extra status-1 replies
  // Blocks end with 3..255; with `carryData`, a failed read still brings the block it asked for.
  void InjectFailureStatus(std::uint8_t status, int count = 1, bool carryData = false);
  void InjectReplyDataLength(std::uint8_t length, int count = 1);  // dataLength in replies
  void UnplugAfter(int requests);  // after that many more requests: kIOReturnNoDevice
  void Unplug();
  void Replug();
  bool Plugged() const;

  // Every protocol violation seen in a received request, in words.
  std::size_t ViolationCount() const;
  std::vector<std::string> Violations() const;
  void ClearViolations();

  // Traffic log.
  std::vector<Transfer> Traffic() const;
  std::vector<Report> Writes() const;  // reports the mouse accepted, in order
  std::size_t RequestCount() const;  // every request since the last ClearTraffic, logged or not
  void ClearTraffic();
  void SetTrafficLogEnabled(bool enabled);

 private:
  enum class Phase { Idle, Working, Done };

  IOReturn HandleWrite(const Report& report);
  IOReturn HandleRead(Report& report);
  bool CheckReport(const Report& report);
  void Violation(std::string text);
  void FinishBlock();
  void Execute();
  void Log(bool write, const Report& bytes, IOReturn result);
  unsigned StageLocked() const;

  mutable std::mutex mutex_;
  State state_;
  std::uint16_t vendor_;
  std::uint16_t product_;
  std::uint16_t release_ = 0x0100;
  std::uint32_t busPower_ = 250;  // 500 mA
  std::uint32_t location_ = 0x01200000;

  // The exchange in progress.
  Phase phase_ = Phase::Idle;
  Report received_{};       // the block being worked on
  Report reply_{};          // what reads return once the block is done
  int workingLeft_ = 0;
  bool blockSequenceOpen_ = false;  // a multi-block command waits for lower blocks
  std::uint8_t sequenceCommand_ = 0;
  std::uint8_t sequenceRead_ = 0;
  unsigned nextBlockIndex_ = 0;
  std::array<std::uint8_t, 4096 + kBlockSize> assembly_{};  // a command's bytes by offset
  std::size_t assemblyLength_ = 0;

  // Behaviour and faults.
  int workingPolls_ = 0;
  std::uint8_t workingStatus_ = 1;
  int busyReads_ = 0;
  int failedWrites_ = 0;
  IOReturn failedWriteStatus_ = kIOReturnSuccess;
  int failedReads_ = 0;
  IOReturn failedReadStatus_ = kIOReturnSuccess;
  int extraWorking_ = 0;
  int failureStatusCount_ = 0;
  std::uint8_t failureStatus_ = 3;
  bool failureCarriesData_ = false;
  int replyLengthCount_ = 0;
  std::uint8_t replyLength_ = 80;
  int unplugAfter_ = -1;
  bool plugged_ = true;

  std::vector<std::string> violations_;
  std::vector<Transfer> traffic_;
  std::size_t requests_ = 0;
  bool logTraffic_ = true;
};

// The file that keeps a simulated mouse's state between runs:
// $XDG_STATE_HOME/korvid/simulated-tessel.state (default ~/.local/state/korvid/...).
std::string DefaultSimulatedTesselStatePath();

// A simulated mouse's state file, held under an exclusive advisory lock (on a ".lock" file
// beside it) for as long as this object lives, so a load-change-save by one process is
// not mixed with another's.
class SimulatedTesselStateFile {
 public:
  explicit SimulatedTesselStateFile(std::string path);
  ~SimulatedTesselStateFile();
  SimulatedTesselStateFile(const SimulatedTesselStateFile&) = delete;
  SimulatedTesselStateFile& operator=(const SimulatedTesselStateFile&) = delete;

  // Missing file: fnfErr, `state` untouched; unreadable or malformed: ioErr, untouched.
  OSStatus Load(SimulatedTessel::State& state) const;
  // Writes atomically (temporary file, fsync, rename), creating the folder when needed.
  OSStatus Save(const SimulatedTessel::State& state) const;

 private:
  std::string path_;
  int lockFd_ = -1;
};

// One-shot forms, each taking the lock for its own duration.
OSStatus LoadSimulatedTesselState(const std::string& path, SimulatedTessel::State& state);
OSStatus SaveSimulatedTesselState(const std::string& path, const SimulatedTessel::State& state);

}  // namespace korvid
