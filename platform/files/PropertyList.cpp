// SPDX-License-Identifier: MIT
#include "platform/files/PropertyList.h"

#include <iconv.h>
#include <libxml/xmlreader.h>
#include <locale.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <utility>
#include <vector>

namespace korvid {

namespace {

// Numbers in property lists are written with a decimal point whatever the process's
// locale is (a settings window may have switched LC_NUMERIC to the user's).
class CLocaleScope {
 public:
  CLocaleScope() : locale_(newlocale(LC_ALL_MASK, "C", nullptr)) {
    if (locale_ != nullptr) previous_ = uselocale(locale_);
  }
  ~CLocaleScope() {
    if (locale_ != nullptr) {
      uselocale(previous_);
      freelocale(locale_);
    }
  }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t locale_;
  locale_t previous_ = LC_GLOBAL_LOCALE;
};

// `text` converted from the encoding `from` (iconv's name) to UTF-8; nullopt when it is
// not valid in that encoding.
std::optional<std::string> ToUtf8(std::string_view text, const char* from) {
  iconv_t converter = iconv_open("UTF-8", from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(text.size() * 2 + 16, '\0');  // UTF-16 to UTF-8 grows by at most half
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  char* put = out.data();
  std::size_t outLeft = out.size();
  const std::size_t result = iconv(converter, &in, &inLeft, &put, &outLeft);
  iconv_close(converter);
  if (result == static_cast<std::size_t>(-1) || inLeft != 0) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

// The XML text of `data` in UTF-8 without a byte-order mark, which is what libplist
// reads; nullopt when it is UTF-16 that does not convert. Other data is left alone.
std::optional<std::string> XmlAsUtf8(std::string_view data) {
  const auto startsWith = [&](std::string_view prefix) { return data.substr(0, prefix.size()) == prefix; };
  using namespace std::string_view_literals;
  if (startsWith("\xEF\xBB\xBF"sv)) return std::string(data.substr(3));
  if (startsWith("\xFF\xFE"sv)) return ToUtf8(data.substr(2), "UTF-16LE");
  if (startsWith("\xFE\xFF"sv)) return ToUtf8(data.substr(2), "UTF-16BE");
  // UTF-16 without a mark, told by its first character "<".
  if (startsWith("<\0"sv)) return ToUtf8(data, "UTF-16LE");
  if (startsWith("\0<"sv)) return ToUtf8(data, "UTF-16BE");
  return std::string(data);
}

// Whether libxml2 reads `xml` as a well-formed document whose elements nest at most
// `limit` deep and none of whose dictionaries holds a key twice. libxml2's reader is a
// streaming parser that keeps no recursion of its own per level and stops at its own
// nesting limit (256, as no XML_PARSE_HUGE is asked for), so a document of any depth is
// refused here before libplist, whose reader builds the whole tree and frees a failed
// one recursively, sees it. Comments, CDATA, processing instructions and quoted
// attributes are read as XML reads them, so none of them hides or fakes an element.
bool IsWellFormedWithin(const std::string& xml, std::size_t limit) {
  static const bool initialised = [] {
    xmlInitParser();
    return true;
  }();
  (void)initialised;
  // The text is UTF-8 by now, whatever its declaration still says; nothing is fetched and
  // no entity is substituted.
  constexpr int kOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_IGNORE_ENC;
  std::unique_ptr<xmlTextReader, decltype(&xmlFreeTextReader)> reader(
      xmlReaderForMemory(xml.data(), static_cast<int>(xml.size()), nullptr, "UTF-8", kOptions), &xmlFreeTextReader);
  if (!reader) return false;
  xmlTextReaderSetStructuredErrorHandler(reader.get(), [](void*, xmlErrorPtr) {}, nullptr);
  struct Open {
    bool dictionary;
    std::set<std::string> keys;  // a dictionary's keys so far
  };
  std::vector<Open> open;  // the elements around the node read
  std::optional<std::string> key;  // the text of a dictionary's key being read
  std::size_t keyDepth = 0;
  const auto endKey = [&]() {
    const bool fresh = open.back().keys.insert(*key).second;
    key.reset();
    return fresh;
  };
  int read = 0;
  while ((read = xmlTextReaderRead(reader.get())) == 1) {
    const int type = xmlTextReaderNodeType(reader.get());
    const auto depth = static_cast<std::size_t>(xmlTextReaderDepth(reader.get()));
    if (type == XML_READER_TYPE_ELEMENT) {
      if (depth >= limit) return false;
      open.resize(depth);
      const std::string_view name = reinterpret_cast<const char*>(xmlTextReaderConstLocalName(reader.get()));
      if (name == "key" && !open.empty() && open.back().dictionary) {
        key.emplace();
        keyDepth = depth;
        if (xmlTextReaderIsEmptyElement(reader.get()) == 1 && !endKey()) return false;
      }
      if (xmlTextReaderIsEmptyElement(reader.get()) != 1) open.push_back({name == "dict", {}});
    } else if (type == XML_READER_TYPE_END_ELEMENT) {
      if (key && depth == keyDepth) {
        open.resize(depth);
        if (!endKey()) return false;
      }
      open.resize(depth);
    } else if (key && (type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA ||
                       type == XML_READER_TYPE_WHITESPACE || type == XML_READER_TYPE_SIGNIFICANT_WHITESPACE)) {
      if (const xmlChar* text = xmlTextReaderConstValue(reader.get())) *key += reinterpret_cast<const char*>(text);
    }
  }
  return read == 0;
}

// The longest path from `root` down through arrays and dictionaries, counted in nodes,
// if it is at most `limit`; walked without recursion.
bool TreeWithin(plist_t root, std::size_t limit) {
  std::vector<std::pair<plist_t, std::size_t>> pending{{root, 1}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    if (depth > limit) return false;
    const plist_type type = plist_get_node_type(node);
    if (type == PLIST_ARRAY) {
      const std::uint32_t size = plist_array_get_size(node);
      for (std::uint32_t i = 0; i < size; ++i) pending.emplace_back(plist_array_get_item(node, i), depth + 1);
    } else if (type == PLIST_DICT) {
      plist_dict_iter iter = nullptr;
      plist_dict_new_iter(node, &iter);
      for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, iter, &key, &value);
        free(key);
        if (value == nullptr) break;
        pending.emplace_back(value, depth + 1);
      }
      free(iter);
    }
  }
  return true;
}

// Reads a big-endian unsigned number of `size` (1 to 8) bytes at `at`.
std::uint64_t BigEndian(std::string_view data, std::size_t at, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value = (value << 8) | static_cast<unsigned char>(data[at + i]);
  return value;
}

// The same bound for the binary form, whose containers refer to their elements by object
// number: whether a path from the top object through arrays, sets and dictionaries is
// longer than `limit`. Only the trailer, the offset table and the containers' reference
// lists are looked at; a structure that does not hold together (references out of range,
// a cycle) counts as too deep, since it cannot be a document anyway.
bool BinaryNestsDeeperThan(std::string_view data, std::size_t limit) {
  constexpr std::size_t kHeader = 8;
  constexpr std::size_t kTrailer = 32;
  if (data.size() < kHeader + kTrailer) return true;
  const std::size_t trailer = data.size() - kTrailer;
  const std::size_t offsetSize = static_cast<unsigned char>(data[trailer + 6]);
  const std::size_t refSize = static_cast<unsigned char>(data[trailer + 7]);
  const std::uint64_t count = BigEndian(data, trailer + 8, 8);
  const std::uint64_t top = BigEndian(data, trailer + 16, 8);
  const std::uint64_t table = BigEndian(data, trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || table < kHeader || table > trailer ||
      count > (trailer - table) / offsetSize || top >= count) {
    return true;
  }
  // The references a container holds: (first byte, how many); 0 of them for other objects.
  const auto references = [&](std::uint64_t object, std::size_t& first, std::uint64_t& n) {
    const std::uint64_t at = BigEndian(data, static_cast<std::size_t>(table + object * offsetSize), offsetSize);
    if (at < kHeader || at >= table) return false;
    const auto marker = static_cast<unsigned char>(data[at]);
    const unsigned type = marker >> 4;
    n = 0;
    if (type != 0xA && type != 0xC && type != 0xD) return true;
    std::size_t position = static_cast<std::size_t>(at) + 1;
    n = marker & 0x0F;
    if (n == 0x0F) {  // the count follows as an integer object
      if (position >= table) return false;
      const auto countMarker = static_cast<unsigned char>(data[position]);
      const std::size_t size = std::size_t{1} << (countMarker & 0x0F);
      if ((countMarker >> 4) != 1 || size > 8 || position + 1 + size > table) return false;
      n = BigEndian(data, position + 1, size);
      position += 1 + size;
    }
    if (type == 0xD) {
      if (n > (table - position) / (2 * refSize)) return false;
      n *= 2;  // keys, then values
    } else if (n > (table - position) / refSize) {
      return false;
    }
    first = position;
    return true;
  };
  // Depth-first, each object once: the longest path below it is kept.
  std::vector<std::uint32_t> height(static_cast<std::size_t>(count), 0);
  std::vector<bool> onPath(static_cast<std::size_t>(count), false);
  struct Frame {
    std::uint64_t object;
    std::size_t first;
    std::uint64_t n;
    std::uint64_t next = 0;
    std::uint32_t height = 1;
  };
  std::vector<Frame> path;
  const auto enter = [&](std::uint64_t object) {
    Frame frame{object, 0, 0};
    if (!references(object, frame.first, frame.n)) return false;
    onPath[object] = true;
    path.push_back(frame);
    return true;
  };
  if (!enter(top)) return true;
  while (!path.empty()) {
    if (path.size() > limit) return true;
    Frame& frame = path.back();
    if (frame.next == frame.n) {
      height[frame.object] = frame.height;
      onPath[frame.object] = false;
      const std::uint32_t done = frame.height;
      path.pop_back();
      if (!path.empty()) path.back().height = std::max(path.back().height, done + 1);
      continue;
    }
    const std::uint64_t child = BigEndian(data, frame.first + static_cast<std::size_t>(frame.next * refSize), refSize);
    ++frame.next;
    if (child >= count || onPath[child]) return true;
    if (height[child] != 0) {
      if (path.size() + height[child] > limit) return true;
      frame.height = std::max(frame.height, height[child] + 1);
      continue;
    }
    if (!enter(child)) return true;
  }
  return false;
}

bool HasElements(plist_t node) {
  return (plist_get_node_type(node) == PLIST_ARRAY && plist_array_get_size(node) > 0) ||
         (plist_get_node_type(node) == PLIST_DICT && plist_dict_get_size(node) > 0);
}

}  // namespace

void PropertyList::Free::operator()(plist_t root) const {
  // Containers are emptied from their last element on, a node going only once it holds
  // nothing, so libplist's own (recursive) free only ever meets leaves.
  std::vector<plist_t> path{root};
  while (!path.empty()) {
    plist_t node = path.back();
    plist_t child = nullptr;
    char* key = nullptr;
    if (plist_get_node_type(node) == PLIST_ARRAY && plist_array_get_size(node) > 0) {
      child = plist_array_get_item(node, plist_array_get_size(node) - 1);
    } else if (plist_get_node_type(node) == PLIST_DICT && plist_dict_get_size(node) > 0) {
      plist_dict_iter iter = nullptr;
      plist_dict_new_iter(node, &iter);
      plist_dict_next_item(node, iter, &key, &child);
      free(iter);
      if (key != nullptr) child = plist_dict_get_item(node, key);
    }
    if (child == nullptr) {
      // Empty (or a leaf): its container removes it next, unless it is the root. One whose
      // elements cannot be reached by key goes whole.
      path.pop_back();
      if (path.empty() || HasElements(node)) plist_free(node);
    } else if (HasElements(child)) {
      path.push_back(child);
    } else if (key != nullptr) {
      plist_dict_remove_item(node, key);
    } else {
      plist_array_remove_item(node, plist_array_get_size(node) - 1);
    }
    free(key);
  }
}

std::optional<PropertyList> PropertyList::Parse(std::string_view data) {
  if (data.empty() || data.size() > kMaxPropertyListBytes) return std::nullopt;
  CLocaleScope cLocale;
  plist_t root = nullptr;
  if (plist_is_binary(data.data(), static_cast<std::uint32_t>(data.size()))) {
    if (BinaryNestsDeeperThan(data, kMaxPropertyListDepth)) return std::nullopt;
    plist_from_bin(data.data(), static_cast<std::uint32_t>(data.size()), &root);
  } else {
    const std::optional<std::string> xml = XmlAsUtf8(data);
    if (!xml || xml->empty() || !IsWellFormedWithin(*xml, kMaxPropertyListDepth)) return std::nullopt;
    plist_from_xml(xml->data(), static_cast<std::uint32_t>(xml->size()), &root);
  }
  if (root == nullptr) return std::nullopt;
  // The bound that holds whatever either reader made of the data: the tree itself.
  PropertyList document(root);
  if (!TreeWithin(root, kMaxPropertyListDepth)) return std::nullopt;
  return document;
}

std::optional<std::string> PropertyList::ToXml() const {
  // libplist's writer recurses once per level.
  if (!root_ || !TreeWithin(root_.get(), kMaxPropertyListDepth)) return std::nullopt;
  CLocaleScope cLocale;
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root_.get(), &xml, &length);
  if (xml == nullptr) return std::nullopt;
  std::string text(xml, length);
  plist_to_xml_free(xml);
  return text;
}

std::optional<float> PropertyList::GetFloat(const std::string& key) const {
  if (!IsDictionary()) return std::nullopt;
  plist_t node = plist_dict_get_item(root_.get(), key.c_str());
  if (node == nullptr) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return static_cast<float>(value);
    }
    case PLIST_UINT: {
      // libplist keeps integers in 64 bits; negative ones arrive as their two's complement.
      std::uint64_t value = 0;
      plist_get_uint_val(node, &value);
      return static_cast<float>(static_cast<std::int64_t>(value));
    }
    case PLIST_BOOLEAN: {
      std::uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return value != 0 ? 1.0f : 0.0f;
    }
    case PLIST_STRING: {
      std::string_view text = StringValue(node).value_or(std::string_view{});
      while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\n'))
        text.remove_prefix(1);
      if (!text.empty() && text.front() == '+') text.remove_prefix(1);
      float value = 0.0f;
      auto result = std::from_chars(text.data(), text.data() + text.size(), value);
      return result.ec == std::errc{} ? value : 0.0f;
    }
    default:
      return std::nullopt;
  }
}

void PropertyList::SetFloat(const std::string& key, float value) {
  if (!IsDictionary()) return;
  plist_dict_set_item(root_.get(), key.c_str(), plist_new_real(static_cast<double>(value)));
}

bool PropertyList::Contains(const std::string& key) const {
  return IsDictionary() && plist_dict_get_item(root_.get(), key.c_str()) != nullptr;
}

std::optional<std::string_view> StringValue(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (text == nullptr) return std::nullopt;
  return std::string_view(text, static_cast<std::size_t>(length));
}

bool IsPropertyListText(std::string_view text) {
  std::size_t i = 0;
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  while (i < text.size()) {
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
      if (lead < 0x20 && lead != '\t' && lead != '\n' && lead != '\r') return false;
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return false;
      code = (code << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace korvid
