// SPDX-License-Identifier: MIT
// The running system's service manager (systemd) and device manager (udev), as the
// eraser meets them: a unit stopped before its program is deleted, and both told to read
// their units and rules again once some are gone. Each step does nothing where that
// manager does not run (a chroot, a container without systemd); failures change nothing
// for the caller and are not reported.
#pragma once

#include <initializer_list>
#include <string>

namespace korvid {

// Runs one of the system's own tools, looked for in /usr/bin, /bin, /usr/sbin and /sbin
// (never through PATH), and waits for it. True when it ran and exited with 0. `quiet`
// drops its output.
bool RunSystemTool(const char* name, std::initializer_list<std::string> arguments, bool quiet = false);

// Stops the unit, then disables it (which also removes a linked unit's link).
void StopAndDisableUnit(const std::string& unit);

// `systemctl daemon-reload` and `udevadm control --reload`.
void ReloadUnitsAndRules();

}  // namespace korvid
