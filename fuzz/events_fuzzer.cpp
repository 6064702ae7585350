// SPDX-License-Identifier: MIT
// The bytes of an event as they arrive over the bus: decoded, and what decodes is
// encoded again and must decode the same way.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/events/AppleEvent.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvid::AppleEvent event;
  if (korvid::DecodeAppleEvent(std::span(data, size), event) != korvid::noErr) return 0;
  const std::vector<std::uint8_t> again = korvid::EncodeAppleEvent(event);
  korvid::AppleEvent back;
  if (korvid::DecodeAppleEvent(again, back) != korvid::noErr) __builtin_trap();
  if (korvid::EncodeAppleEvent(back) != again) __builtin_trap();
  return 0;
}
