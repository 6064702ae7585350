// SPDX-License-Identifier: MIT
// Routines over length-prefixed strings (one length byte, then up to 255 bytes, no
// terminator) and NUL-ended C strings. Process names are held as length-prefixed strings
// and compared with PStringCmp.
//
// Characters are single bytes. Case folding turns only 'A'..'Z' into 'a'..'z'; every other
// byte, including bytes above 127, compares unchanged.
//
// Copy and append routines take the source first, then the destination, then a maximum
// length `max` (signed 16-bit, compared as such). Every buffer is passed with its size:
// a source is never read past its span, and a destination is never written past its span
// whatever `max` says. A negative `max` counts as 0. A length byte that claims more text
// than its buffer holds counts only the bytes that are there.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace korvid {

// A length-prefixed string: byte 0 is the length, bytes 1..length the text.
using Str255 = std::array<std::uint8_t, 256>;
using ConstPString = std::span<const std::uint8_t>;
using PStringBuffer = std::span<std::uint8_t>;

// A C string: the bytes up to the first NUL, or up to the end of the span if there is none.
using ConstCString = std::span<const char>;
using CStringBuffer = std::span<char>;

// Compares after folding; returns the first difference of folded bytes, else the
// difference of the lengths.
std::int16_t PStringCmp(ConstPString a, ConstPString b);

// Compares two C strings after folding; returns the first nonzero difference of folded
// (unsigned) bytes, or 0 when both end together.
std::int16_t CStringCmp(ConstCString a, ConstCString b);

// Copies min(source length, max) bytes and sets the destination's length to that count.
void PStringCopy(ConstPString source, PStringBuffer destination, std::int16_t max);

// Appends the source, cut so that the destination's length does not exceed max.
void PStringCat(ConstPString source, PStringBuffer destination, std::int16_t max);

// Copies C-string bytes until the NUL or max bytes; the length byte is the count copied.
void CStringPCopy(ConstCString source, PStringBuffer destination, std::int16_t max);

// Appends C-string bytes until the NUL or until the destination's length reaches max.
void CStringPCat(ConstCString source, PStringBuffer destination, std::int16_t max);

// Copies bytes until the NUL or max bytes, then writes a NUL after them (a full copy
// needs max + 1 bytes of destination). Returns the number of bytes copied.
std::int16_t CStringCopy(ConstCString source, CStringBuffer destination, std::int16_t max);

// Appends the source at the destination's NUL (or at position max if the destination is
// longer, which cuts it) until the total length is max, then writes a NUL. Returns the
// resulting length.
std::int16_t CStringCat(ConstCString source, CStringBuffer destination, std::int16_t max);

// Helpers for building and reading length-prefixed strings.
Str255 MakeStr255(std::string_view text);  // text longer than 255 bytes is cut
std::string_view PStringText(ConstPString s);  // the text, bounded by the span

}  // namespace korvid
