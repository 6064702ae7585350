// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "driver/client/DriverProtocol.h"
#include "platform/Identity.h"
#include "platform/input/InputDevice.h"

namespace korvid {
namespace {

std::string Read(const std::string& relative) {
  std::ifstream in(std::string(KORVID_SOURCE_DIR) + "/" + relative);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

TEST(Packaging, TheUdevRuleStartsTheDaemonForTheTesselsPointer) {
  const std::string rule = Read("packaging/udev/71-korvid-tessel-driver.rules");
  EXPECT_NE(rule.find("ATTRS{idVendor}==\"" + Hex4(kTesselVendorID) + "\""), std::string::npos);
  EXPECT_NE(rule.find("ATTRS{idProduct}==\"" + Hex4(kTesselProductID) + "\""), std::string::npos);
  EXPECT_NE(rule.find("SYSTEMD_WANTS}+=\"korvid-tessel-driver.service\""), std::string::npos);
}

TEST(Packaging, TheUnitKeepsTheRuntimeFolderTheClientsLookIn) {
  const std::string unit = Read("packaging/systemd/korvid-tessel-driver.service.in");
  const std::string folder = driverproto::kDefaultRuntimeDir;
  EXPECT_NE(unit.find("RuntimeDirectory=" + folder.substr(folder.rfind('/') + 1) + "\n"), std::string::npos);
  EXPECT_NE(unit.find("Type=notify"), std::string::npos);
}

TEST(Packaging, TheX11SnippetMakesEveryPointerOfTheTesselFlat) {
  // The clone and the module-accelerated node share the mouse's ids, not its name.
  const std::string snippet = Read("packaging/x11/71-korvid-tessel-flat.conf");
  EXPECT_NE(snippet.find("MatchUSBID \"" + Hex4(kTesselVendorID) + ":" + Hex4(kTesselProductID) + "\""),
            std::string::npos);
  EXPECT_EQ(snippet.find("MatchProduct"), std::string::npos);
  EXPECT_NE(snippet.find("Option \"AccelProfile\" \"flat\""), std::string::npos);
  EXPECT_NE(snippet.find("Option \"AccelSpeed\" \"0\""), std::string::npos);
}

}  // namespace
}  // namespace korvid
