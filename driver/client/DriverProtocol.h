// SPDX-License-Identifier: MIT
// The driver daemon's socket protocol: how a process opens a Tessel driver's user client
// and calls its scalar method.
//
// Every driver is one Unix stream socket in the runtime folder (default
// /run/korvid-tessel/), named "KorvidTessel-<name>.sock". A socket appears (renamed into
// place: inotify IN_MOVED_TO) only once it accepts connections, and is removed before the
// clients of a mouse that went away are told. Byte order is the host's (the peers share
// a machine).
//
// Frames, both directions: a 16-byte header, then `length` bytes of payload.
//
//     offset  size  field
//     0       4     magic    'KvdF' (0x4B766446)
//     4       4     kind     (below)
//     8       4     length   payload bytes after the header, at most kMaxPayload
//     12      4     serial   chosen by the client, echoed in the reply
//
// Requests (client → daemon) and their payloads:
//     kOpen  (1)  u32 type                     open a user client of that type (KvdU)
//     kCall  (2)  u32 selector, u32 inputCount, u32 outputCount, u32 0,
//                 then inputCount × u64 inputs  (inputCount, outputCount ≤ 16)
//     kClose (3)  nothing                      close the user client; the daemon replies,
//                                              then closes the connection
// Replies (daemon → client): kind = request kind | 0x80, payload
//     i32 status, u32 outputCount, then outputCount × u64 outputs (calls only; 0 else)
// Messages the daemon sends on its own, then closes the connection:
//     kTerminated (0x90)  u32 message = kIOMessageServiceIsTerminated, u32 0
//                         the mouse went away (or the daemon stops)
//     kRefused    (0x91)  i32 status, u32 0
//                         the peer may not use the driver (kIOReturnNotPrivileged), its
//                         uid holds its share of connections, or the daemon was full and
//                         this was the oldest idle connection of the uid holding the most
//                         (kIOReturnNoResources), the frame was garbled or
//                         oversize (kIOReturnBadArgument), or it came too slowly or
//                         its peer stopped reading replies (kIOReturnTimeout)
//
// A connection holds at most one user client. Calls before a successful open answer
// kIOReturnNotOpen; a second open answers kIOReturnExclusiveAccess. Closing the socket
// without kClose is the client's death: the daemon cleans up the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Status.h"

namespace korvid {

// Statuses of the socket protocol beyond the shared ones.
inline constexpr IOReturn kIOReturnNotOpen = static_cast<IOReturn>(0xE00002CDu);
inline constexpr IOReturn kIOReturnNotReady = static_cast<IOReturn>(0xE00002D8u);

namespace driverproto {

inline constexpr const char* kDefaultRuntimeDir = "/run/korvid-tessel";
inline constexpr const char* kSocketPrefix = "KorvidTessel-";
inline constexpr const char* kSocketSuffix = ".sock";

inline constexpr std::uint32_t kMagic = 0x4B766446u;  // 'KvdF'
inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::size_t kMaxScalars = 16;
inline constexpr std::size_t kCallFixedSize = 16;
inline constexpr std::size_t kMaxPayload = kCallFixedSize + 8 * kMaxScalars;
inline constexpr std::size_t kMaxFrameSize = kHeaderSize + kMaxPayload;

enum Kind : std::uint32_t {
  kOpen = 1,
  kCall = 2,
  kClose = 3,
  kReply = 0x80,
  kTerminated = 0x90,
  kRefused = 0x91,
};

struct Header {
  std::uint32_t magic = kMagic;
  std::uint32_t kind = 0;
  std::uint32_t length = 0;
  std::uint32_t serial = 0;
};

// A decoded request.
struct Request {
  std::uint32_t kind = 0;
  std::uint32_t serial = 0;
  std::uint32_t type = 0;          // kOpen
  std::uint32_t selector = 0;      // kCall
  std::uint32_t outputCount = 0;   // kCall
  std::vector<std::uint64_t> inputs;
};

// A decoded reply or message.
struct Reply {
  std::uint32_t kind = 0;
  std::uint32_t serial = 0;
  std::int32_t status = 0;  // for kTerminated: the message
  std::vector<std::uint64_t> outputs;
};

// Whether a socket file name names a driver.
bool IsDriverSocketName(std::string_view name);

std::vector<std::uint8_t> EncodeOpen(std::uint32_t serial, std::uint32_t type);
std::vector<std::uint8_t> EncodeCall(std::uint32_t serial, std::uint32_t selector, std::span<const std::uint64_t> inputs,
                                     std::uint32_t outputCount);
std::vector<std::uint8_t> EncodeClose(std::uint32_t serial);
std::vector<std::uint8_t> EncodeReply(std::uint32_t kind, std::uint32_t serial, std::int32_t status,
                                      std::span<const std::uint64_t> outputs = {});

// Incremental frame reader: feed bytes as they arrive, take whole frames out.
class FrameReader {
 public:
  enum class Result {
    kNeedMore,  // no whole frame yet
    kFrame,     // `frame` holds one whole frame (header + payload)
    kGarbled,   // bad magic or a length above kMaxPayload: the stream cannot be trusted
  };
  // Appends up to kMaxFrameSize - Buffered() bytes; returns how many were taken.
  std::size_t Feed(std::span<const std::uint8_t> bytes);
  Result Next(std::vector<std::uint8_t>& frame);
  std::size_t Buffered() const { return size_; }
  // Room left before the buffer is full.
  std::size_t Room() const { return kMaxFrameSize - size_; }

 private:
  std::uint8_t buffer_[kMaxFrameSize] = {};
  std::size_t size_ = 0;
};

// Decodes one whole request frame. kIOReturnBadArgument when the payload does not fit
// its kind (wrong length, too many scalars, unknown kind).
IOReturn DecodeRequest(std::span<const std::uint8_t> frame, Request& request);
IOReturn DecodeReply(std::span<const std::uint8_t> frame, Reply& reply);

}  // namespace driverproto
}  // namespace korvid
