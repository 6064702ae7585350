// SPDX-License-Identifier: MIT
#include "driver/client/DriverProtocol.h"

#include <cstring>

namespace korvid::driverproto {

namespace {

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  std::uint8_t bytes[4];
  std::memcpy(bytes, &value, 4);
  out.insert(out.end(), bytes, bytes + 4);
}

void Put64(std::vector<std::uint8_t>& out, std::uint64_t value) {
  std::uint8_t bytes[8];
  std::memcpy(bytes, &value, 8);
  out.insert(out.end(), bytes, bytes + 8);
}

std::uint32_t Get32(std::span<const std::uint8_t> in, std::size_t offset) {
  std::uint32_t value;
  std::memcpy(&value, in.data() + offset, 4);
  return value;
}

std::uint64_t Get64(std::span<const std::uint8_t> in, std::size_t offset) {
  std::uint64_t value;
  std::memcpy(&value, in.data() + offset, 8);
  return value;
}

std::vector<std::uint8_t> Frame(std::uint32_t kind, std::uint32_t serial, std::size_t payload) {
  std::vector<std::uint8_t> out;
  out.reserve(kHeaderSize + payload);
  Put32(out, kMagic);
  Put32(out, kind);
  Put32(out, static_cast<std::uint32_t>(payload));
  Put32(out, serial);
  return out;
}

Header ReadHeader(std::span<const std::uint8_t> frame) {
  return {Get32(frame, 0), Get32(frame, 4), Get32(frame, 8), Get32(frame, 12)};
}

}  // namespace

bool IsDriverSocketName(std::string_view name) {
  const std::string_view prefix = kSocketPrefix;
  const std::string_view suffix = kSocketSuffix;
  return name.size() > prefix.size() + suffix.size() && name.substr(0, prefix.size()) == prefix &&
         name.substr(name.size() - suffix.size()) == suffix;
}

std::vector<std::uint8_t> EncodeOpen(std::uint32_t serial, std::uint32_t type) {
  auto out = Frame(kOpen, serial, 4);
  Put32(out, type);
  return out;
}

std::vector<std::uint8_t> EncodeCall(std::uint32_t serial, std::uint32_t selector, std::span<const std::uint64_t> inputs,
                                     std::uint32_t outputCount) {
  auto out = Frame(kCall, serial, kCallFixedSize + 8 * inputs.size());
  Put32(out, selector);
  Put32(out, static_cast<std::uint32_t>(inputs.size()));
  Put32(out, outputCount);
  Put32(out, 0);
  for (std::uint64_t input : inputs) Put64(out, input);
  return out;
}

std::vector<std::uint8_t> EncodeClose(std::uint32_t serial) { return Frame(kClose, serial, 0); }

std::vector<std::uint8_t> EncodeReply(std::uint32_t kind, std::uint32_t serial, std::int32_t status,
                                      std::span<const std::uint64_t> outputs) {
  auto out = Frame(kind, serial, 8 + 8 * outputs.size());
  Put32(out, static_cast<std::uint32_t>(status));
  Put32(out, static_cast<std::uint32_t>(outputs.size()));
  for (std::uint64_t output : outputs) Put64(out, output);
  return out;
}

std::size_t FrameReader::Feed(std::span<const std::uint8_t> bytes) {
  const std::size_t take = bytes.size() < Room() ? bytes.size() : Room();
  std::memcpy(buffer_ + size_, bytes.data(), take);
  size_ += take;
  return take;
}

FrameReader::Result FrameReader::Next(std::vector<std::uint8_t>& frame) {
  if (size_ < 4) return Result::kNeedMore;
  if (Get32({buffer_, size_}, 0) != kMagic) return Result::kGarbled;
  if (size_ < kHeaderSize) return Result::kNeedMore;
  const Header header = ReadHeader({buffer_, size_});
  if (header.length > kMaxPayload) return Result::kGarbled;
  const std::size_t total = kHeaderSize + header.length;
  if (size_ < total) return Result::kNeedMore;
  frame.assign(buffer_, buffer_ + total);
  std::memmove(buffer_, buffer_ + total, size_ - total);
  size_ -= total;
  return Result::kFrame;
}

IOReturn DecodeRequest(std::span<const std::uint8_t> frame, Request& request) {
  if (frame.size() < kHeaderSize) return kIOReturnBadArgument;
  const Header header = ReadHeader(frame);
  if (header.magic != kMagic || header.length != frame.size() - kHeaderSize) return kIOReturnBadArgument;
  const auto payload = frame.subspan(kHeaderSize);
  request = Request{};
  request.kind = header.kind;
  request.serial = header.serial;
  switch (header.kind) {
    case kOpen:
      if (payload.size() != 4) return kIOReturnBadArgument;
      request.type = Get32(payload, 0);
      return kIOReturnSuccess;
    case kClose:
      return payload.empty() ? kIOReturnSuccess : kIOReturnBadArgument;
    case kCall: {
      if (payload.size() < kCallFixedSize) return kIOReturnBadArgument;
      request.selector = Get32(payload, 0);
      const std::uint32_t inputCount = Get32(payload, 4);
      request.outputCount = Get32(payload, 8);
      if (inputCount > kMaxScalars || request.outputCount > kMaxScalars || Get32(payload, 12) != 0) {
        return kIOReturnBadArgument;
      }
      if (payload.size() != kCallFixedSize + 8 * static_cast<std::size_t>(inputCount)) return kIOReturnBadArgument;
      request.inputs.resize(inputCount);
      for (std::uint32_t i = 0; i < inputCount; ++i) request.inputs[i] = Get64(payload, kCallFixedSize + 8 * i);
      return kIOReturnSuccess;
    }
    default:
      return kIOReturnBadArgument;
  }
}

IOReturn DecodeReply(std::span<const std::uint8_t> frame, Reply& reply) {
  if (frame.size() < kHeaderSize) return kIOReturnBadArgument;
  const Header header = ReadHeader(frame);
  if (header.magic != kMagic || header.length != frame.size() - kHeaderSize) return kIOReturnBadArgument;
  const auto payload = frame.subspan(kHeaderSize);
  if (payload.size() < 8) return kIOReturnBadArgument;
  reply = Reply{};
  reply.kind = header.kind;
  reply.serial = header.serial;
  reply.status = static_cast<std::int32_t>(Get32(payload, 0));
  const std::uint32_t count = Get32(payload, 4);
  if (header.kind == kTerminated || header.kind == kRefused) return kIOReturnSuccess;
  if (count > kMaxScalars || payload.size() != 8 + 8 * static_cast<std::size_t>(count)) return kIOReturnBadArgument;
  reply.outputs.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) reply.outputs[i] = Get64(payload, 8 + 8 * i);
  return kIOReturnSuccess;
}

}  // namespace korvid::driverproto
