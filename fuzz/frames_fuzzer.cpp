// SPDX-License-Identifier: MIT
// Bytes from a driver socket, in whatever pieces they come: frames are cut out and
// decoded both as requests and as replies.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "driver/client/DriverProtocol.h"

using namespace korvid::driverproto;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FrameReader reader;
  std::vector<std::uint8_t> frame;
  std::span<const std::uint8_t> rest(data, size);
  // The first byte chooses the size of the pieces the stream arrives in.
  const std::size_t piece = size > 0 ? 1 + data[0] % 64 : 1;
  while (!rest.empty()) {
    const std::size_t taken = reader.Feed(rest.first(std::min(piece, rest.size())));
    rest = rest.subspan(taken);
    for (;;) {
      const FrameReader::Result result = reader.Next(frame);
      if (result == FrameReader::Result::kNeedMore) break;
      if (result == FrameReader::Result::kGarbled) return 0;
      Request request;
      (void)DecodeRequest(frame, request);
      Reply reply;
      (void)DecodeReply(frame, reply);
    }
    if (taken == 0 && reader.Room() == 0) return 0;  // cannot happen: a full buffer holds a frame
  }
  return 0;
}
