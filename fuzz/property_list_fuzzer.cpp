// SPDX-License-Identifier: MIT
// A user's property list file, of any size up to past the size bound (run with
// -max_len large enough to nest far past the depth bound): parsed, read, written back.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/files/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<korvid::PropertyList> document =
      korvid::PropertyList::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!document) return 0;
  (void)document->GetFloat("acceleration");
  const std::optional<std::string> xml = document->ToXml();
  if (!xml) __builtin_trap();  // a tree that was read must be writable
  if (!korvid::PropertyList::Parse(*xml)) __builtin_trap();  // and what is written, readable
  return 0;
}
