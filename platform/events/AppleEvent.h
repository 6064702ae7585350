// SPDX-License-Identifier: MIT
// Events between the user's processes: descriptors, events with typed parameters, and the
// calls that build and read them. An event has a class and an identifier, a target
// address (a process serial number), a return id, a transaction id and a list of
// parameters, each a keyword, a type and bytes.
//
// Failures are the event manager's usual statuses: errAEDescNotFound for a missing
// parameter, errAECoercionFail for a parameter that cannot be read as the type asked
// for, errAECorruptData for data of the wrong size or a malformed encoded event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/FourCC.h"
#include "platform/Status.h"
#include "platform/process/ProcessTable.h"

namespace korvid {

using DescType = FourCharCode;
using AEKeyword = FourCharCode;
using AEEventClass = FourCharCode;
using AEEventID = FourCharCode;
using AEReturnID = std::int16_t;
using AETransactionID = std::int32_t;
using AESendMode = std::int32_t;

inline constexpr DescType typeNull = FourCC("null");
inline constexpr DescType typeWildCard = FourCC("****");
inline constexpr DescType typeAppleEvent = FourCC("aevt");
inline constexpr DescType typeSInt16 = FourCC("shor");
inline constexpr DescType typeBoolean = FourCC("bool");
inline constexpr DescType typeType = FourCC("type");
inline constexpr DescType typeEnumerated = FourCC("enum");
inline constexpr DescType typeIEEE32BitFloatingPoint = FourCC("sing");
inline constexpr DescType typeIEEE64BitFloatingPoint = FourCC("doub");
inline constexpr AEKeyword keyErrorNumber = FourCC("errn");
inline constexpr AEEventID kAEAnswer = FourCC("ansr");

inline constexpr AEReturnID kAutoGenerateReturnID = -1;
inline constexpr AETransactionID kAnyTransactionID = 0;

// Send modes: the low two bits choose how the reply is handled; other bits (interaction
// levels) are accepted and have no effect here.
inline constexpr AESendMode kAENoReply = 0x01;
inline constexpr AESendMode kAEQueueReply = 0x02;
inline constexpr AESendMode kAEWaitReply = 0x03;
inline constexpr AESendMode kAEReplyModeMask = 0x03;

// Timeouts are in ticks of 1/60 s.
inline constexpr std::int32_t kAEDefaultTimeout = -1;
inline constexpr std::int32_t kNoTimeOut = -2;

// Limits on what one event may carry.
inline constexpr std::size_t kAEMaxParams = 64;
inline constexpr std::size_t kAEMaxEncodedBytes = 64 * 1024;

// A descriptor: a type and its bytes. A null descriptor has type typeNull and no bytes.
struct AEDesc {
  DescType descriptorType = typeNull;
  std::vector<std::uint8_t> data;
};
using AEAddressDesc = AEDesc;

struct AEParam {
  AEKeyword keyword = 0;
  DescType type = typeNull;
  std::vector<std::uint8_t> data;
};

// An event, or (descriptorType typeNull) a null descriptor standing where an event or
// reply will be.
struct AppleEvent {
  DescType descriptorType = typeNull;
  AEEventClass eventClass = 0;
  AEEventID eventID = 0;
  AEAddressDesc target;
  AEReturnID returnID = 0;
  AETransactionID transactionID = kAnyTransactionID;
  std::vector<AEParam> params;

  bool IsNull() const { return descriptorType == typeNull; }
  const AEParam* Find(AEKeyword keyword) const;
};

OSStatus AECreateDesc(DescType type, std::span<const std::uint8_t> data, AEDesc& result);

// Creates an event addressed to a process serial number (`target` of type
// typeProcessSerialNumber, 8 bytes). kAutoGenerateReturnID gives the event a fresh id.
OSStatus AECreateAppleEvent(AEEventClass eventClass, AEEventID eventID, const AEAddressDesc& target,
                            AEReturnID returnID, AETransactionID transactionID,
                            AppleEvent& result);

// Adds a parameter, replacing one with the same keyword.
OSStatus AEPutParamPtr(AppleEvent& event, AEKeyword keyword, DescType type,
                       std::span<const std::uint8_t> data);

// Copies a parameter, read as `desiredType` (typeWildCard: as it is), into `data`: at most
// data.size() bytes; `actualSize` receives the full size. `actualType` and `actualSize`
// may be null.
OSStatus AEGetParamPtr(const AppleEvent& event, AEKeyword keyword, DescType desiredType,
                       DescType* actualType, std::span<std::uint8_t> data, std::size_t* actualSize);

OSStatus AEDisposeDesc(AEDesc& desc);
OSStatus AEDisposeDesc(AppleEvent& event);

// The address of a process serial number, and the serial number an address holds.
AEAddressDesc AddressOf(const ProcessSerialNumber& psn);
OSStatus TargetProcess(const AppleEvent& event, ProcessSerialNumber& psn);
// What every port checks before it sends: the event, the reply mode in `mode` (no reply
// or wait for one), and the pid of its target (kCurrentProcess is `self`). The errors of
// TargetProcess, errAENotAEDesc, errAEUnknownSendMode, or procNotFound for an address
// that names no local process.
OSStatus SendTarget(const AppleEvent& event, AESendMode mode, std::uint32_t self, std::uint32_t& pid);

// Typed helpers over AEPutParamPtr / AEGetParamPtr for fixed-size values. The read
// fails with errAECorruptData unless the parameter has exactly sizeof(T) bytes, and
// leaves `value` untouched on failure.
template <typename T>
OSStatus AEPutParamValue(AppleEvent& event, AEKeyword keyword, DescType type, const T& value) {
  return AEPutParamPtr(event, keyword, type,
                       std::span(reinterpret_cast<const std::uint8_t*>(&value), sizeof(T)));
}

template <typename T>
OSStatus AEGetParamValue(const AppleEvent& event, AEKeyword keyword, DescType type, T& value) {
  T copy{};
  std::size_t size = 0;
  const OSStatus status = AEGetParamPtr(
      event, keyword, type, nullptr, std::span(reinterpret_cast<std::uint8_t*>(&copy), sizeof(T)),
      &size);
  if (status != noErr) return status;
  if (size != sizeof(T)) return errAECorruptData;
  value = copy;
  return noErr;
}

// The byte form of an event as it travels between processes (the target address stays
// behind: the receiver is the target). DecodeAppleEvent checks every count and length
// and answers errAECorruptData for anything malformed, truncated, oversize or trailing.
std::vector<std::uint8_t> EncodeAppleEvent(const AppleEvent& event);
OSStatus DecodeAppleEvent(std::span<const std::uint8_t> bytes, AppleEvent& event);

// An empty reply to `event`: class aevt, id ansr, the event's return and transaction ids.
AppleEvent MakeReplyFor(const AppleEvent& event);

// What a sender makes of a handler's status: a failure is recorded in the reply as the
// keyErrorNumber parameter (unless the handler put one there itself).
void RecordHandlerStatus(OSStatus handlerStatus, AppleEvent& reply);

// A send timeout in ticks as milliseconds (kAEDefaultTimeout gives -1, the transport's
// default; kNoTimeOut the longest wait there is).
int TicksToMilliseconds(std::int32_t ticks);

}  // namespace korvid
