// SPDX-License-Identifier: MIT
#include "protocol/Transport.h"

#include <algorithm>

namespace korvid {

namespace {

IOUSBDevRequest MakeRequest(bool write, CommandReport& report) {
  IOUSBDevRequest request;
  request.bmRequestType = write ? kSetReportRequestType : kGetReportRequestType;
  request.bRequest = write ? kSetReportRequest : kGetReportRequest;
  request.wValue = kFeatureReportValue;
  request.wIndex = 0;
  request.wLength = static_cast<std::uint16_t>(CommandReport::kSize);
  request.pData = std::span<std::uint8_t>(report.bytes);
  return request;
}

OSStatus WriteReport(UsbDeviceInterface* device, CommandReport& report) {
  IOUSBDevRequest request = MakeRequest(true, report);
  return KorvidDeviceRequest(device, &request);
}

OSStatus ReadReport(UsbDeviceInterface* device, CommandReport& report) {
  IOUSBDevRequest request = MakeRequest(false, report);
  return KorvidDeviceRequest(device, &request);
}

// Copies the data area of `report` (at most 80 bytes, as its dataLength says) to the
// block's place in the caller's buffer, which always has room for 80 bytes there, and
// returns how many bytes it copied.
std::size_t CopyBack(const CommandReport& report, std::span<std::uint8_t> blockArea) {
  const std::size_t count = std::min<std::size_t>(report.dataLength(), CommandReport::kDataSize);
  std::copy_n(report.bytes.begin() + CommandReport::kDataOffset, count, blockArea.begin());
  return count;
}

}  // namespace

std::uint8_t CommandReport::Checksum(std::span<const std::uint8_t, kSize> report) {
  std::uint8_t sum = report[kReadFlagOffset];
  for (std::size_t i = kReadFlagOffset + 1; i < kChecksumOffset; ++i) sum ^= report[i];
  return sum;
}

CommandReport CommandReport::Build(bool read, std::uint8_t command, std::uint16_t blockIndex,
                                   std::span<const std::uint8_t> blockData) {
  CommandReport report;
  const std::size_t length = std::min(blockData.size(), kDataSize);
  report.bytes[kRequestFlagOffset] = 1;
  report.bytes[kStatusOffset] = 0;
  report.bytes[kReadFlagOffset] = read ? 1 : 0;
  report.bytes[kCommandIdOffset] = command;
  report.bytes[kDataLengthOffset] = static_cast<std::uint8_t>(length);
  report.bytes[kBlockIndexHighOffset] = static_cast<std::uint8_t>(blockIndex >> 8);
  report.bytes[kBlockIndexLowOffset] = static_cast<std::uint8_t>(blockIndex & 0xFF);
  report.bytes[kReservedOffset] = 0;
  std::copy_n(blockData.begin(), length, report.bytes.begin() + kDataOffset);
  report.bytes[kChecksumOffset] = Checksum(report.bytes);
  report.bytes[kTrailerOffset] = 1;
  return report;
}

CommandReport CommandReport::ClearBusy() {
  CommandReport report;
  report.bytes[kRequestFlagOffset] = 1;
  report.bytes[kTrailerOffset] = 1;
  return report;
}

OSStatus KorvidDeviceRequest(UsbDeviceInterface* device, IOUSBDevRequest* request) {
  if (device == nullptr || request == nullptr) return kIOReturnNoDevice;
  request->wLenDone = 0;
  return device->DeviceRequest(*request);
}

OSStatus KorvidClearBusyFlag(UsbDeviceInterface* device, Sleeper& sleeper) {
  OSStatus status = kIOReturnNoDevice;
  for (int attempt = 0; attempt < kClearBusyAttempts; ++attempt) {
    CommandReport report = CommandReport::ClearBusy();
    status = WriteReport(device, report);
    if (status == kIOReturnSuccess) return status;
    sleeper.SleepMicroseconds(kRetrySleepMicroseconds);
  }
  return status;
}

OSStatus KorvidCommand(UsbDeviceInterface* device, bool read, std::uint8_t command,
                       std::uint16_t length, std::span<std::uint8_t> buffer, Sleeper& sleeper) {
  std::size_t replyBytes = 0;
  return KorvidCommand(device, read, command, length, buffer, replyBytes, sleeper);
}

OSStatus KorvidCommand(UsbDeviceInterface* device, bool read, std::uint8_t command,
                       std::uint16_t length, std::span<std::uint8_t> buffer, std::size_t& replyBytes,
                       Sleeper& sleeper) {
  replyBytes = 0;
  if (length > kMaxCommandLength) return paramErr;
  // Every block's reply may fill its whole 80-byte area, so the buffer must cover them all.
  if (buffer.data() == nullptr || buffer.size() < KorvidCommandBufferSize(length)) return paramErr;

  CommandReport report;

  // Wait until the mouse has finished any earlier exchange.
  bool free = false;
  for (int attempt = 0; attempt < kBusyWaitAttempts && !free; ++attempt) {
    if (ReadReport(device, report) == kIOReturnSuccess && report.requestFlag() != 1) {
      free = true;
    } else {
      sleeper.SleepMicroseconds(kRetrySleepMicroseconds);
    }
  }
  if (!free) return kCommandBusyTimeout;

  const std::size_t blocks = KorvidCommandBlockCount(length);
  std::size_t index = blocks - 1;
  std::size_t position = CommandReport::kDataSize * index;
  std::size_t blockLength = length - position;

  for (;;) {
    const std::span<std::uint8_t> blockArea = buffer.subspan(position, CommandReport::kDataSize);
    report = CommandReport::Build(read, command, static_cast<std::uint16_t>(index),
                                  blockArea.first(blockLength));

    OSStatus sendStatus = kIOReturnNoDevice;
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
      sendStatus = WriteReport(device, report);
      if (sendStatus == kIOReturnSuccess) break;
      sleeper.SleepMicroseconds(kRetrySleepMicroseconds);
    }
    if (sendStatus != kIOReturnSuccess) {
      CopyBack(report, blockArea);
      KorvidClearBusyFlag(device, sleeper);
      return sendStatus;
    }

    sleeper.SleepMicroseconds(kReplyPauseMicroseconds);

    bool finished = false;
    for (int attempt = 0; attempt < kPollAttempts; ++attempt) {
      if (ReadReport(device, report) == kIOReturnSuccess && report.status() > 1) {
        finished = true;
        break;
      }
      sleeper.SleepMicroseconds(kRetrySleepMicroseconds);
    }

    const std::size_t copied = CopyBack(report, blockArea);
    if (index == 0) replyBytes = copied;
    KorvidClearBusyFlag(device, sleeper);
    if (!finished || report.status() != kReplyStatusDone) return kCommandFailed;

    if (index == 0) return noErr;
    --index;
    position -= CommandReport::kDataSize;
    blockLength = CommandReport::kDataSize;
  }
}

}  // namespace korvid
