// SPDX-License-Identifier: MIT
// Shared helpers of the protocol tests: a simulated mouse, virtual time, and views of the
// traffic the mouse saw.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "platform/Sleeper.h"
#include "sim/SimulatedTessel.h"

namespace korvid::testing {

using Report = SimulatedTessel::Report;

inline bool IsClearBusyReport(const Report& r) {
  Report clear{};
  clear[0] = 1;
  clear[89] = 1;
  return r == clear;
}

// The command blocks the mouse accepted, without the clear-busy reports.
inline std::vector<Report> CommandWrites(const SimulatedTessel& mouse) {
  std::vector<Report> out;
  for (const Report& r : mouse.Writes()) {
    if (!IsClearBusyReport(r)) out.push_back(r);
  }
  return out;
}

inline std::size_t CountTransfers(const SimulatedTessel& mouse, bool write) {
  const auto traffic = mouse.Traffic();
  return static_cast<std::size_t>(
      std::count_if(traffic.begin(), traffic.end(), [&](const auto& t) { return t.write == write; }));
}

inline std::size_t CountClearBusy(const SimulatedTessel& mouse) {
  const auto writes = mouse.Writes();
  return static_cast<std::size_t>(std::count_if(writes.begin(), writes.end(), IsClearBusyReport));
}

inline std::string JoinViolations(const SimulatedTessel& mouse) {
  std::string text;
  for (const std::string& v : mouse.Violations()) text += v + "\n";
  return text;
}

// Every test runs against a simulated mouse in virtual time and ends with the mouse
// having seen no protocol violation.
class SimulatedMouseTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(mouse.ViolationCount(), 0u) << JoinViolations(mouse);
  }

  SimulatedTessel mouse;
  VirtualSleeper sleeper;
};

}  // namespace korvid::testing
