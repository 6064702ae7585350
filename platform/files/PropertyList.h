// SPDX-License-Identifier: MIT
// XML property lists, read and written by libplist.
//
// A PropertyList owns one tree of libplist nodes. Reading and writing keep every key,
// element and value type of the document (strings, integers, reals, booleans, dates,
// data, arrays, dictionaries), so a document can be edited in part and written back.
#pragma once

#include <plist/plist.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace korvid {

// Bounds on documents read: larger or deeper ones count as damaged (libplist frees,
// copies and writes trees recursively, once per level, so a deep enough document would
// overflow the stack). The depth is counted in XML elements for the XML form and in
// nested objects for the binary form and for trees.
inline constexpr std::size_t kMaxPropertyListBytes = 4 * 1024 * 1024;
inline constexpr std::size_t kMaxPropertyListDepth = 256;

class PropertyList {
 public:
  PropertyList() = default;
  // Takes ownership of a root node (one without a parent).
  explicit PropertyList(plist_t root) : root_(root) {}

  static PropertyList NewDictionary() { return PropertyList(plist_new_dict()); }
  static PropertyList NewArray() { return PropertyList(plist_new_array()); }

  // Parses a property list of any root type, in XML or in the binary form that other
  // tools may have left; nullopt when the data does not parse (empty, damaged, larger
  // than kMaxPropertyListBytes, nested deeper than kMaxPropertyListDepth, XML that is
  // not well-formed, or a dictionary holding a key twice, whose values would otherwise
  // silently lose all but one). XML may be UTF-8, with or without a byte-order mark,
  // or UTF-16 (either byte order). Documents are always written back as XML in UTF-8.
  static std::optional<PropertyList> Parse(std::string_view xml);
  // The document as XML text; nullopt if it cannot be made (a tree nested deeper than
  // kMaxPropertyListDepth included).
  std::optional<std::string> ToXml() const;

  PropertyList Clone() const { return PropertyList(root_ ? plist_copy(root_.get()) : nullptr); }

  plist_t get() const { return root_.get(); }
  plist_t release() { return root_.release(); }
  explicit operator bool() const { return root_ != nullptr; }
  bool IsDictionary() const { return root_ && plist_get_node_type(root_.get()) == PLIST_DICT; }

  // Dictionary conveniences (the root must be a dictionary).
  // The value of `key` as a single-precision number: a real or an integer as a number,
  // a boolean as 0 or 1, a string by its leading decimal number (0 when it has none).
  // nullopt when the key is absent or holds another type.
  std::optional<float> GetFloat(const std::string& key) const;
  // Stores a single-precision number as a real.
  void SetFloat(const std::string& key, float value);
  bool Contains(const std::string& key) const;

 private:
  // Frees a tree of any depth without recursing once per level.
  struct Free {
    void operator()(plist_t node) const;
  };
  std::unique_ptr<void, Free> root_;
};

// The value of a string node, or nullopt for a node of any other type (or none).
std::optional<std::string_view> StringValue(plist_t node);

// True when `text` is UTF-8 that an XML property list can hold: well-formed, with no
// control characters other than tab, line feed and carriage return.
bool IsPropertyListText(std::string_view text);

}  // namespace korvid
