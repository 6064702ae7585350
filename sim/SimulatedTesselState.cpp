// SPDX-License-Identifier: MIT
// The state file of a simulated mouse: three lines "settings", "configuration",
// "information", each followed by the block's 80 bytes in hexadecimal.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "sim/SimulatedTessel.h"

namespace korvid {

namespace {

constexpr const char* kHeader = "# Korvid Tessel simulated mouse";

std::string ToHex(const SimulatedTessel::Block& block) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(block.size() * 2);
  for (std::uint8_t b : block) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0xF]);
  }
  return text;
}

bool FromHex(const std::string& text, SimulatedTessel::Block& block) {
  if (text.size() != block.size() * 2) return false;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < block.size(); ++i) {
    const int high = digit(text[2 * i]);
    const int low = digit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    block[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return true;
}

}  // namespace

std::string DefaultSimulatedTesselStatePath() {
  std::filesystem::path base;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    base = state;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    base = std::filesystem::path(home) / ".local" / "state";
  } else {
    base = std::filesystem::temp_directory_path();
  }
  return (base / "korvid" / "simulated-tessel.state").string();
}

SimulatedTesselStateFile::SimulatedTesselStateFile(std::string path) : path_(std::move(path)) {
  const std::filesystem::path target(path_);
  std::error_code error;
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), error);
  lockFd_ = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ >= 0) {
    while (::flock(lockFd_, LOCK_EX) == -1 && errno == EINTR) {
    }
  }
}

SimulatedTesselStateFile::~SimulatedTesselStateFile() {
  if (lockFd_ >= 0) ::close(lockFd_);  // closing releases the lock
}

OSStatus SimulatedTesselStateFile::Load(SimulatedTessel::State& state) const {
  std::error_code error;
  if (!std::filesystem::exists(path_, error)) return fnfErr;
  std::ifstream in(path_);
  if (!in) return ioErr;

  SimulatedTessel::State loaded;
  bool haveSettings = false, haveConfiguration = false, haveInformation = false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, hex, extra;
    if (!(fields >> name >> hex) || (fields >> extra)) return ioErr;
    bool ok = false;
    if (name == "settings") {
      ok = FromHex(hex, loaded.settings) && !haveSettings;
      haveSettings = true;
    } else if (name == "configuration") {
      ok = FromHex(hex, loaded.configuration) && !haveConfiguration;
      haveConfiguration = true;
    } else if (name == "information") {
      ok = FromHex(hex, loaded.information) && !haveInformation;
      haveInformation = true;
    }
    if (!ok) return ioErr;
  }
  if (in.bad() || !haveSettings || !haveConfiguration || !haveInformation) return ioErr;
  state = loaded;
  return noErr;
}

OSStatus SimulatedTesselStateFile::Save(const SimulatedTessel::State& state) const {
  if (lockFd_ < 0) return ioErr;  // the folder could not be made or the lock not taken
  const std::string text = std::string(kHeader) + "\nsettings " + ToHex(state.settings) + "\nconfiguration " +
                           ToHex(state.configuration) + "\ninformation " + ToHex(state.information) + "\n";

  std::string temporary = path_ + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return ioErr;
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  const bool ok = written == text.size() && ::fsync(fd) == 0;
  if (::close(fd) != 0 || !ok || ::rename(temporary.c_str(), path_.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return ioErr;
  }
  return noErr;
}

OSStatus LoadSimulatedTesselState(const std::string& path, SimulatedTessel::State& state) {
  return SimulatedTesselStateFile(path).Load(state);
}

OSStatus SaveSimulatedTesselState(const std::string& path, const SimulatedTessel::State& state) {
  return SimulatedTesselStateFile(path).Save(state);
}

}  // namespace korvid
