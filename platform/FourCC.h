// SPDX-License-Identifier: MIT
// Four-character codes: 32-bit values packed big-endian from four ASCII characters.
#pragma once

#include <cstdint>
#include <string>

namespace korvid {

using FourCharCode = std::uint32_t;

constexpr FourCharCode FourCC(const char (&code)[5]) {
  return (static_cast<FourCharCode>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<FourCharCode>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<FourCharCode>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<FourCharCode>(static_cast<unsigned char>(code[3]));
}

// The four characters of a code, for messages and logs.
inline std::string FourCCString(FourCharCode code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[i] = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
  return text;
}

// The system's own codes.
inline constexpr FourCharCode kKvdU = FourCC("KvdU");  // user-client type of the driver
inline constexpr FourCharCode kKvSA = FourCC("KvSA");  // set acceleration
inline constexpr FourCharCode kKvID = FourCC("KvID");  // read identity
inline constexpr FourCharCode kKvdO = FourCC("KvdO");  // control message: event class
inline constexpr FourCharCode kKvdC = FourCC("KvdC");  // control message: event id and value keyword

// Standard event codes.
inline constexpr FourCharCode keyDirectObject = FourCC("----");
inline constexpr FourCharCode typeMagnitude = FourCC("magn");
inline constexpr FourCharCode typeSInt32 = FourCC("long");
inline constexpr FourCharCode typeProcessSerialNumber = FourCC("psn ");
inline constexpr FourCharCode kCoreEventClass = FourCC("aevt");
inline constexpr FourCharCode kAEQuitApplication = FourCC("quit");
inline constexpr FourCharCode kAERestart = FourCC("rest");
inline constexpr FourCharCode typeApplSignature = FourCC("appl");

}  // namespace korvid
