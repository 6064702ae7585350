#include "platform/files/PropertyList.h"

#include <iconv.h>
#include <locale.h>

#include <charconv>
#include <cstdint>

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

// Whether the XML text nests elements deeper than `limit`. Only the tags are counted
// (a bound checked before the document reaches the parser, which reads it properly):
// comments, CDATA sections, declarations and processing instructions are passed over.
bool NestsDeeperThan(std::string_view xml, std::size_t limit) {
  std::size_t depth = 0;
  std::size_t at = 0;
  const auto skipPast = [&](std::string_view end) {
    const std::size_t found = xml.find(end, at);
    at = found == std::string_view::npos ? xml.size() : found + end.size();
  };
  while ((at = xml.find('<', at)) != std::string_view::npos) {
    const std::string_view rest = xml.substr(at);
    if (rest.starts_with("<!--")) {
      skipPast("-->");
      continue;
    }
    if (rest.starts_with("<![CDATA[")) {
      skipPast("]]>");
      continue;
    }
    const std::size_t close = xml.find('>', at);
    if (close == std::string_view::npos) return false;  // unfinished: the parser refuses it
    const char kind = rest.size() > 1 ? rest[1] : '\0';
    if (kind == '/') {
      if (depth > 0) --depth;
    } else if (kind != '?' && kind != '!' && xml[close - 1] != '/' && ++depth > limit) {
      return true;
    }
    at = close + 1;
  }
  return false;
}

}  // namespace

std::optional<PropertyList> PropertyList::Parse(std::string_view data) {
  if (data.empty() || data.size() > kMaxPropertyListBytes) return std::nullopt;
  CLocaleScope cLocale;
  plist_t root = nullptr;
  if (plist_is_binary(data.data(), static_cast<std::uint32_t>(data.size()))) {
    plist_from_bin(data.data(), static_cast<std::uint32_t>(data.size()), &root);
  } else {
    const std::optional<std::string> xml = XmlAsUtf8(data);
    if (!xml || xml->empty() || NestsDeeperThan(*xml, kMaxPropertyListDepth)) return std::nullopt;
    plist_from_xml(xml->data(), static_cast<std::uint32_t>(xml->size()), &root);
  }
  if (root == nullptr) return std::nullopt;
  return PropertyList(root);
}

std::optional<std::string> PropertyList::ToXml() const {
  if (!root_) return std::nullopt;
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
