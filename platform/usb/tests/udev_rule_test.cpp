// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/Identity.h"

namespace korvid {
namespace {

std::string RuleLine() {
  std::ifstream file(KORVID_UDEV_RULE);
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line[0] != '#') return line;
  }
  return {};
}

TEST(UdevRule, GivesTheSeatAccessToTheTesselHidrawNode) {
  const std::string rule = RuleLine();
  char vendor[8];
  char product[8];
  std::snprintf(vendor, sizeof vendor, "%04x", kTesselVendorID);
  std::snprintf(product, sizeof product, "%04x", kTesselProductID);
  EXPECT_NE(rule.find("SUBSYSTEM==\"hidraw\""), std::string::npos) << rule;
  EXPECT_NE(rule.find(std::string("ATTRS{idVendor}==\"") + vendor + "\""), std::string::npos) << rule;
  EXPECT_NE(rule.find(std::string("ATTRS{idProduct}==\"") + product + "\""), std::string::npos) << rule;
  EXPECT_NE(rule.find("TAG+=\"uaccess\""), std::string::npos) << rule;
  // uaccess is applied by 73-seat-late.rules: ours must come before it.
  const std::string path = KORVID_UDEV_RULE;
  const std::string name = path.substr(path.rfind('/') + 1);
  EXPECT_LT(name, std::string("73-seat-late.rules"));
}

}  // namespace
}  // namespace korvid
