// SPDX-License-Identifier: MIT
// Helpers of the kernel-test programs: waiting on the kernel's uevents and running a
// program of the test machine.
#pragma once

#include <linux/input.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvid::kerneltest {

// Waits until `done` holds, looking again after every kernel uevent of `subsystem`
// (nothing else wakes it), at most `timeout`. Returns whether `done` held.
bool WaitForUevents(const char* subsystem, const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30));

struct ProgramResult {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string output;  // standard output and error
};

// Runs a program that lies beside this test program, with the given arguments.
ProgramResult RunSiblingProgram(const std::string& name, const std::vector<std::string>& args);

// Contents of a file (sysfs attribute), without a trailing newline; empty when unreadable.
std::string ReadText(const std::string& path);

// The evdev node of the Tessel (a device with its ids), or of the driver's clone of it;
// empty when there is none.
std::string FindEventNode(bool clone);

// Opens an evdev node for reading, with monotonic event times; -1 on failure.
int OpenEvdev(const std::string& node);

class TesselGadget;

// The time from the gadget's pointer report being taken by the host to its event being read
// from the mouse's own evdev node (`clone` false) or the driver's clone, over `count`
// reports. The host's controller completes the report and wakes the gadget's writer in one
// step, so the bus's pacing is not in it: what is measured is the kernel's input path and,
// for the clone, what the driver adds.
struct GadgetLatency {
  std::string error;  // empty when every report came through
  double medianUs = 0;
  double p99Us = 0;
};
GadgetLatency MeasureGadgetLatency(TesselGadget& gadget, bool clone, int count);

// One whole evdev report, up to and including SYN_REPORT.
struct Report {
  std::vector<input_event> events;
};
// Reads one report, waiting at most 5 s.
bool ReadReport(int fd, Report& report);
// The sum of the values of one kind of event in a report.
std::int32_t Sum(const Report& report, std::uint16_t type, std::uint16_t code);

// Our HID driver module hid-korvid-tessel.ko, which lies beside the test programs.
// Loading succeeds when it is loaded already; unloading when it is not loaded.
bool LoadTesselModule(std::string* error);
bool UnloadTesselModule(std::string* error);
// The HID devices with the Tessel's ids (sysfs paths) and the driver bound to each ("" none).
struct HidBinding {
  std::string device;
  std::string driver;
};
std::vector<HidBinding> TesselHidBindings();

}  // namespace korvid::kerneltest
