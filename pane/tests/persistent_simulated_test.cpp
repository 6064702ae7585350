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
}

TEST_F(PersistentSimulatedTesselTest, ADamagedFileGivesTheShippedState) {
  std::ofstream(path) << "garbage";
  PersistentSimulatedTessel mouse(path);
  EXPECT_EQ(mouse.GetState(), SimulatedTessel::DefaultState());
}

}  // namespace
}  // namespace korvid
