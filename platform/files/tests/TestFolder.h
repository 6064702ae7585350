// SPDX-License-Identifier: MIT
// Helpers for file tests: a private temporary folder, whole-file reads and writes, and
// a second, independent property-list reader (Python's plistlib) to check what we write.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace korvid::testing {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvid-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// The document at `path` as Python's plistlib reads it, printed as compact JSON with each
// scalar tagged by type: {"int":5}, {"real":"1.5"}, {"bool":true}, {"data":"AAE="},
// {"date":"2020-02-29T12:34:56"}; strings are plain. "ERROR" when it does not read.
inline std::string ReadWithPlistlib(const std::filesystem::path& path) {
  static const char* kScript =
      "import plistlib,json,sys,base64,datetime\n"
      "def c(o):\n"
      "  if isinstance(o,dict): return {k:c(v) for k,v in o.items()}\n"
      "  if isinstance(o,list): return [c(v) for v in o]\n"
      "  if isinstance(o,bool): return {'bool':o}\n"
      "  if isinstance(o,int): return {'int':o}\n"
      "  if isinstance(o,float): return {'real':repr(o)}\n"
      "  if isinstance(o,bytes): return {'data':base64.b64encode(o).decode()}\n"
      "  if isinstance(o,datetime.datetime): return {'date':o.isoformat()}\n"
      "  return o\n"
      "try:\n"
      "  d=plistlib.load(open(sys.argv[1],'rb'))\n"
      "except Exception:\n"
      "  print('ERROR'); sys.exit(0)\n"
      "print(json.dumps(c(d),ensure_ascii=False,separators=(',',':')))\n";
  // Debian's own interpreter starts fastest; any python3 on the PATH will do.
  const std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  std::string command = python + " - '" + path.string() + "' <<'KORVID_PLIST_READER'\n" +
                        kScript + "KORVID_PLIST_READER\n";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "ERROR";
  std::string output;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  pclose(pipe);
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

}  // namespace korvid::testing
