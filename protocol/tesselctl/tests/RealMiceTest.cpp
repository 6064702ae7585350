// SPDX-License-Identifier: MIT
// tesselctl on two mice behind fake hidraw nodes (umockdev), answered by simulated mice:
// list numbers them, --device picks one by number or node, --json names it.
#include "protocol/tesselctl/RealMice.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/Identity.h"
#include "platform/usb/TesselDevices.h"
#include "sim/testing/SimulatedTesselAnswerer.h"
#include "protocol/Settings.h"

namespace korvid::tesselctl {
namespace {

using korvid::testing::AnswerWith;
using korvid::testing::FakeMouse;
using korvid::testing::FakeMouseSpec;
using korvid::testing::UmockdevBed;

FakeMouseSpec Spec(std::string port) {
  FakeMouseSpec spec;
  spec.name = "1-" + port;
  spec.portPath = std::move(port);
  spec.vendorID = kTesselVendorID;
  spec.productID = kTesselProductID;
  spec.interfaces = 2;
  return spec;
}

TEST(TesselctlOnAttachedMice, ListNumbersThemAndDevicePicksOneByNumberOrNode) {
  UmockdevBed bed;
  VirtualSleeper sleeper;
  std::ostringstream out, err;
  Command list;
  list.action = Action::List;
  EXPECT_EQ(ListRealMice(list, sleeper, out, err), kExitDeviceFailure);
  EXPECT_EQ(err.str(), "tesselctl: no Korvid Tessel attached (use --simulated for the simulated mouse)\n");

  auto a = std::make_shared<SimulatedTessel>();
  auto b = std::make_shared<SimulatedTessel>();
  bed.Add(Spec("2"), AnswerWith(a));
  bed.Add(Spec("3"), AnswerWith(b));
  const std::vector<TesselNode> nodes = EnumerateTessels();
  ASSERT_EQ(nodes.size(), 2u);
  // Which simulated mouse answers the second node in list order.
  SimulatedTessel& second = nodes[1].locationID == 0x01300000u ? *b : *a;
  SimulatedTessel& first = &second == b.get() ? *a : *b;

  out.str("");
  EXPECT_EQ(ListRealMice(list, sleeper, out, err), kExitOk);
  EXPECT_EQ(out.str(), "1  " + nodes[0].devnode + "  Korvid Tessel, location " + FormatLocation(nodes[0].locationID) +
                           "\n2  " + nodes[1].devnode + "  Korvid Tessel, location " +
                           FormatLocation(nodes[1].locationID) + "\n");

  ParseResult set = ParseArguments({"set", "polling", "125", "--device", "2"});
  ASSERT_TRUE(set.ok);
  EXPECT_EQ(RunOnRealMouse(set.command, sleeper, out, err), kExitOk);
  EXPECT_EQ(second.Settings()[kSettingsPollingRate], 8);
  EXPECT_EQ(first.Settings()[kSettingsPollingRate], 2);

  out.str("");
  ParseResult show = ParseArguments({"--json", "show", "--device", nodes[1].devnode});
  ASSERT_TRUE(show.ok);
  EXPECT_EQ(RunOnRealMouse(show.command, sleeper, out, err), kExitOk);
  EXPECT_NE(out.str().find("{\"node\":\"" + nodes[1].devnode + "\""), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("\"polling_hz\":125"), std::string::npos) << out.str();

  // --device names no Tessel: said in words.
  FakeMouseSpec other = Spec("4");
  other.vendorID = 0x046D;
  const FakeMouse keyboard = bed.Add(other, AnswerWith(std::make_shared<SimulatedTessel>()));
  const std::pair<std::string, std::string> refused[] = {
      {"3", "no mouse number 3: 2 Korvid Tessels are attached (see tesselctl list)"},
      {"abc", "--device takes a mouse's number from tesselctl list or its node (/dev/hidrawN), not \"abc\""},
      {"/dev/null", "/dev/null is not a hidraw node (a Tessel's node is /dev/hidrawN)"},
      {keyboard.devnodes[0],
       keyboard.devnodes[0] + " is not a Korvid Tessel: 2 Korvid Tessels are attached (see tesselctl list)"},
  };
  for (const auto& [device, words] : refused) {
    err.str("");
    EXPECT_EQ(RunOnRealMouse(ParseArguments({"show", "--device", device}).command, sleeper, out, err),
              kExitDeviceFailure);
    EXPECT_EQ(err.str(), "tesselctl: " + words + "\n");
  }

  // A mouse that cannot be read is listed with its error, and the list fails.
  out.str("");
  list.json = true;
  second.InjectFailedReads(1000, kIOReturnNotResponding);
  const PointerAcceleration pointer{0.5f, CurvePath::kKernelModule};
  EXPECT_EQ(ListRealMice(list, sleeper, out, err, &pointer), kExitDeviceFailure);
  EXPECT_NE(out.str().find("\"polling_hz\":500"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("\"acceleration\":0.5,\"curve_path\":\"kernel-module\"}\n"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("{\"node\":\"" + nodes[1].devnode + "\",\"name\":\"Korvid Tessel\",\"location\":\"" +
                           FormatLocation(nodes[1].locationID) + "\",\"error\":"),
            std::string::npos)
      << out.str();
  EXPECT_EQ(a->ViolationCount() + b->ViolationCount(), 0u);
}

}  // namespace
}  // namespace korvid::tesselctl
