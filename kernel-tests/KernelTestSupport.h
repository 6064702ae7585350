// Helpers of the kernel-test programs: waiting on the kernel's uevents and running a
// program of the test machine.
#pragma once

#include <chrono>
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
