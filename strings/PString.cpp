// SPDX-License-Identifier: MIT
#include "strings/PString.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace korvid {
namespace {

constexpr std::uint8_t Fold(std::uint8_t byte) {
  return (byte >= 'A' && byte <= 'Z') ? static_cast<std::uint8_t>(byte + 32) : byte;
}

// The length of a length-prefixed string, counting only the bytes its span holds.
std::size_t PLength(ConstPString s) {
  if (s.empty()) return 0;
  return std::min<std::size_t>(s[0], s.size() - 1);
}

// The length of a C string, bounded by its span.
std::size_t CLength(ConstCString s) {
  const auto nul = std::find(s.begin(), s.end(), '\0');
  return static_cast<std::size_t>(nul - s.begin());
}

// The most text a length-prefixed destination may hold for a given max.
std::size_t PLimit(PStringBuffer destination, std::int16_t max) {
  if (destination.empty() || max <= 0) return 0;
  return std::min({static_cast<std::size_t>(max), destination.size() - 1, std::size_t{255}});
}

}  // namespace

std::int16_t PStringCmp(ConstPString a, ConstPString b) {
  const std::size_t lengthA = PLength(a);
  const std::size_t lengthB = PLength(b);
  const std::size_t common = std::min(lengthA, lengthB);
  for (std::size_t i = 1; i <= common; ++i) {
    const int difference = Fold(a[i]) - Fold(b[i]);
    if (difference != 0) return static_cast<std::int16_t>(difference);
  }
  return static_cast<std::int16_t>(static_cast<int>(lengthA) - static_cast<int>(lengthB));
}

std::int16_t CStringCmp(ConstCString a, ConstCString b) {
  for (std::size_t i = 0;; ++i) {
    const std::uint8_t byteA = i < a.size() ? static_cast<std::uint8_t>(a[i]) : 0;
    const std::uint8_t byteB = i < b.size() ? static_cast<std::uint8_t>(b[i]) : 0;
    const int difference = Fold(byteA) - Fold(byteB);
    if (difference != 0) return static_cast<std::int16_t>(difference);
    if (byteA == 0) return 0;
  }
}

void PStringCopy(ConstPString source, PStringBuffer destination, std::int16_t max) {
  if (destination.empty()) return;
  const std::size_t n = std::min(PLength(source), PLimit(destination, max));
  // Source and destination may be the same buffer.
  if (n > 0) std::memmove(destination.data() + 1, source.data() + 1, n);
  destination[0] = static_cast<std::uint8_t>(n);
}

void PStringCat(ConstPString source, PStringBuffer destination, std::int16_t max) {
  if (destination.empty()) return;
  const std::size_t limit = PLimit(destination, max);
  const std::size_t length = destination[0];
  if (length >= limit) return;  // already full (or longer than max): nothing fits
  const std::size_t n = std::min(PLength(source), limit - length);
  if (n > 0) std::memmove(destination.data() + 1 + length, source.data() + 1, n);
  destination[0] = static_cast<std::uint8_t>(length + n);
}

void CStringPCopy(ConstCString source, PStringBuffer destination, std::int16_t max) {
  if (destination.empty()) return;
  const std::size_t n = std::min(CLength(source), PLimit(destination, max));
  std::copy_n(source.begin(), n, destination.begin() + 1);
  destination[0] = static_cast<std::uint8_t>(n);
}

void CStringPCat(ConstCString source, PStringBuffer destination, std::int16_t max) {
  if (destination.empty()) return;
  const std::size_t limit = PLimit(destination, max);
  const std::size_t length = destination[0];
  if (length >= limit) return;
  const std::size_t n = std::min(CLength(source), limit - length);
  std::copy_n(source.begin(), n, destination.begin() + 1 + static_cast<std::ptrdiff_t>(length));
  destination[0] = static_cast<std::uint8_t>(length + n);
}

std::int16_t CStringCopy(ConstCString source, CStringBuffer destination, std::int16_t max) {
  if (destination.empty()) return 0;
  const std::size_t limit = std::min(static_cast<std::size_t>(std::max<std::int16_t>(max, 0)),
                                     destination.size() - 1);
  const std::size_t n = std::min(CLength(source), limit);
  std::copy_n(source.begin(), n, destination.begin());
  destination[n] = '\0';
  return static_cast<std::int16_t>(n);
}

std::int16_t CStringCat(ConstCString source, CStringBuffer destination, std::int16_t max) {
  if (destination.empty()) return 0;
  const std::size_t limit = std::min(static_cast<std::size_t>(std::max<std::int16_t>(max, 0)),
                                     destination.size() - 1);
  const std::size_t length = std::min(CLength(destination), limit);
  const std::size_t n = std::min(CLength(source), limit - length);
  std::copy_n(source.begin(), n, destination.begin() + static_cast<std::ptrdiff_t>(length));
  destination[length + n] = '\0';
  return static_cast<std::int16_t>(length + n);
}

Str255 MakeStr255(std::string_view text) {
  Str255 s{};
  const std::size_t n = std::min<std::size_t>(text.size(), 255);
  s[0] = static_cast<std::uint8_t>(n);
  std::copy_n(text.begin(), n, s.begin() + 1);
  return s;
}

std::string_view PStringText(ConstPString s) {
  return {reinterpret_cast<const char*>(s.data()) + (s.empty() ? 0 : 1), PLength(s)};
}

}  // namespace korvid
