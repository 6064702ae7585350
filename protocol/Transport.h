// SPDX-License-Identifier: MIT
// Feature-report command transport: every setting of the mouse travels in 90-byte HID
// feature reports, cut into blocks of at most 80 bytes, sent with SET_REPORT and answered
// through GET_REPORT on the default pipe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/Sleeper.h"
#include "platform/Status.h"
#include "platform/usb/UsbDeviceInterface.h"

namespace korvid {

// The 90-byte feature report, as it travels on the wire.
struct CommandReport {
  static constexpr std::size_t kSize = 90;
  static constexpr std::size_t kRequestFlagOffset = 0;  // host: 1; mouse: 1 = busy
  static constexpr std::size_t kStatusOffset = 1;       // 0/1 working, 2 done, 3..255 failed
  static constexpr std::size_t kReadFlagOffset = 2;     // 1 = the command reads a block
  static constexpr std::size_t kCommandIdOffset = 3;
  static constexpr std::size_t kDataLengthOffset = 4;   // 0..80 (replies: above 80 counts as 80)
  static constexpr std::size_t kBlockIndexHighOffset = 5;
  static constexpr std::size_t kBlockIndexLowOffset = 6;
  static constexpr std::size_t kReservedOffset = 7;
  static constexpr std::size_t kDataOffset = 8;
  static constexpr std::size_t kDataSize = 80;
  static constexpr std::size_t kChecksumOffset = 88;    // XOR of bytes 2..87
  static constexpr std::size_t kTrailerOffset = 89;     // always 1

  std::array<std::uint8_t, kSize> bytes{};

  void Clear() { bytes.fill(0); }
  std::uint8_t requestFlag() const { return bytes[kRequestFlagOffset]; }
  std::uint8_t status() const { return bytes[kStatusOffset]; }
  std::uint8_t dataLength() const { return bytes[kDataLengthOffset]; }
  std::uint16_t blockIndex() const {
    return static_cast<std::uint16_t>((bytes[kBlockIndexHighOffset] << 8) | bytes[kBlockIndexLowOffset]);
  }
  std::span<std::uint8_t, kDataSize> data() {
    return std::span<std::uint8_t, kDataSize>(bytes.data() + kDataOffset, kDataSize);
  }
  std::span<const std::uint8_t, kDataSize> data() const {
    return std::span<const std::uint8_t, kDataSize>(bytes.data() + kDataOffset, kDataSize);
  }

  // XOR of bytes 2 through 87.
  static std::uint8_t Checksum(std::span<const std::uint8_t, kSize> report);
  // Builds the report of one block from zeros: flag, direction, command, length, index,
  // the block's bytes, checksum and trailer.
  static CommandReport Build(bool read, std::uint8_t command, std::uint16_t blockIndex,
                             std::span<const std::uint8_t> blockData);
  // Request flag 1, trailer 1, every other byte 0.
  static CommandReport ClearBusy();
};

// Protocol constants.
inline constexpr std::uint16_t kMaxCommandLength = 4096;
inline constexpr int kBusyWaitAttempts = 250;
inline constexpr int kSendAttempts = 250;
inline constexpr int kPollAttempts = 250;
inline constexpr int kClearBusyAttempts = 10;
inline constexpr std::uint32_t kRetrySleepMicroseconds = 1000;      // after each failed attempt
inline constexpr std::uint32_t kReplyPauseMicroseconds = 100000;    // between send and poll
inline constexpr std::uint8_t kReplyStatusDone = 2;

// The two control requests, both on report type Feature, report ID 0, interface 0.
inline constexpr std::uint8_t kSetReportRequestType = 0x21;  // host to device, class, interface
inline constexpr std::uint8_t kSetReportRequest = 9;
inline constexpr std::uint8_t kGetReportRequestType = 0xA1;  // device to host, class, interface
inline constexpr std::uint8_t kGetReportRequest = 1;
inline constexpr std::uint16_t kFeatureReportValue = 0x0300;

// Number of blocks of a command of `length` bytes: 1 for 0, else (length - 1) / 80 + 1.
constexpr std::size_t KorvidCommandBlockCount(std::uint16_t length) {
  return length == 0 ? 1 : (static_cast<std::size_t>(length) - 1) / CommandReport::kDataSize + 1;
}
// Bytes a caller's buffer must hold for a command of `length` bytes: every block's whole
// 80-byte reply area, so at least 80 even for an empty command.
constexpr std::size_t KorvidCommandBufferSize(std::uint16_t length) {
  return KorvidCommandBlockCount(length) * CommandReport::kDataSize;
}

// Issues one control request. Null device or request: kIOReturnNoDevice, nothing done.
// Otherwise sets wLenDone to 0 and returns the device's status for the request.
OSStatus KorvidDeviceRequest(UsbDeviceInterface* device, IOUSBDevRequest* request);

// Writes the clear-busy report, up to 10 attempts with 1 ms between failures.
// Returns 0 or the status of the last attempt.
OSStatus KorvidClearBusyFlag(UsbDeviceInterface* device, Sleeper& sleeper = Sleeper::Real());

// Runs one command: waits for the mouse to be free, sends the blocks highest first, polls
// each block's reply, copies the reply data back to the block's place in `buffer` and
// clears the busy flag after each block.
//
// `buffer` holds the bytes to send (`length` of them) and receives the replies; it must
// hold KorvidCommandBufferSize(length) bytes. A length above 4096, an empty buffer or one
// too small for the replies is refused with paramErr before anything is sent.
// Results: 0, paramErr, kCommandBusyTimeout, kCommandFailed, or the status of the last
// failed write when every send of a block failed.
OSStatus KorvidCommand(UsbDeviceInterface* device, bool read, std::uint8_t command,
                       std::uint16_t length, std::span<std::uint8_t> buffer,
                       Sleeper& sleeper = Sleeper::Real());
// The same, also telling how many reply bytes block 0 (the last one polled) carried, 0 to
// 80; 0 when the command ended before that block's reply.
OSStatus KorvidCommand(UsbDeviceInterface* device, bool read, std::uint8_t command,
                       std::uint16_t length, std::span<std::uint8_t> buffer, std::size_t& replyBytes,
                       Sleeper& sleeper);

}  // namespace korvid
