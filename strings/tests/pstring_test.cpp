// SPDX-License-Identifier: MIT
#include "strings/PString.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace korvid {
namespace {

std::string Text(ConstPString s) { return std::string(PStringText(s)); }

// --- PStringCmp ------------------------------------------------------------------------

TEST(PStringCmp, HelperNameMatchesItsLowerCaseForm) {
  EXPECT_EQ(PStringCmp(MakeStr255("KorvidTesselHelper"), MakeStr255("korvidtesselhelper")), 0);
}

TEST(PStringCmp, FirstDifferingPairDecides) {
  EXPECT_EQ(PStringCmp(MakeStr255("abc"), MakeStr255("abd")), -1);
  EXPECT_EQ(PStringCmp(MakeStr255("abd"), MakeStr255("ABC")), 1);
  // The difference is taken after folding: 'B' folds to 'b' (98), 'a' is 97.
  EXPECT_EQ(PStringCmp(MakeStr255("B"), MakeStr255("a")), 1);
}

TEST(PStringCmp, LengthDifferenceWhenOneIsAPrefix) {
  EXPECT_EQ(PStringCmp(MakeStr255("ab"), MakeStr255("abc")), -1);
  EXPECT_EQ(PStringCmp(MakeStr255("KorvidTesselHelper"), MakeStr255("KorvidTesselHelpe")), 1);
  EXPECT_EQ(PStringCmp(MakeStr255(""), MakeStr255(std::string(255, 'x'))), -255);
}

TEST(PStringCmp, FoldsOnlyAsciiCapitals) {
  // Neighbours of the 'A'..'Z' range stay as they are: '@' (64) vs '`' (96), '[' vs '{'.
  EXPECT_EQ(PStringCmp(MakeStr255("@"), MakeStr255("`")), 64 - 96);
  EXPECT_EQ(PStringCmp(MakeStr255("["), MakeStr255("{")), 91 - 123);
  EXPECT_EQ(PStringCmp(MakeStr255("AZ"), MakeStr255("az")), 0);
}

TEST(PStringCmp, BytesAbove127AreUnsignedAndNotFolded) {
  // Latin-1 'É' (0xC9) and 'é' (0xE9): only their case differs, and they stay unequal.
  EXPECT_EQ(PStringCmp(MakeStr255("\xC9"), MakeStr255("\xE9")), 0xC9 - 0xE9);
  // A byte above 127 sorts after every ASCII byte.
  EXPECT_EQ(PStringCmp(MakeStr255("\xFF"), MakeStr255("z")), 0xFF - 'z');
}

TEST(PStringCmp, LengthByteBeyondTheBufferCountsOnlyBytesPresent) {
  const std::array<std::uint8_t, 3> claimsMore{200, 'a', 'b'};
  EXPECT_EQ(PStringCmp(claimsMore, MakeStr255("ab")), 0);
  EXPECT_EQ(PStringCmp(ConstPString{}, MakeStr255("")), 0);
}

// --- CStringCmp ------------------------------------------------------------------------

TEST(CStringCmp, FoldsAndStopsAtTheNul) {
  EXPECT_EQ(CStringCmp("Korvid", "kORVID"), 0);
  EXPECT_EQ(CStringCmp("abc", "abd"), -1);
  // One string ends first: its NUL is compared with the other's byte.
  EXPECT_EQ(CStringCmp("ab", "abc"), -'c');
  EXPECT_EQ(CStringCmp("abc", "ab"), 'c');
  EXPECT_EQ(CStringCmp("\xE9", "\xC9"), 0xE9 - 0xC9);
}

TEST(CStringCmp, SpanWithoutNulEndsAtItsSize) {
  const std::array<char, 3> unterminated{'a', 'b', 'c'};
  EXPECT_EQ(CStringCmp(unterminated, "ABC"), 0);
}

// --- copies and appends ----------------------------------------------------------------

TEST(PStringCopy, CutsToMax) {
  Str255 destination{};
  PStringCopy(MakeStr255("0123456789"), destination, 4);
  EXPECT_EQ(destination[0], 4);
  EXPECT_EQ(Text(destination), "0123");
}

TEST(PStringCopy, NeverWritesPastTheDestination) {
  std::vector<std::uint8_t> buffer(8, 0xEE);
  PStringCopy(MakeStr255("0123456789"), std::span(buffer).first(6), 255);
  EXPECT_EQ(Text(std::span(buffer).first(6)), "01234");
  EXPECT_EQ(buffer[6], 0xEE);
  EXPECT_EQ(buffer[7], 0xEE);
}

TEST(PStringCopy, NegativeMaxCopiesNothing) {
  Str255 destination = MakeStr255("old");
  PStringCopy(MakeStr255("new"), destination, -1);
  EXPECT_EQ(destination[0], 0);
}

TEST(PStringCopy, OntoItself) {
  Str255 s = MakeStr255("same");
  PStringCopy(s, s, 255);
  EXPECT_EQ(Text(s), "same");
}

TEST(PStringCat, AppendsUpToMaxAndLeavesALongerDestinationAlone) {
  struct Row {
    const char* destination;
    const char* source;
    int max;
    const char* expected;
  };
  for (const Row& row : {Row{"Korvid", "Tessel", 255, "KorvidTessel"},  // fits whole
                         Row{"abc", "defgh", 5, "abcde"},                // cut at max
                         Row{"abcdef", "xyz", 3, "abcdef"}}) {           // already past max
    Str255 destination = MakeStr255(row.destination);
    PStringCat(MakeStr255(row.source), destination, row.max);
    EXPECT_EQ(Text(destination), row.expected) << row.destination << " + " << row.source;
  }
}

TEST(PStringCat, StopsAtTheDestinationsCapacityAndAt255) {
  std::array<std::uint8_t, 6> small{3, 'a', 'b', 'c', 0, 0};
  PStringCat(MakeStr255("defgh"), small, 255);
  EXPECT_EQ(Text(small), "abcde");

  Str255 full = MakeStr255(std::string(250, 'x'));
  PStringCat(MakeStr255("0123456789"), full, 300);
  EXPECT_EQ(full[0], 255);
  EXPECT_EQ(Text(full).substr(250), "01234");
}

TEST(CStringPCopy, StopsAtNulOrMax) {
  Str255 destination{};
  CStringPCopy("hello", destination, 255);
  EXPECT_EQ(Text(destination), "hello");
  CStringPCopy("hello", destination, 2);
  EXPECT_EQ(Text(destination), "he");
}

TEST(CStringPCat, StopsWhenLengthReachesMax) {
  Str255 destination = MakeStr255("ab");
  CStringPCat("cdef", destination, 4);
  EXPECT_EQ(Text(destination), "abcd");
  CStringPCat("gh", destination, 4);
  EXPECT_EQ(Text(destination), "abcd");
}

TEST(CStringCopy, MaxZeroWritesOnlyTheNul) {
  std::array<char, 4> destination{'x', 'x', 'x', 'x'};
  EXPECT_EQ(CStringCopy("abc", destination, 0), 0);
  EXPECT_EQ(destination[0], '\0');
  EXPECT_EQ(destination[1], 'x');
}

TEST(CStringCopy, CopiesUpToMaxThenTerminates) {
  std::array<char, 8> destination{};
  EXPECT_EQ(CStringCopy("abcdef", destination, 3), 3);
  EXPECT_STREQ(destination.data(), "abc");
}

TEST(CStringCopy, CapacityWinsOverALargeMax) {
  std::array<char, 6> buffer;
  buffer.fill('#');
  EXPECT_EQ(CStringCopy("abcdefgh", std::span(buffer).first(4), 32767), 3);
  EXPECT_STREQ(buffer.data(), "abc");
  EXPECT_EQ(buffer[4], '#');
  EXPECT_EQ(CStringCopy("abc", CStringBuffer{}, 10), 0);
}

TEST(CStringCat, AppendsUpToMax) {
  std::array<char, 16> destination{};
  CStringCopy("abc", destination, 15);
  EXPECT_EQ(CStringCat("defgh", destination, 6), 6);
  EXPECT_STREQ(destination.data(), "abcdef");
}

TEST(CStringCat, DestinationLongerThanMaxIsCut) {
  std::array<char, 16> destination{};
  CStringCopy("abcdefgh", destination, 15);
  EXPECT_EQ(CStringCat("xyz", destination, 5), 5);
  EXPECT_STREQ(destination.data(), "abcde");
}

TEST(CStringCat, UnterminatedDestinationStaysInsideItsBuffer) {
  std::array<char, 5> buffer{'a', 'b', 'c', 'd', 'e'};
  EXPECT_EQ(CStringCat("xyz", buffer, 100), 4);
  EXPECT_STREQ(buffer.data(), "abcd");
}

TEST(CStringCat, NegativeMaxEmptiesTheDestination) {
  std::array<char, 8> destination{};
  CStringCopy("abc", destination, 7);
  EXPECT_EQ(CStringCat("d", destination, -5), 0);
  EXPECT_EQ(destination[0], '\0');
}

}  // namespace
}  // namespace korvid
