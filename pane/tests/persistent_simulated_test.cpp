// SPDX-License-Identifier: MIT
// The settings window's simulated mouse keeps its state in the file tesselctl uses.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "pane/PersistentSimulatedTessel.h"
#include "protocol/Settings.h"

namespace korvid {
namespace {

class PersistentSimulatedTesselTest : public ::testing::Test {
 protected:
  PersistentSimulatedTesselTest() {
    char pattern[] = "/tmp/korvid-simstate-XXXXXX";
    folder = mkdtemp(pattern);
    path = (folder / "mouse.state").string();
  }
  ~PersistentSimulatedTesselTest() override { std::filesystem::remove_all(folder); }
  std::filesystem::path folder;
  std::string path;
  VirtualSleeper sleeper;
};

TEST_F(PersistentSimulatedTesselTest, ChangesAreWrittenBackAndReadsWriteNothing) {
  {
    PersistentSimulatedTessel mouse(path);
    EXPECT_EQ(mouse.GetState(), SimulatedTessel::DefaultState());
    KorvidTesselGetDPI(&mouse, sleeper);
    EXPECT_FALSE(std::filesystem::exists(path));  // nothing changed yet
    KorvidTesselSetDPI(&mouse, 0x1C2C, 0, sleeper);
  }
  SimulatedTessel::State stored;
  ASSERT_EQ(LoadSimulatedTesselState(path, stored), noErr);
  PersistentSimulatedTessel again(path);
  EXPECT_EQ(again.GetState(), stored);
  EXPECT_EQ(again.CurrentSteps(), 0x1C2C);

  // Another program (tesselctl --simulated) changes the mouse: the next read sees it, and
  // the next write builds on it instead of putting the old state back.
  PersistentSimulatedTessel other(path);
  KorvidTesselSetPollingRate(&other, 8, sleeper);
  EXPECT_EQ(KorvidTesselGetPollingRate(&again, sleeper), 8u);
  KorvidTesselSetLedState(&again, kWheelLightBit, 0, sleeper);
  ASSERT_EQ(LoadSimulatedTesselState(path, stored), noErr);
  EXPECT_EQ(stored.settings[kSettingsPollingRate], 8);
  EXPECT_EQ(stored.settings[kSettingsStepX], 0x1C);
}

TEST_F(PersistentSimulatedTesselTest, ADamagedFileGivesTheShippedState) {
  std::ofstream(path) << "garbage";
  PersistentSimulatedTessel mouse(path);
  EXPECT_EQ(mouse.GetState(), SimulatedTessel::DefaultState());
}

}  // namespace
}  // namespace korvid
