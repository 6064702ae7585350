// SPDX-License-Identifier: MIT
#include "sim/SimulatedTessel.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "platform/Identity.h"

namespace korvid {

namespace {

// Report layout, as the mouse reads it.
constexpr std::size_t kFlag = 0;
constexpr std::size_t kStatus = 1;
constexpr std::size_t kRead = 2;
constexpr std::size_t kCommand = 3;
constexpr std::size_t kLength = 4;
constexpr std::size_t kIndexHigh = 5;
constexpr std::size_t kIndexLow = 6;
constexpr std::size_t kReserved = 7;
constexpr std::size_t kData = 8;
constexpr std::size_t kChecksum = 88;
constexpr std::size_t kTrailer = 89;
constexpr unsigned kMaxBlocks = 52;  // 4096 bytes

constexpr std::uint8_t kStatusDone = 2;
constexpr std::uint8_t kStatusRefused = 3;

constexpr std::uint8_t kInformation = 2;
constexpr std::uint8_t kSettings = 5;
constexpr std::uint8_t kConfiguration = 6;

std::uint8_t Checksum(const SimulatedTessel::Report& report) {
  std::uint8_t sum = 0;
  for (std::size_t i = kRead; i < kChecksum; ++i) sum ^= report[i];
  return sum;
}

unsigned BlockIndex(const SimulatedTessel::Report& report) {
  return static_cast<unsigned>(report[kIndexHigh] << 8 | report[kIndexLow]);
}

bool IsClearBusy(const SimulatedTessel::Report& report) {
  if (report[kFlag] != 1 || report[kTrailer] != 1) return false;
  return std::all_of(report.begin() + 1, report.begin() + kTrailer, [](std::uint8_t b) { return b == 0; });
}

std::string Hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

}  // namespace

SimulatedTessel::SimulatedTessel()
    : state_(DefaultState()), vendor_(kTesselVendorID), product_(kTesselProductID) {}

const SimulatedTessel::Block& SimulatedTessel::DefaultConfiguration() {
  static const Block block = {
      0x01, 0x07, 0x03, 0x05, 0x1C, 0x1C, 0x2C, 0x2C, 0x44, 0x44, 0x9C, 0x9C, 0xDC, 0xDC,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x01, 0x01, 0x00, 0x00, 0x02, 0x02, 0x00, 0x00, 0x03, 0x03, 0x00, 0x00,
      0x04, 0x04, 0x00, 0x00, 0x05, 0x05, 0x00, 0x00, 0x06, 0x0B, 0x00, 0x00,
      0x07, 0x0C, 0x00, 0x00, 0x08, 0x08, 0x00, 0x00, 0x09, 0x09, 0x00, 0x00,
  };
  return block;
}

SimulatedTessel::State SimulatedTessel::DefaultState() {
  State state;
  state.settings[0] = 0x01;  // selector
  state.settings[1] = 2;     // polling code
  state.settings[2] = 3;     // stage 3: 1800 DPI
  state.settings[3] = 0x44;
  state.settings[4] = 0x44;
  state.configuration = DefaultConfiguration();
  static constexpr char kModel[] = "Korvid Tessel";
  std::copy(std::begin(kModel), std::end(kModel) - 1, state.information.begin());
  state.information[32] = 1;  // firmware 1.05
  state.information[33] = 5;
  return state;
}

// ---- identity -------------------------------------------------------------------------

std::uint16_t SimulatedTessel::GetDeviceVendor() const { std::lock_guard lock(mutex_); return vendor_; }
std::uint16_t SimulatedTessel::GetDeviceProduct() const { std::lock_guard lock(mutex_); return product_; }
std::uint16_t SimulatedTessel::GetDeviceReleaseNumber() const { std::lock_guard lock(mutex_); return release_; }
std::uint32_t SimulatedTessel::GetDeviceBusPowerAvailable() const { std::lock_guard lock(mutex_); return busPower_; }
std::uint32_t SimulatedTessel::GetLocationID() const { std::lock_guard lock(mutex_); return location_; }
void SimulatedTessel::SetDeviceVendor(std::uint16_t v) { std::lock_guard lock(mutex_); vendor_ = v; }
void SimulatedTessel::SetDeviceProduct(std::uint16_t p) { std::lock_guard lock(mutex_); product_ = p; }
void SimulatedTessel::SetDeviceReleaseNumber(std::uint16_t r) { std::lock_guard lock(mutex_); release_ = r; }
void SimulatedTessel::SetDeviceBusPowerAvailable(std::uint32_t p) { std::lock_guard lock(mutex_); busPower_ = p; }
void SimulatedTessel::SetLocationID(std::uint32_t l) { std::lock_guard lock(mutex_); location_ = l; }

// ---- blocks -----------------------------------------------------------------------------

SimulatedTessel::State SimulatedTessel::GetState() const { std::lock_guard lock(mutex_); return state_; }
void SimulatedTessel::SetState(const State& state) { std::lock_guard lock(mutex_); state_ = state; }
SimulatedTessel::Block SimulatedTessel::Settings() const { std::lock_guard lock(mutex_); return state_.settings; }
void SimulatedTessel::SetSettings(const Block& b) { std::lock_guard lock(mutex_); state_.settings = b; }
SimulatedTessel::Block SimulatedTessel::Configuration() const {
  std::lock_guard lock(mutex_);
  return state_.configuration;
}
void SimulatedTessel::SetConfiguration(const Block& b) { std::lock_guard lock(mutex_); state_.configuration = b; }
SimulatedTessel::Block SimulatedTessel::Information() const {
  std::lock_guard lock(mutex_);
  return state_.information;
}
void SimulatedTessel::SetInformation(const Block& b) { std::lock_guard lock(mutex_); state_.information = b; }
void SimulatedTessel::SetFirmwareVersion(std::uint8_t major, std::uint8_t minor) {
  std::lock_guard lock(mutex_);
  state_.information[32] = major;
  state_.information[33] = minor;
}

unsigned SimulatedTessel::CurrentStage() const {
  std::lock_guard lock(mutex_);
  return StageLocked();
}

unsigned SimulatedTessel::StageLocked() const {
  unsigned stage = state_.settings[2];
  if (stage < 1 || stage > 5) stage = 1;
  const unsigned count = state_.configuration[3];
  if (count != 0 && stage > count) stage = count;
  return stage;
}

std::uint16_t SimulatedTessel::CurrentSteps() const {
  std::lock_guard lock(mutex_);
  const unsigned stage = StageLocked();
  return static_cast<std::uint16_t>(state_.configuration[2 * stage + 2] << 8 | state_.configuration[2 * stage + 3]);
}

// ---- behaviour and faults ---------------------------------------------------------------

void SimulatedTessel::SetWorkingPolls(int polls, std::uint8_t workingStatus) {
  std::lock_guard lock(mutex_);
  workingPolls_ = std::max(polls, 0);
  workingStatus_ = workingStatus;
}
void SimulatedTessel::InjectBusyReads(int count) { std::lock_guard lock(mutex_); busyReads_ = count; }
void SimulatedTessel::InjectFailedWrites(int count, IOReturn status) {
  std::lock_guard lock(mutex_);
  failedWrites_ = count;
  failedWriteStatus_ = status;
}
void SimulatedTessel::InjectFailedReads(int count, IOReturn status) {
  std::lock_guard lock(mutex_);
  failedReads_ = count;
  failedReadStatus_ = status;
}
void SimulatedTessel::InjectWorkingPolls(int count) { std::lock_guard lock(mutex_); extraWorking_ = count; }
void SimulatedTessel::InjectFailureStatus(std::uint8_t status, int count, bool carryData) {
  std::lock_guard lock(mutex_);
  failureStatus_ = status;
  failureStatusCount_ = count;
  failureCarriesData_ = carryData;
}
void SimulatedTessel::InjectReplyDataLength(std::uint8_t length, int count) {
  std::lock_guard lock(mutex_);
  replyLength_ = length;
  replyLengthCount_ = count;
}
void SimulatedTessel::UnplugAfter(int requests) { std::lock_guard lock(mutex_); unplugAfter_ = requests; }
void SimulatedTessel::Unplug() { std::lock_guard lock(mutex_); plugged_ = false; }
void SimulatedTessel::Replug() {
  std::lock_guard lock(mutex_);
  plugged_ = true;
  unplugAfter_ = -1;
  phase_ = Phase::Idle;
  blockSequenceOpen_ = false;
}
bool SimulatedTessel::Plugged() const { std::lock_guard lock(mutex_); return plugged_; }

// ---- checks and log ---------------------------------------------------------------------

std::size_t SimulatedTessel::ViolationCount() const { std::lock_guard lock(mutex_); return violations_.size(); }
std::vector<std::string> SimulatedTessel::Violations() const { std::lock_guard lock(mutex_); return violations_; }
void SimulatedTessel::ClearViolations() { std::lock_guard lock(mutex_); violations_.clear(); }
std::vector<SimulatedTessel::Transfer> SimulatedTessel::Traffic() const {
  std::lock_guard lock(mutex_);
  return traffic_;
}
std::vector<SimulatedTessel::Report> SimulatedTessel::Writes() const {
  std::lock_guard lock(mutex_);
  std::vector<Report> writes;
  for (const Transfer& t : traffic_) {
    if (t.write && t.result == kIOReturnSuccess) writes.push_back(t.bytes);
  }
  return writes;
}
std::size_t SimulatedTessel::RequestCount() const { std::lock_guard lock(mutex_); return requests_; }
void SimulatedTessel::ClearTraffic() {
  std::lock_guard lock(mutex_);
  traffic_.clear();
  requests_ = 0;
}
void SimulatedTessel::SetTrafficLogEnabled(bool enabled) { std::lock_guard lock(mutex_); logTraffic_ = enabled; }

void SimulatedTessel::Violation(std::string text) {
  violations_.push_back("request " + std::to_string(requests_) + ": " + std::move(text));
}

void SimulatedTessel::Log(bool write, const Report& bytes, IOReturn result) {
  if (logTraffic_) traffic_.push_back(Transfer{write, bytes, result});
}

// ---- the protocol -----------------------------------------------------------------------

IOReturn SimulatedTessel::DeviceRequest(IOUSBDevRequest& request) {
  std::lock_guard lock(mutex_);
  ++requests_;
  if (unplugAfter_ == 0) plugged_ = false;
  if (unplugAfter_ > 0) --unplugAfter_;

  const bool write = request.bmRequestType == 0x21;
  Report bytes{};
  if (write && request.pData.size() >= kReportSize) std::copy_n(request.pData.begin(), kReportSize, bytes.begin());
  if (!plugged_) {
    Log(write, bytes, kIOReturnNoDevice);
    return kIOReturnNoDevice;
  }

  const bool isSet = request.bmRequestType == 0x21 && request.bRequest == 9;
  const bool isGet = request.bmRequestType == 0xA1 && request.bRequest == 1;
  if (!isSet && !isGet) {
    Violation("unknown request " + Hex(request.bmRequestType) + "/" + Hex(request.bRequest));
    Log(write, bytes, kIOReturnUnsupported);
    return kIOReturnUnsupported;
  }
  if (request.wValue != 0x0300) Violation("wValue " + Hex(request.wValue) + ", expected 0x0300");
  if (request.wIndex != 0) Violation("wIndex " + std::to_string(request.wIndex) + ", expected 0");
  if (request.wLenDone != 0) Violation("wLenDone not cleared before the request");
  if (request.wLength != kReportSize || request.pData.size() < kReportSize) {
    Violation("wLength " + std::to_string(request.wLength) + " with a " + std::to_string(request.pData.size()) +
              "-byte buffer, expected 90");
    Log(write, bytes, kIOReturnBadArgument);
    return kIOReturnBadArgument;
  }

  IOReturn result;
  if (isSet) {
    result = HandleWrite(bytes);
  } else {
    result = HandleRead(bytes);
    if (result == kIOReturnSuccess) std::copy(bytes.begin(), bytes.end(), request.pData.begin());
  }
  if (result == kIOReturnSuccess) request.wLenDone = kReportSize;
  Log(isSet, bytes, result);
  return result;
}

bool SimulatedTessel::CheckReport(const Report& report) {
  bool ok = true;
  auto fail = [&](std::string text) {
    Violation(std::move(text));
    ok = false;
  };
  if (report[kFlag] != 1) fail("request flag " + Hex(report[kFlag]) + ", expected 0x01");
  if (report[kStatus] != 0) fail("status byte " + Hex(report[kStatus]) + " in a host report");
  if (report[kRead] > 1) fail("read flag " + Hex(report[kRead]));
  if (report[kReserved] != 0) fail("reserved byte " + Hex(report[kReserved]) + ", expected 0");
  if (report[kTrailer] != 1) fail("trailer " + Hex(report[kTrailer]) + ", expected 0x01");
  if (report[kLength] > kBlockSize) {
    fail("data length " + std::to_string(report[kLength]) + " above 80");
  } else if (!std::all_of(report.begin() + kData + report[kLength], report.begin() + kChecksum,
                          [](std::uint8_t b) { return b == 0; })) {
    fail("data area not zero after its " + std::to_string(report[kLength]) + " bytes");
  }
  if (Checksum(report) != report[kChecksum]) {
    fail("checksum " + Hex(report[kChecksum]) + ", expected " + Hex(Checksum(report)));
  }
  if (BlockIndex(report) >= kMaxBlocks) fail("block index " + std::to_string(BlockIndex(report)) + " above 51");
  return ok;
}

IOReturn SimulatedTessel::HandleWrite(const Report& report) {
  const bool clearBusy = IsClearBusy(report);
  if (!clearBusy) CheckReport(report);
  if (failedWrites_ > 0) {
    --failedWrites_;
    return failedWriteStatus_;
  }

  if (clearBusy) {
    // Ends the exchange. A multi-block command stays open only after a block that succeeded.
    if (phase_ != Phase::Done || reply_[kStatus] != kStatusDone) blockSequenceOpen_ = false;
    phase_ = Phase::Idle;
    return kIOReturnSuccess;
  }

  if (phase_ != Phase::Idle) Violation("block sent before the previous exchange was cleared");
  const unsigned index = BlockIndex(report);
  const std::uint8_t length = std::min<std::uint8_t>(report[kLength], kBlockSize);
  if (blockSequenceOpen_) {
    if (report[kCommand] != sequenceCommand_ || report[kRead] != sequenceRead_) {
      Violation("command " + std::to_string(sequenceCommand_) + " abandoned before its block " +
                std::to_string(nextBlockIndex_));
      blockSequenceOpen_ = false;
    } else if (index != nextBlockIndex_) {
      Violation("block " + std::to_string(index) + " of command " + std::to_string(report[kCommand]) +
                " sent, expected block " + std::to_string(nextBlockIndex_));
      blockSequenceOpen_ = false;
    } else if (length != kBlockSize) {
      Violation("block " + std::to_string(index) + " carries " + std::to_string(length) +
                " bytes; only the first block sent may be short");
    }
  }
  if (!blockSequenceOpen_) {
    // The first block of a command: the highest index, holding the command's last bytes.
    if (index >= kMaxBlocks) return kIOReturnSuccess;  // already counted, nothing accepted
    if (index > 0 && length == 0) Violation("block " + std::to_string(index) + " of a command is empty");
    sequenceCommand_ = report[kCommand];
    sequenceRead_ = report[kRead];
    assemblyLength_ = index * kBlockSize + length;
    assembly_.fill(0);
  }
  if (index < kMaxBlocks) {
    std::copy_n(report.begin() + kData, length, assembly_.begin() + index * kBlockSize);
  }
  received_ = report;
  phase_ = Phase::Working;
  workingLeft_ = workingPolls_ + extraWorking_;
  extraWorking_ = 0;
  return kIOReturnSuccess;
}

IOReturn SimulatedTessel::HandleRead(Report& report) {
  if (failedReads_ > 0) {
    --failedReads_;
    return failedReadStatus_;
  }
  switch (phase_) {
    case Phase::Idle:
      report.fill(0);
      report[kTrailer] = 1;
      if (busyReads_ > 0) {
        --busyReads_;
        report[kFlag] = 1;
      }
      return kIOReturnSuccess;
    case Phase::Working:
      if (workingLeft_ > 0) {
        --workingLeft_;
        report = received_;
        report[kStatus] = workingStatus_;
        report[kChecksum] = Checksum(report);
        return kIOReturnSuccess;
      }
      FinishBlock();
      break;
    case Phase::Done:
      break;
  }
  report = reply_;
  return kIOReturnSuccess;
}

void SimulatedTessel::FinishBlock() {
  phase_ = Phase::Done;
  reply_ = received_;
  const unsigned index = BlockIndex(received_);
  if (failureStatusCount_ > 0) {
    --failureStatusCount_;
    if (failureCarriesData_ && index == 0 && sequenceRead_ != 0) Execute();
    reply_[kStatus] = failureStatus_;
    blockSequenceOpen_ = false;
  } else if (index > 0) {
    // A higher block taken in; the command runs when block 0 arrives.
    reply_[kStatus] = kStatusDone;
    blockSequenceOpen_ = true;
    nextBlockIndex_ = index - 1;
  } else {
    blockSequenceOpen_ = false;
    Execute();
  }
  if (replyLengthCount_ > 0) {
    --replyLengthCount_;
    reply_[kLength] = replyLength_;
  }
  reply_[kFlag] = 1;  // busy until the host clears it
  reply_[kChecksum] = Checksum(reply_);
  reply_[kTrailer] = 1;
}

void SimulatedTessel::Execute() {
  const bool read = sequenceRead_ != 0;
  const std::size_t length = std::min(assemblyLength_, kBlockSize);
  auto answer = [&](const Block& block) {
    reply_[kStatus] = kStatusDone;
    reply_[kLength] = kBlockSize;
    std::copy(block.begin(), block.end(), reply_.begin() + kData);
  };
  auto store = [&](Block& block) {
    std::copy_n(assembly_.begin(), length, block.begin());
    reply_[kStatus] = kStatusDone;  // the written bytes are echoed
  };
  const std::uint8_t selector = state_.settings[0];

  switch (sequenceCommand_) {
    case kSettings:
      if (read) answer(state_.settings); else store(state_.settings);
      return;
    case kConfiguration:
      if (assemblyLength_ == 0) {
        Violation("configuration block command without its selector byte");
      } else if (assembly_[0] != selector) {
        Violation("configuration selector " + Hex(assembly_[0]) + ", the mouse's is " + Hex(selector));
      }
      if (read) answer(state_.configuration); else store(state_.configuration);
      return;
    case kInformation:
      if (read) {
        answer(state_.information);
      } else {
        reply_[kStatus] = kStatusRefused;  // the information block cannot be written
      }
      return;
    default:
      reply_[kStatus] = kStatusDone;  // other commands are acknowledged with their bytes
      return;
  }
}

}  // namespace korvid
