// SPDX-License-Identifier: MIT
// Result codes shared by every part of the system: 0 is success.
//
// The numeric values are part of the system's interfaces (exit statuses, replies of
// control messages, the uninstaller's tab choice), so they keep the values the mouse
// tools have always used, whatever platform they run on.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace korvid {

using OSStatus = std::int32_t;  // 32-bit status, 0 = success
using IOReturn = std::int32_t;  // IOKit-style return code (0xE00002xx values)
using OSErr = std::int16_t;     // 16-bit status, widened where a 32-bit value is returned

inline constexpr OSStatus noErr = 0;

// Classic status codes.
inline constexpr OSStatus paramErr = -50;
inline constexpr OSStatus ioErr = -36;
inline constexpr OSStatus fnfErr = -43;
inline constexpr OSStatus memFullErr = -108;
inline constexpr OSStatus resNotFound = -192;
inline constexpr OSStatus procNotFound = -600;

// The feature-report transport's own statuses.
inline constexpr OSStatus kCommandFailed = -6902;
inline constexpr OSStatus kCommandBusyTimeout = -6911;

// Event-port (Apple Event Manager) statuses.
inline constexpr OSStatus errAECoercionFail = -1700;
inline constexpr OSStatus errAEDescNotFound = -1701;
inline constexpr OSStatus errAECorruptData = -1702;
inline constexpr OSStatus errAEWrongDataType = -1703;
inline constexpr OSStatus errAENotAEDesc = -1704;
inline constexpr OSStatus errAEEventNotHandled = -1708;
inline constexpr OSStatus errAEReplyNotValid = -1709;
inline constexpr OSStatus errAEUnknownSendMode = -1710;
inline constexpr OSStatus errAETimeout = -1712;
inline constexpr OSStatus errAEUnknownAddressType = -1716;
inline constexpr OSStatus errAEHandlerNotFound = -1717;
inline constexpr OSStatus connectionInvalid = -609;
inline constexpr OSStatus errAEEventNotPermitted = -1743;  // the sender may not send to us

// Authorisation statuses (privileged execution of the eraser tool).
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;
inline constexpr OSStatus errAuthorizationToolExecuteFailure = -60031;

// IOKit-style return codes, as signed 32-bit values.
inline constexpr IOReturn kIOReturnSuccess = 0;
inline constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xE00002BCu);
inline constexpr IOReturn kIOReturnNoMemory = static_cast<IOReturn>(0xE00002BDu);
inline constexpr IOReturn kIOReturnNoResources = static_cast<IOReturn>(0xE00002BEu);
inline constexpr IOReturn kIOReturnNotPrivileged = static_cast<IOReturn>(0xE00002C1u);
inline constexpr IOReturn kIOReturnNoDevice = static_cast<IOReturn>(0xE00002C0u);
inline constexpr IOReturn kIOReturnBadArgument = static_cast<IOReturn>(0xE00002C2u);
inline constexpr IOReturn kIOReturnExclusiveAccess = static_cast<IOReturn>(0xE00002C5u);
inline constexpr IOReturn kIOReturnUnsupported = static_cast<IOReturn>(0xE00002C7u);
inline constexpr IOReturn kIOReturnIOError = static_cast<IOReturn>(0xE00002CAu);
inline constexpr IOReturn kIOReturnBusy = static_cast<IOReturn>(0xE00002D5u);
inline constexpr IOReturn kIOReturnTimeout = static_cast<IOReturn>(0xE00002D6u);
inline constexpr IOReturn kIOReturnNotResponding = static_cast<IOReturn>(0xE00002EDu);
inline constexpr IOReturn kIOReturnNotFound = static_cast<IOReturn>(0xE00002F0u);
inline constexpr IOReturn kIOReturnNotPermitted = static_cast<IOReturn>(0xE00002E2u);
inline constexpr IOReturn kIOReturnAborted = static_cast<IOReturn>(0xE00002EBu);

// Message sent to interested parties when a device or driver goes away.
inline constexpr std::uint32_t kIOMessageServiceIsTerminated = 0xE0000010u;

// File-system statuses (folder lookup, file lookup and creation, writes).
inline constexpr OSStatus dskFulErr = -34;
inline constexpr OSStatus bdNamErr = -37;
inline constexpr OSStatus wPrErr = -44;
inline constexpr OSStatus dupFNErr = -48;
inline constexpr OSStatus dirNFErr = -120;
inline constexpr OSStatus diffVolErr = -123;  // a move to another volume
inline constexpr OSStatus afpAccessDenied = -5000;

// How every layer reports a failure: it returns the status and, where a person will read
// it and the caller asked for it (`message` not null), leaves a one-line reason there.
//     return Failure(kIOReturnNoDevice, message, "cannot open " + devnode);
inline std::int32_t Failure(std::int32_t status, std::string* message, std::string reason) {
  if (message != nullptr) *message = std::move(reason);
  return status;
}

// Reduces a status to its low 16 bits (signed) and widens it back to 32 bits, as every
// function that reports a 16-bit status does.
constexpr OSStatus Widen16(OSStatus status) {
  return static_cast<OSStatus>(static_cast<std::int16_t>(static_cast<std::uint16_t>(status & 0xFFFF)));
}

}  // namespace korvid
