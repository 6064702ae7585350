// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstring>

#include "driver/client/DriverProtocol.h"
#include "platform/FourCC.h"

namespace korvid::driverproto {
namespace {

TEST(FrameReader, TakesFramesOutWhateverTheChunking) {
  const std::uint64_t inputs[3] = {1, kKvSA, 0x10000};
  auto stream = EncodeOpen(1, kKvdU);
  const auto call = EncodeCall(2, 0, inputs, 1);
  stream.insert(stream.end(), call.begin(), call.end());
  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{17}, stream.size()}) {
    FrameReader reader;
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<std::uint8_t> frame;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      const std::size_t n = std::min(chunk, stream.size() - at);
      ASSERT_EQ(reader.Feed({stream.data() + at, n}), n);
      while (reader.Next(frame) == FrameReader::Result::kFrame) frames.push_back(frame);
    }
    ASSERT_EQ(frames.size(), 2u) << chunk;
    Request request;
    ASSERT_EQ(DecodeRequest(frames[0], request), kIOReturnSuccess);
    EXPECT_EQ(request.kind, kOpen);
    EXPECT_EQ(request.type, kKvdU);
    ASSERT_EQ(DecodeRequest(frames[1], request), kIOReturnSuccess);
    EXPECT_EQ(request.kind, kCall);
    EXPECT_EQ(request.serial, 2u);
    EXPECT_EQ(request.outputCount, 1u);
    EXPECT_EQ(request.inputs, (std::vector<std::uint64_t>{1, kKvSA, 0x10000}));
    EXPECT_EQ(reader.Buffered(), 0u);
  }
}

TEST(FrameReader, BadMagicOrOversizeLengthIsGarbledButTheLargestFrameIsTakenWhole) {
  std::vector<std::uint8_t> frame;
  const std::uint64_t sixteen[16] = {};
  const auto largest = EncodeCall(1, 0, sixteen, 16);
  ASSERT_EQ(largest.size(), kMaxFrameSize);
  FrameReader whole;
  EXPECT_EQ(whole.Feed(largest), kMaxFrameSize);
  ASSERT_EQ(whole.Next(frame), FrameReader::Result::kFrame);
  EXPECT_EQ(frame, largest);

  FrameReader wrongMagic;
  const std::uint8_t junk[] = {'G', 'E', 'T', ' ', '/', ' '};
  wrongMagic.Feed(junk);
  EXPECT_EQ(wrongMagic.Next(frame), FrameReader::Result::kGarbled);

  auto oversize = EncodeClose(1);
  const std::uint32_t length = kMaxPayload + 1;
  std::memcpy(oversize.data() + 8, &length, 4);
  FrameReader reader;
  reader.Feed(oversize);
  EXPECT_EQ(reader.Next(frame), FrameReader::Result::kGarbled);
}

TEST(FrameReader, NeverHoldsMoreThanOneLargestFrame) {
  FrameReader reader;
  std::vector<std::uint8_t> flood(10 * kMaxFrameSize, 0);
  EXPECT_EQ(reader.Feed(flood), kMaxFrameSize);
  EXPECT_EQ(reader.Feed(flood), 0u);
}

TEST(DecodeRequest, RefusesPayloadsThatDoNotFitTheirKind) {
  Request request;
  const std::uint64_t sixteen[16] = {};
  const std::uint64_t seventeen[17] = {};
  EXPECT_EQ(DecodeRequest(EncodeCall(1, 0, sixteen, 16), request), kIOReturnSuccess);
  EXPECT_EQ(DecodeRequest(EncodeCall(1, 0, seventeen, 1), request), kIOReturnBadArgument);
  EXPECT_EQ(DecodeRequest(EncodeCall(1, 0, sixteen, 17), request), kIOReturnBadArgument);

  auto lying = EncodeCall(1, 0, std::span(sixteen).first(3), 1);
  const std::uint32_t claimed = 4;  // says four inputs, carries three
  std::memcpy(lying.data() + kHeaderSize + 4, &claimed, 4);
  EXPECT_EQ(DecodeRequest(lying, request), kIOReturnBadArgument);

  auto reserved = EncodeCall(1, 0, std::span(sixteen).first(3), 1);
  const std::uint32_t one = 1;  // the word after the counts must be 0
  std::memcpy(reserved.data() + kHeaderSize + 12, &one, 4);
  EXPECT_EQ(DecodeRequest(reserved, request), kIOReturnBadArgument);

  auto openWithExtra = EncodeOpen(1, kKvdU);
  openWithExtra.push_back(0);
  const std::uint32_t five = 5;
  std::memcpy(openWithExtra.data() + 8, &five, 4);
  EXPECT_EQ(DecodeRequest(openWithExtra, request), kIOReturnBadArgument);

  auto unknown = EncodeClose(1);
  const std::uint32_t kind = 7;
  std::memcpy(unknown.data() + 4, &kind, 4);
  EXPECT_EQ(DecodeRequest(unknown, request), kIOReturnBadArgument);
  EXPECT_EQ(request.kind, 7u);
}

TEST(DecodeReply, CarriesStatusAndOutputs) {
  const std::uint64_t outputs[1] = {0x3A7C0D51};
  Reply reply;
  ASSERT_EQ(DecodeReply(EncodeReply(kCall | kReply, 9, kIOReturnBadArgument, outputs), reply), kIOReturnSuccess);
  EXPECT_EQ(reply.serial, 9u);
  EXPECT_EQ(reply.status, kIOReturnBadArgument);
  EXPECT_EQ(reply.outputs, (std::vector<std::uint64_t>{0x3A7C0D51}));
  ASSERT_EQ(DecodeReply(EncodeReply(kTerminated, 0, static_cast<std::int32_t>(kIOMessageServiceIsTerminated)), reply),
            kIOReturnSuccess);
  EXPECT_EQ(static_cast<std::uint32_t>(reply.status), kIOMessageServiceIsTerminated);
}

TEST(SocketNames, OnlyDriverSocketsAreDrivers) {
  EXPECT_TRUE(IsDriverSocketName("KorvidTessel-event7.sock"));
  EXPECT_FALSE(IsDriverSocketName("KorvidTessel-.sock"));
  EXPECT_FALSE(IsDriverSocketName("sim1.record"));
  EXPECT_FALSE(IsDriverSocketName("KorvidTessel-event7.sock.tmp"));
}

}  // namespace
}  // namespace korvid::driverproto
