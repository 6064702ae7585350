// SPDX-License-Identifier: MIT
// The mouse's encodings and the values a person reads, converted in one place: sensitivity
// steps and DPI, polling codes and Hz, the firmware version word and its text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>

namespace korvid {

// The sensitivity range every control offers: steps 0..255 at 25 DPI from 100 DPI.
inline constexpr unsigned kTesselMinDpi = 100;
inline constexpr unsigned kTesselMaxDpi = 6475;
inline constexpr unsigned kTesselDpiPerStep = 25;

// The step of a DPI value, rounded down and held to 0..255.
constexpr std::uint8_t DpiToStep(unsigned dpi) {
  if (dpi <= kTesselMinDpi) return 0;
  if (dpi >= kTesselMaxDpi) return 255;
  return static_cast<std::uint8_t>((dpi - kTesselMinDpi) / kTesselDpiPerStep);
}
constexpr unsigned StepToDpi(std::uint8_t step) { return kTesselMinDpi + kTesselDpiPerStep * step; }
// The word the DPI commands carry: X step in bits 15..8, Y step in bits 7..0.
constexpr std::int32_t DpiToSteps(unsigned dpiX, unsigned dpiY) {
  return static_cast<std::int32_t>(DpiToStep(dpiX)) << 8 | DpiToStep(dpiY);
}
constexpr std::uint8_t StepsX(std::uint32_t steps) { return static_cast<std::uint8_t>(steps >> 8); }
constexpr std::uint8_t StepsY(std::uint32_t steps) { return static_cast<std::uint8_t>(steps); }

// The polling rates the system offers, slowest first (the order of every menu of them).
struct PollingRate {
  std::int32_t code;
  unsigned hz;
};
inline constexpr PollingRate kPollingRates[] = {{8, 125}, {2, 500}, {1, 1000}};

// 0 for a code the system does not offer.
constexpr unsigned PollingCodeToHz(std::uint32_t code) {
  for (const PollingRate& rate : kPollingRates) {
    if (static_cast<std::uint32_t>(rate.code) == code) return rate.hz;
  }
  return 0;
}
// 0 for a rate the system does not offer.
constexpr std::int32_t PollingHzToCode(unsigned hz) {
  for (const PollingRate& rate : kPollingRates) {
    if (rate.hz == hz) return rate.code;
  }
  return 0;
}
// The code's place in kPollingRates; an unknown code takes the first place.
constexpr int PollingRateIndex(std::uint32_t code) {
  for (int i = 0; i < static_cast<int>(std::size(kPollingRates)); ++i) {
    if (static_cast<std::uint32_t>(kPollingRates[i].code) == code) return i;
  }
  return 0;
}

// Major × 256 + minor as "major.minor", the minor in two digits ("1.05").
inline std::string FirmwareVersionText(std::uint32_t version) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%02u", static_cast<unsigned>((version >> 8) & 0xFF),
                static_cast<unsigned>(version & 0xFF));
  return text;
}

}  // namespace korvid
