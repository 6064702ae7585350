// SPDX-License-Identifier: MIT
#include "platform/events/AppleEvent.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <limits>

namespace korvid {
namespace {

constexpr FourCharCode kEncodingMagic = FourCC("KvAE");
constexpr std::size_t kHeaderBytes = 4 + 4 + 4 + 2 + 4 + 2;
constexpr std::size_t kParamHeaderBytes = 4 + 4 + 4;

// Types whose data has one size only; anything else is opaque bytes.
std::size_t FixedSize(DescType type) {
  switch (type) {
    case typeBoolean: return 1;
    case typeSInt16: return 2;
    case typeSInt32:
    case typeMagnitude:
    case typeType:
    case typeEnumerated:
    case typeIEEE32BitFloatingPoint: return 4;
    case typeProcessSerialNumber:
    case typeIEEE64BitFloatingPoint: return 8;
    default: return 0;
  }
}

std::size_t EncodedSize(const AppleEvent& event) {
  std::size_t size = kHeaderBytes;
  for (const AEParam& param : event.params) size += kParamHeaderBytes + param.data.size();
  return size;
}

// Reads `desired` out of a parameter of another type, where the two are numbers of the
// same size and the value fits.
OSStatus Coerce(const AEParam& param, DescType desired, std::vector<std::uint8_t>& out) {
  if (param.data.size() != 4) return errAECoercionFail;
  if (param.type == typeSInt32 && desired == typeMagnitude) {
    std::int32_t value;
    std::memcpy(&value, param.data.data(), 4);
    if (value < 0) return errAECoercionFail;
  } else if (param.type == typeMagnitude && desired == typeSInt32) {
    std::uint32_t value;
    std::memcpy(&value, param.data.data(), 4);
    if (value > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
      return errAECoercionFail;
    }
  } else {
    return errAECoercionFail;
  }
  out = param.data;
  return noErr;
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void Put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

// A cursor over untrusted bytes: every read checks what is left.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool Read32(std::uint32_t& value) {
    if (Left() < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | bytes_[offset_++];
    return true;
  }
  bool Read16(std::uint16_t& value) {
    if (Left() < 2) return false;
    value = static_cast<std::uint16_t>((bytes_[offset_] << 8) | bytes_[offset_ + 1]);
    offset_ += 2;
    return true;
  }
  bool ReadBytes(std::size_t size, std::vector<std::uint8_t>& out) {
    if (Left() < size) return false;
    out.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(offset_),
               bytes_.begin() + static_cast<std::ptrdiff_t>(offset_ + size));
    offset_ += size;
    return true;
  }
  std::size_t Left() const { return bytes_.size() - offset_; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t offset_ = 0;
};

std::atomic<AEReturnID> gLastReturnID{0};

AEReturnID NextReturnID() {
  for (;;) {
    AEReturnID id = gLastReturnID.load();
    AEReturnID next = static_cast<AEReturnID>(id == std::numeric_limits<AEReturnID>::max() ? 1 : id + 1);
    if (next == kAutoGenerateReturnID || next == 0) next = 1;
    if (gLastReturnID.compare_exchange_weak(id, next)) return next;
  }
}

}  // namespace

const AEParam* AppleEvent::Find(AEKeyword keyword) const {
  const auto it = std::find_if(params.begin(), params.end(),
                               [keyword](const AEParam& p) { return p.keyword == keyword; });
  return it == params.end() ? nullptr : &*it;
}

OSStatus AECreateDesc(DescType type, std::span<const std::uint8_t> data, AEDesc& result) {
  result = AEDesc{};
  if (data.size() > kAEMaxEncodedBytes) return memFullErr;
  const std::size_t fixed = FixedSize(type);
  if (fixed != 0 && data.size() != fixed) return errAECorruptData;
  result.descriptorType = type;
  result.data.assign(data.begin(), data.end());
  return noErr;
}

OSStatus AECreateAppleEvent(AEEventClass eventClass, AEEventID eventID, const AEAddressDesc& target,
                            AEReturnID returnID, AETransactionID transactionID,
                            AppleEvent& result) {
  result = AppleEvent{};
  if (target.descriptorType != typeProcessSerialNumber) return errAEUnknownAddressType;
  if (target.data.size() != 8) return errAECorruptData;
  result.descriptorType = typeAppleEvent;
  result.eventClass = eventClass;
  result.eventID = eventID;
  result.target = target;
  result.returnID = returnID == kAutoGenerateReturnID ? NextReturnID() : returnID;
  result.transactionID = transactionID;
  return noErr;
}

OSStatus AEPutParamPtr(AppleEvent& event, AEKeyword keyword, DescType type,
                       std::span<const std::uint8_t> data) {
  if (event.IsNull()) return errAENotAEDesc;
  if (type == typeNull || type == typeWildCard) return errAEWrongDataType;
  const std::size_t fixed = FixedSize(type);
  if (fixed != 0 && data.size() != fixed) return errAECorruptData;

  AEParam* existing = nullptr;
  for (AEParam& param : event.params) {
    if (param.keyword == keyword) existing = &param;
  }
  const std::size_t oldBytes = existing ? kParamHeaderBytes + existing->data.size() : 0;
  if (!existing && event.params.size() >= kAEMaxParams) return memFullErr;
  if (EncodedSize(event) - oldBytes + kParamHeaderBytes + data.size() > kAEMaxEncodedBytes) {
    return memFullErr;
  }
  if (existing) {
    existing->type = type;
    existing->data.assign(data.begin(), data.end());
  } else {
    event.params.push_back(AEParam{keyword, type, {data.begin(), data.end()}});
  }
  return noErr;
}

OSStatus AEGetParamPtr(const AppleEvent& event, AEKeyword keyword, DescType desiredType,
                       DescType* actualType, std::span<std::uint8_t> data,
                       std::size_t* actualSize) {
  if (actualType) *actualType = typeNull;
  if (actualSize) *actualSize = 0;
  if (event.IsNull()) return errAENotAEDesc;
  const AEParam* param = event.Find(keyword);
  if (!param) return errAEDescNotFound;

  // A parameter of a fixed-size type whose data has another size is corrupt, whatever
  // it is read as.
  const std::size_t fixed = FixedSize(param->type);
  if (fixed != 0 && param->data.size() != fixed) return errAECorruptData;

  std::vector<std::uint8_t> coerced;
  const std::vector<std::uint8_t>* bytes = &param->data;
  DescType type = param->type;
  if (desiredType != typeWildCard && desiredType != param->type) {
    const OSStatus status = Coerce(*param, desiredType, coerced);
    if (status != noErr) return status;
    bytes = &coerced;
    type = desiredType;
  }
  const std::size_t n = std::min(bytes->size(), data.size());
  if (n > 0) std::memcpy(data.data(), bytes->data(), n);
  if (actualType) *actualType = type;
  if (actualSize) *actualSize = bytes->size();
  return noErr;
}

OSStatus AEDisposeDesc(AEDesc& desc) {
  desc = AEDesc{};
  return noErr;
}

OSStatus AEDisposeDesc(AppleEvent& event) {
  event = AppleEvent{};
  return noErr;
}

AEAddressDesc AddressOf(const ProcessSerialNumber& psn) {
  AEAddressDesc address;
  address.descriptorType = typeProcessSerialNumber;
  address.data.resize(8);
  std::memcpy(address.data.data(), &psn.highLongOfPSN, 4);
  std::memcpy(address.data.data() + 4, &psn.lowLongOfPSN, 4);
  return address;
}

OSStatus TargetProcess(const AppleEvent& event, ProcessSerialNumber& psn) {
  if (event.IsNull()) return errAENotAEDesc;
  if (event.target.descriptorType != typeProcessSerialNumber) return errAEUnknownAddressType;
  if (event.target.data.size() != 8) return errAECorruptData;
  std::memcpy(&psn.highLongOfPSN, event.target.data.data(), 4);
  std::memcpy(&psn.lowLongOfPSN, event.target.data.data() + 4, 4);
  return noErr;
}

OSStatus SendTarget(const AppleEvent& event, AESendMode mode, std::uint32_t self, std::uint32_t& pid) {
  if (event.IsNull()) return errAENotAEDesc;
  const AESendMode replyMode = mode & kAEReplyModeMask;
  if (replyMode != kAENoReply && replyMode != kAEWaitReply) return errAEUnknownSendMode;
  ProcessSerialNumber psn;
  if (const OSStatus status = TargetProcess(event, psn); status != noErr) return status;
  if (psn.highLongOfPSN != 0 || psn.lowLongOfPSN == kNoProcess) return procNotFound;
  pid = psn.lowLongOfPSN == kCurrentProcess ? self : psn.lowLongOfPSN;
  return noErr;
}

std::vector<std::uint8_t> EncodeAppleEvent(const AppleEvent& event) {
  std::vector<std::uint8_t> out;
  out.reserve(EncodedSize(event));
  Put32(out, kEncodingMagic);
  Put32(out, event.eventClass);
  Put32(out, event.eventID);
  Put16(out, static_cast<std::uint16_t>(event.returnID));
  Put32(out, static_cast<std::uint32_t>(event.transactionID));
  Put16(out, static_cast<std::uint16_t>(event.params.size()));
  for (const AEParam& param : event.params) {
    Put32(out, param.keyword);
    Put32(out, param.type);
    Put32(out, static_cast<std::uint32_t>(param.data.size()));
    out.insert(out.end(), param.data.begin(), param.data.end());
  }
  return out;
}

OSStatus DecodeAppleEvent(std::span<const std::uint8_t> bytes, AppleEvent& event) {
  event = AppleEvent{};
  if (bytes.size() > kAEMaxEncodedBytes) return errAECorruptData;
  Reader reader(bytes);
  AppleEvent decoded;
  std::uint32_t magic = 0, transaction = 0;
  std::uint16_t returnID = 0, count = 0;
  if (!reader.Read32(magic) || magic != kEncodingMagic || !reader.Read32(decoded.eventClass) ||
      !reader.Read32(decoded.eventID) || !reader.Read16(returnID) || !reader.Read32(transaction) ||
      !reader.Read16(count) || count > kAEMaxParams) {
    return errAECorruptData;
  }
  decoded.descriptorType = typeAppleEvent;
  decoded.returnID = static_cast<AEReturnID>(returnID);
  decoded.transactionID = static_cast<AETransactionID>(transaction);
  decoded.params.reserve(count);
  for (std::uint16_t i = 0; i < count; ++i) {
    AEParam param;
    std::uint32_t size = 0;
    if (!reader.Read32(param.keyword) || !reader.Read32(param.type) || !reader.Read32(size) ||
        !reader.ReadBytes(size, param.data)) {
      return errAECorruptData;
    }
    const std::size_t fixed = FixedSize(param.type);
    if (param.type == typeNull || param.type == typeWildCard || (fixed != 0 && size != fixed) ||
        decoded.Find(param.keyword) != nullptr) {
      return errAECorruptData;
    }
    decoded.params.push_back(std::move(param));
  }
  if (reader.Left() != 0) return errAECorruptData;
  event = std::move(decoded);
  return noErr;
}

AppleEvent MakeReplyFor(const AppleEvent& event) {
  AppleEvent reply;
  reply.descriptorType = typeAppleEvent;
  reply.eventClass = kCoreEventClass;
  reply.eventID = kAEAnswer;
  reply.returnID = event.returnID;
  reply.transactionID = event.transactionID;
  return reply;
}

void RecordHandlerStatus(OSStatus handlerStatus, AppleEvent& reply) {
  if (handlerStatus == noErr || reply.IsNull() || reply.Find(keyErrorNumber) != nullptr) return;
  const std::int32_t value = handlerStatus;
  AEPutParamValue(reply, keyErrorNumber, typeSInt32, value);
}

int TicksToMilliseconds(std::int32_t ticks) {
  if (ticks == kNoTimeOut) return INT_MAX;
  if (ticks < 0) return -1;
  // Round up, so a short timeout never becomes no wait at all.
  const std::int64_t ms = std::max<std::int64_t>((static_cast<std::int64_t>(ticks) * 1000 + 59) / 60, 1);
  return static_cast<int>(std::min<std::int64_t>(ms, INT_MAX));
}

}  // namespace korvid
