// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "platform/files/PropertyList.h"
#include "platform/files/tests/TestFolder.h"

namespace korvid {
namespace {
using testing::ReadWithPlistlib;
using testing::TempFolder;
using testing::WriteFile;

constexpr const char* kEveryType = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>zeta</key><integer>-5</integer>
  <key>big</key><integer>9223372036854775807</integer>
  <key>alpha</key><real>1.5</real>
  <key>when</key><date>2020-02-29T12:34:56Z</date>
  <key>before1970</key><date>1960-06-15T10:00:00Z</date>
  <key>bytes</key><data>AAEC/w==</data>
  <key>text</key><string>a &lt;&amp;&gt; é 😀</string>
  <key>empty</key><string></string>
  <key>yes</key><true/>
  <key>no</key><false/>
  <key>list</key><array><string>x</string><dict/><array/><integer>0</integer></array>
</dict>
</plist>
)";

constexpr const char* kEveryTypeSeenByPython =
    R"({"zeta":{"int":-5},"big":{"int":9223372036854775807},"alpha":{"real":"1.5"},)"
    R"("when":{"date":"2020-02-29T12:34:56"},"before1970":{"date":"1960-06-15T10:00:00"},)"
    R"("bytes":{"data":"AAEC/w=="},"text":"a <&> é 😀","empty":"","yes":{"bool":true},)"
    R"("no":{"bool":false},"list":["x",{},[],{"int":0}]})";

TEST(PropertyListRoundTrip, KeepsEveryValueTypeKeyOrderAndValue) {
  TempFolder temp;
  WriteFile(temp.path() / "in.plist", kEveryType);
  ASSERT_EQ(ReadWithPlistlib(temp.path() / "in.plist"), kEveryTypeSeenByPython);

  std::optional<PropertyList> document = PropertyList::Parse(kEveryType);
  ASSERT_TRUE(document);
  std::optional<std::string> xml = document->ToXml();
  ASSERT_TRUE(xml);
  WriteFile(temp.path() / "out.plist", *xml);
  EXPECT_EQ(ReadWithPlistlib(temp.path() / "out.plist"), kEveryTypeSeenByPython);
}

TEST(PropertyListRoundTrip, FloatsStaySinglePrecisionReals) {
  TempFolder temp;
  PropertyList settings = PropertyList::NewDictionary();
  settings.SetFloat("acceleration", 1.1f);
  settings.SetFloat("lastAcceleration", 0.1f);
  WriteFile(temp.path() / "s.plist", *settings.ToXml());
  // The reals hold exactly the single-precision values.
  EXPECT_EQ(ReadWithPlistlib(temp.path() / "s.plist"),
            R"({"acceleration":{"real":"1.100000023841858"},"lastAcceleration":{"real":"0.10000000149011612"}})");
  std::optional<PropertyList> back = PropertyList::Parse(*settings.ToXml());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->GetFloat("acceleration"), 1.1f);
  EXPECT_EQ(back->GetFloat("lastAcceleration"), 0.1f);
}

TEST(PropertyListParse, RejectsEmptyAndDamagedText) {
  EXPECT_FALSE(PropertyList::Parse(""));
  EXPECT_FALSE(PropertyList::Parse("garbage"));
  EXPECT_FALSE(PropertyList::Parse("<plist><dict><key>a</key><string>x</string>"));
  EXPECT_FALSE(PropertyList::Parse(std::string_view("\0\0\0", 3)));
  // Nesting and size bounds: the deepest and largest documents allowed still parse,
  // however the elements are opened. A text scanner that counted tags was fooled by a
  // ">" in a quoted attribute and by a comment or CDATA start hidden behind one.
  struct Form {
    const char* open;
    const char* inner;   // once, inside the innermost array
    bool wellFormed;
  };
  for (const Form& form : {Form{"<array>", "", true}, Form{"<array a=\"/>\">", "", true},
                           Form{"<array a=\"><!--\">", "<true b=\"-->\"/>", false},
                           Form{"<array a=\"><![CDATA[\">", "<true b=\"]]>\"/>", false}}) {
    SCOPED_TRACE(form.open);
    const auto nested = [&](std::size_t arrays) {
      std::string xml = "<?xml version=\"1.0\"?><!-- <<< --><plist version=\"1.0\">";
      for (std::size_t i = 0; i < arrays; ++i) xml += form.open;
      xml += std::string(form.inner) + "<true/><string>&lt;</string>";
      for (std::size_t i = 0; i < arrays; ++i) xml += "</array>";
      return xml + "</plist>";
    };
    // Elements nested: <plist>, the arrays, then <string>.
    EXPECT_EQ(PropertyList::Parse(nested(kMaxPropertyListDepth - 2)).has_value(), form.wellFormed);
    EXPECT_FALSE(PropertyList::Parse(nested(kMaxPropertyListDepth - 1)));
    EXPECT_FALSE(PropertyList::Parse(nested(50000)));  // would overflow libplist's stack
  }
  EXPECT_FALSE(PropertyList::Parse(std::string(200000, '<')));
  const std::string filler(kMaxPropertyListBytes - 64, ' ');
  EXPECT_TRUE(PropertyList::Parse("<plist><string>x</string></plist>" + filler));
  EXPECT_FALSE(PropertyList::Parse("<plist><string>x</string></plist>" + filler + std::string(64, ' ')));
}

TEST(PropertyListParse, ADictionaryHoldingAKeyTwiceIsDamaged) {
  for (const auto& [dict, fine] : std::initializer_list<std::pair<const char*, bool>>{
           {"<key>a</key><true/><key>a</key><false/>", false},
           {"<key/><true/><key></key><false/>", false},
           {"<key>a&amp;</key><true/><key><![CDATA[a&]]></key><false/>", false},
           {"<key>a</key><dict><key>a</key><true/></dict><key>b</key><array><dict><key>b</key><true/></dict></array>",
            true},
           {"<key>a</key><true/><key>A</key><true/><key> a</key><true/>", true}}) {
    EXPECT_EQ(PropertyList::Parse(std::string("<plist><dict>") + dict + "</dict></plist>").has_value(), fine) << dict;
  }
}

TEST(PropertyListWrite, ATreeDeeperThanTheBoundIsNotWrittenAndFreesWithoutRecursion) {
  PropertyList deep = PropertyList::NewArray();
  plist_t inner = deep.get();
  for (int i = 0; i < 300000; ++i) {
    plist_t next = i % 2 ? plist_new_array() : plist_new_dict();
    if (plist_get_node_type(inner) == PLIST_DICT) {
      plist_dict_set_item(inner, "k", next);
    } else {
      plist_array_append_item(inner, plist_new_bool(1));
      plist_array_append_item(inner, next);
    }
    inner = next;
  }
  EXPECT_FALSE(deep.ToXml());
  // Arrays nested `levels` deep: the bound itself is still written.
  const auto chain = [](std::size_t levels) {
    PropertyList top = PropertyList::NewArray();
    plist_t inner = top.get();
    for (std::size_t i = 1; i < levels; ++i) {
      plist_array_append_item(inner, plist_new_array());
      inner = plist_array_get_item(inner, 0);
    }
    return top;
  };
  EXPECT_TRUE(chain(kMaxPropertyListDepth).ToXml());
  EXPECT_FALSE(chain(kMaxPropertyListDepth + 1).ToXml());
}

TEST(PropertyListParse, ReadsTheBinaryFormTooWithinTheSameBounds) {
  std::optional<PropertyList> document = PropertyList::Parse(kEveryType);
  ASSERT_TRUE(document);
  char* binary = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(document->get(), &binary, &length);
  ASSERT_NE(binary, nullptr);
  std::optional<PropertyList> back = PropertyList::Parse(std::string_view(binary, length));
  plist_to_bin_free(binary);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->ToXml(), document->ToXml());

  // Arrays nested `levels` deep in the binary form (object i holds object i + 1): the
  // same depth bound holds.
  const auto nested = [](std::uint64_t levels) {
    std::string data = "bplist00";
    const auto put = [&](std::uint64_t value, int bytes) {
      for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) data += static_cast<char>((value >> shift) & 0xFF);
    };
    std::vector<std::uint64_t> offsets;
    for (std::uint64_t i = 0; i < levels; ++i) {
      offsets.push_back(data.size());
      data += i + 1 < levels ? '\xA1' : '\xA0';
      if (i + 1 < levels) put(i + 1, 4);
    }
    const std::uint64_t table = data.size();
    for (std::uint64_t offset : offsets) put(offset, 4);
    data += std::string(6, '\0') + "\x04\x04";
    put(levels, 8);
    put(0, 8);
    put(table, 8);
    return data;
  };
  EXPECT_TRUE(PropertyList::Parse(nested(kMaxPropertyListDepth)));
  EXPECT_FALSE(PropertyList::Parse(nested(kMaxPropertyListDepth + 1)));
  EXPECT_FALSE(PropertyList::Parse(nested(200000)));  // would overflow the parser's stack
}

TEST(PropertyListNumbers, ReadsNumbersOfEveryKindAsFloat) {
  std::optional<PropertyList> d = PropertyList::Parse(
      "<plist><dict><key>r</key><real>0.5</real><key>i</key><integer>-2</integer>"
      "<key>b</key><true/><key>s</key><string> 1.25abc</string><key>t</key><string>none</string>"
      "<key>d</key><date>2020-01-01T00:00:00Z</date></dict></plist>");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->GetFloat("r"), 0.5f);
  EXPECT_EQ(d->GetFloat("i"), -2.0f);
  EXPECT_EQ(d->GetFloat("b"), 1.0f);
  EXPECT_EQ(d->GetFloat("s"), 1.25f);
  EXPECT_EQ(d->GetFloat("t"), 0.0f);
  EXPECT_EQ(d->GetFloat("d"), std::nullopt);
  EXPECT_EQ(d->GetFloat("missing"), std::nullopt);
  EXPECT_TRUE(d->Contains("d"));
  EXPECT_FALSE(d->Contains("missing"));
}

}  // namespace
}  // namespace korvid
