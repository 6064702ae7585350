// SPDX-License-Identifier: MIT
// Where the curve runs, from a sysfs tree and a runtime folder made in a temporary folder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/client/CurvePath.h"

namespace korvid {
namespace {

namespace fs = std::filesystem;

TEST(CurvePath, TheModuleBoundToATesselWinsThenADriverSocketThenNothing) {
  struct Case {
    const char* what;
    std::vector<std::string> hidDriverEntries;  // below sys/bus/hid/drivers/
    std::vector<std::string> runtimeEntries;
    CurvePath expected;
  };
  const Case cases[] = {
      {"module bound, daemon running", {"hid-korvid-tessel/0003:3A7C:0D51.0004", "hid-korvid-tessel/bind"},
       {"KorvidTessel-1.sock"}, CurvePath::kKernelModule},
      {"module bound, no daemon", {"hid-korvid-tessel/0005:3A7C:0D51.000A"}, {}, CurvePath::kKernelModule},
      {"module loaded, nothing bound", {"hid-korvid-tessel/bind", "hid-korvid-tessel/new_id", "hid-generic/0003:3A7C:0D51.0001"},
       {"KorvidTessel-1.sock"}, CurvePath::kDriverDaemon},
      {"module bound to another mouse", {"hid-korvid-tessel/0003:3A7C:0D52.0001", "hid-korvid-tessel/0003:046D:0D51.0002"},
       {}, CurvePath::kNowhere},
      {"a name that only starts like a Tessel's", {"hid-korvid-tessel/0003:3A7C:0D51.0001x"}, {}, CurvePath::kNowhere},
      {"no socket among other files", {}, {"KorvidTessel-.sock", "lock"}, CurvePath::kNowhere},
      {"nothing at all", {}, {}, CurvePath::kNowhere},
  };
  for (const Case& c : cases) {
    char pattern[] = "/tmp/korvid-curve-path-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path root = pattern;
    fs::create_directories(root / "sys/bus/hid/drivers");
    fs::create_directories(root / "run");
    for (const std::string& entry : c.hidDriverEntries) {
      fs::create_directories((root / "sys/bus/hid/drivers" / entry).parent_path());
      fs::create_directory_symlink("../../../../devices/hid", root / "sys/bus/hid/drivers" / entry);
    }
    for (const std::string& entry : c.runtimeEntries) std::ofstream(root / "run" / entry) << "";
    EXPECT_EQ(FindCurvePath((root / "sys").string(), (root / "run").string()), c.expected) << c.what;
    fs::remove_all(root);
  }
}

}  // namespace
}  // namespace korvid
