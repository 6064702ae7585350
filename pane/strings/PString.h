// SPDX-License-Identifier: MIT
// The string routines moved to strings/PString.h, shared by the pane, the helper and the
// uninstaller; this name stays only for programs outside the product that still use it.
#pragma once

#include "strings/PString.h"
