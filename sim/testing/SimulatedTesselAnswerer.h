// SPDX-License-Identifier: MIT
// Test support: lets a simulated Tessel answer the feature ioctls of a fake hidraw node.
#pragma once

#include <memory>

#include "platform/usb/tests/UmockdevBed.h"
#include "sim/SimulatedTessel.h"

namespace korvid::testing {

// The node's SET_FEATURE / GET_FEATURE become the mouse's SET_REPORT / GET_REPORT; a
// mouse that is unplugged answers ENODEV, any other failure is a stall (EPIPE).
FeatureAnswerer AnswerWith(std::shared_ptr<SimulatedTessel> mouse);

}  // namespace korvid::testing
