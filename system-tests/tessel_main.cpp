// SPDX-License-Identifier: MIT
// st_tessel: the Korvid Tessel of the system-test machine. A USB gadget with the mouse's
// ids (gadgetfs on dummy_hcd, answered by the simulated mouse), served for the whole run
// and steered by the stories through a Unix socket:
//
//   st_tessel serve SOCKET            plug the gadget in and serve commands until "quit"
//   st_tessel send SOCKET COMMAND...  send one command; prints the answer; exit 0 on "ok"
//   st_tessel grabbed NODE            exit 0 when another program holds NODE's grab
//   st_tessel other-mouse             a second, plain USB mouse (uinput, other ids) until
//                                     SIGTERM, for stories that must leave other pointers be
//
// Commands: "plug", "unplug", "motion mouse|clone PARAMETER" (moves the mouse and checks
// what comes out of its own evdev node or of the driver's clone against the acceleration
// curve for PARAMETER, 16.16; buttons and wheel must pass unchanged), "latency mouse|clone
// COUNT" (the time from the gadget's report being taken by the host to its event being
// read from that node: median and 99th percentile in µs), "move PARAMETER" (moves the mouse
// by the on-screen sequence and answers "ok DX DY", the total the curve for PARAMETER makes
// of it: what a display server adding nothing of its own moves its pointer by), "xlatency
// COUNT" (the same as latency, to the X server's raw motion event on display :0), "quit".
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <chrono>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "driver/AccelerationCurve.h"
#include "kernel-tests/KernelTestSupport.h"
#include "kernel-tests/TesselGadget.h"

namespace {

using namespace korvid;
using namespace korvid::kerneltest;

// Motion reports 150 ms apart, so each counts as the curve's longest interval and the
// expected output does not depend on the machine's speed. Every product of these motions
// and the curve's gains for the parameters the stories use is a whole count, so no
// remainder is carried from one check to the next.
const std::vector<std::pair<std::int16_t, std::int16_t>> kMotions = {
    {1000, 0}, {-600, 800}, {300, 400}, {0, -8}, {2000, 2000}, {-48, -64}};

// The on-screen sequence: from (200, 200) it stays well inside a 1920×1080 screen at every
// step, whether the curve (at 0 or 1.0) or a display server's own adds to it, and its
// speeds reach the curve's range. The same whole-count property as above holds at 0 and 1.0.
const std::vector<std::pair<std::int16_t, std::int16_t>> kScreenMotions = {
    {400, 300}, {120, 160}, {-160, -120}, {300, 0}, {-320, -240}, {0, 200}, {80, 60}};

std::string MoveOnScreen(TesselGadget& gadget, std::int32_t parameter) {
  MotionAccelerator expected;
  expected.SetParameter(parameter);
  std::int64_t t = 0;
  std::int32_t totalX = 0, totalY = 0;
  for (const auto& [dx, dy] : kScreenMotions) {
    if (!gadget.SendPointer(0, dx, dy, 0)) return "FAIL the gadget did not take a report";
    t += AccelerationCurve::kMaxIntervalUs * 2;
    const auto out = expected.Apply(dx, dy, t);
    totalX += out.dx;
    totalY += out.dy;
    ::usleep(150000);
  }
  return "ok " + std::to_string(totalX) + " " + std::to_string(totalY);
}

std::string CheckMotion(TesselGadget& gadget, bool clone, std::int32_t parameter) {
  const std::string node = FindEventNode(clone);
  if (node.empty()) return clone ? "no clone of the mouse" : "no evdev node of the mouse";
  const int fd = OpenEvdev(node);
  if (fd < 0) return "cannot open " + node;
  std::ostringstream problems;
  MotionAccelerator expected;
  expected.SetParameter(parameter);
  std::int64_t t = 0;
  for (const auto& [dx, dy] : kMotions) {
    Report report;
    if (!gadget.SendPointer(0, dx, dy, 0) || !ReadReport(fd, report)) {
      problems << " motion (" << dx << "," << dy << ") did not come out of " << node << ";";
      break;
    }
    t += AccelerationCurve::kMaxIntervalUs * 2;
    const auto out = expected.Apply(dx, dy, t);
    const std::int32_t x = Sum(report, EV_REL, REL_X), y = Sum(report, EV_REL, REL_Y);
    if (x != out.dx || y != out.dy) {
      problems << " (" << dx << "," << dy << ") came out as (" << x << "," << y << "), expected (" << out.dx << ","
               << out.dy << ");";
    }
    ::usleep(150000);
  }
  // Buttons and the wheel without motion: exactly as the mouse reported them.
  Report report;
  if (gadget.SendPointer(0x5, 0, 0, -1) && ReadReport(fd, report)) {
    if (Sum(report, EV_KEY, BTN_LEFT) != 1 || Sum(report, EV_KEY, BTN_MIDDLE) != 1 ||
        Sum(report, EV_KEY, BTN_RIGHT) != 0 || Sum(report, EV_REL, REL_WHEEL) != -1 ||
        Sum(report, EV_REL, REL_X) != 0) {
      problems << " buttons or wheel altered;";
    }
  } else {
    problems << " buttons did not come out;";
  }
  if (!gadget.SendPointer(0, 0, 0, 0) || !ReadReport(fd, report)) problems << " button release lost;";
  ::close(fd);
  const std::string text = problems.str();
  return text.empty() ? "ok " + node : "FAIL" + text;
}

std::string MeasureLatency(TesselGadget& gadget, bool clone, int count) {
  const GadgetLatency latency = MeasureGadgetLatency(gadget, clone, count);
  if (!latency.error.empty()) return "FAIL " + latency.error;
  char text[160];
  std::snprintf(text, sizeof text, "ok %s: %d reports, median %.0f us, p99 %.0f us", clone ? "clone" : "mouse",
                count, latency.medianUs, latency.p99Us);
  return text;
}

// The time from the gadget's report being taken by the host to the X server's raw motion
// event for it (XInput 2, read by this client on display :0): what a person's pointer
// waits for, whichever path the motion takes (the mouse's own node, the module, the clone).
std::string MeasureXLatency(TesselGadget& gadget, int count) {
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(":0", &screenNumber);
  const auto done = [&](std::string text) {
    xcb_disconnect(connection);
    return text;
  };
  if (xcb_connection_has_error(connection)) return done("FAIL no X display :0");
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_input_id);
  if (extension == nullptr || !extension->present) return done("FAIL the X server has no XInput");
  std::free(xcb_input_xi_query_version_reply(connection, xcb_input_xi_query_version(connection, 2, 2), nullptr));
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
  struct {
    xcb_input_event_mask_t head;
    std::uint32_t mask;
  } select = {{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
  xcb_input_xi_select_events(connection, root, 1, &select.head);
  std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
  const auto rawMotion = [&] {  // waits up to a second for the next raw motion event
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
        const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
        const bool motion = (event->response_type & 0x7F) == XCB_GE_GENERIC &&
                            generic->extension == extension->major_opcode && generic->event_type == XCB_INPUT_RAW_MOTION;
        std::free(event);
        if (motion) return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || xcb_connection_has_error(connection)) return false;
      pollfd fd = {xcb_get_file_descriptor(connection), POLLIN, 0};
      ::poll(&fd, 1, static_cast<int>(left.count()));
    }
  };
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    if (!gadget.SendPointer(0, (i % 2) != 0 ? 2 : -2, 0, 0)) break;
    const auto sent = std::chrono::steady_clock::now();
    if (!rawMotion()) break;
    samples.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - sent).count());
  }
  if (static_cast<int>(samples.size()) != count) return done("FAIL reports were lost on the way to the X server");
  std::sort(samples.begin(), samples.end());
  char text[160];
  std::snprintf(text, sizeof text, "ok X server: %d reports, median %.0f us, p99 %.0f us", count,
                samples[samples.size() / 2], samples[samples.size() * 99 / 100]);
  return done(text);
}

// A Unix stream socket and the address of `path`; exits when there is no socket.
int UnixSocket(const std::string& path, sockaddr_un& address) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::perror("socket");
    std::exit(1);
  }
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  return fd;
}

int Listen(const std::string& path) {
  sockaddr_un address;
  const int fd = UnixSocket(path, address);
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  return fd;
}

int Connect(const std::string& path) {
  sockaddr_un address;
  const int fd = UnixSocket(path, address);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  return fd;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[512];
  ssize_t got;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.find('\n') != std::string::npos) break;
  }
  return text;
}

int Serve(const std::string& socketPath) {
  TesselGadget gadget(std::make_shared<SimulatedTessel>());
  std::string error;
  if (!gadget.Plug(&error)) {
    std::fprintf(stderr, "st_tessel: cannot plug the gadget: %s\n", error.c_str());
    return 1;
  }
  const int listener = Listen(socketPath);
  std::printf("st_tessel: plugged, serving %s\n", socketPath.c_str());
  std::fflush(stdout);
  for (;;) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::istringstream command(ReadAll(client));
    std::string verb, target;
    std::int64_t parameter = 0;
    command >> verb;
    std::string answer = "ok";
    if (verb == "plug") {
      if (!gadget.Plugged() && !gadget.Plug(&error)) answer = "FAIL " + error;
    } else if (verb == "unplug") {
      gadget.Unplug();
    } else if (verb == "motion" && (command >> target >> parameter)) {
      answer = CheckMotion(gadget, target == "clone", static_cast<std::int32_t>(parameter));
    } else if (verb == "xlatency" && (command >> parameter) && parameter > 0) {
      answer = MeasureXLatency(gadget, static_cast<int>(parameter));
    } else if (verb == "move" && (command >> parameter)) {
      answer = MoveOnScreen(gadget, static_cast<std::int32_t>(parameter));
    } else if (verb == "latency" && (command >> target >> parameter) && parameter > 0) {
      answer = MeasureLatency(gadget, target == "clone", static_cast<int>(parameter));
    } else if (verb == "quit") {
      answer = "ok";
    } else {
      answer = "FAIL unknown command";
    }
    answer += "\n";
    (void)!::write(client, answer.data(), answer.size());
    ::close(client);
    if (verb == "quit") break;
  }
  gadget.Unplug();
  ::close(listener);
  ::unlink(socketPath.c_str());
  return 0;
}

int Send(const std::string& socketPath, int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) line += (i ? " " : "") + std::string(argv[i]);
  line += "\n";
  const int fd = Connect(socketPath);
  (void)!::write(fd, line.data(), line.size());
  const std::string answer = ReadAll(fd);
  ::close(fd);
  std::fputs(answer.c_str(), stdout);
  return answer.rfind("ok", 0) == 0 ? 0 : 1;
}

int Grabbed(const std::string& node) {
  const int fd = OpenEvdev(node);
  if (fd < 0) return 2;
  const bool grabbed = ::ioctl(fd, EVIOCGRAB, 1) != 0;
  if (!grabbed) ::ioctl(fd, EVIOCGRAB, 0);
  ::close(fd);
  return grabbed ? 0 : 1;
}

// A plain USB mouse of another maker, as uinput makes it, until SIGTERM.
int OtherMouse() {
  libevdev* device = libevdev_new();
  libevdev_set_name(device, "Other Maker USB Mouse");
  libevdev_set_id_bustype(device, BUS_USB);
  libevdev_set_id_vendor(device, 0x1d57);
  libevdev_set_id_product(device, 0x0001);
  libevdev_enable_event_type(device, EV_REL);
  for (const unsigned code : {REL_X, REL_Y, REL_WHEEL}) libevdev_enable_event_code(device, EV_REL, code, nullptr);
  libevdev_enable_event_type(device, EV_KEY);
  for (const unsigned code : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}) libevdev_enable_event_code(device, EV_KEY, code, nullptr);
  libevdev_uinput* uinput = nullptr;
  const int status = libevdev_uinput_create_from_device(device, LIBEVDEV_UINPUT_OPEN_MANAGED, &uinput);
  if (status != 0) {
    std::fprintf(stderr, "st_tessel: cannot create the other mouse: %s\n", std::strerror(-status));
    return 1;
  }
  std::printf("st_tessel: other mouse at %s\n", libevdev_uinput_get_devnode(uinput));
  std::fflush(stdout);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  int signal = 0;
  sigwait(&set, &signal);
  libevdev_uinput_destroy(uinput);
  libevdev_free(device);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "serve" && argc == 3) return Serve(argv[2]);
  if (verb == "send" && argc >= 4) return Send(argv[2], argc - 3, argv + 3);
  if (verb == "grabbed" && argc == 3) return Grabbed(argv[2]);
  if (verb == "other-mouse" && argc == 2) return OtherMouse();
  std::fprintf(stderr, "usage: st_tessel serve SOCKET | send SOCKET COMMAND... | grabbed NODE | other-mouse\n");
  return 2;
}
