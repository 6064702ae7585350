// SPDX-License-Identifier: MIT
#include "kernel-tests/TesselGadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korvid::kerneltest {
namespace {

// dummy_hcd's interrupt-capable IN endpoint; the address must match its name's number.
constexpr const char* kInterruptEndpoint = "ep5in-int";
constexpr std::uint8_t kInterruptAddress = 0x85;

void Put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::vector<std::uint8_t> EndpointDescriptor(bool highSpeed) {
  // Interrupt IN, 8 bytes, every 1 ms (high speed counts 2^(n-1) microframes).
  return {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, kInterruptAddress, USB_ENDPOINT_XFER_INT, 8, 0,
          static_cast<std::uint8_t>(highSpeed ? 4 : 1)};
}

std::vector<std::uint8_t> ConfigurationDescriptor(bool highSpeed, std::uint8_t maxPower) {
  const std::vector<std::uint8_t> report = TesselGadget::ReportDescriptor();
  std::vector<std::uint8_t> c = {USB_DT_CONFIG_SIZE, USB_DT_CONFIG, 0, 0, 1, 1, 0,
                                 USB_CONFIG_ATT_ONE, maxPower};
  // Interface 0: HID, no boot protocol, one interrupt endpoint.
  c.insert(c.end(), {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 1, USB_CLASS_HID, 0, 0, 0});
  // HID descriptor: HID 1.11, no country, one report descriptor.
  c.insert(c.end(), {9, 0x21, 0x11, 0x01, 0, 1, 0x22});
  Put16(c, static_cast<std::uint16_t>(report.size()));
  const auto endpoint = EndpointDescriptor(highSpeed);
  c.insert(c.end(), endpoint.begin(), endpoint.end());
  c[2] = static_cast<std::uint8_t>(c.size() & 0xFF);
  c[3] = static_cast<std::uint8_t>(c.size() >> 8);
  return c;
}

std::vector<std::uint8_t> StringDescriptor(std::uint8_t index) {
  if (index == 0) return {4, USB_DT_STRING, 0x09, 0x04};  // English (US)
  const char* text = index == 1 ? "Korvid" : index == 2 ? "Korvid Tessel" : nullptr;
  if (text == nullptr) return {};
  std::vector<std::uint8_t> s = {0, USB_DT_STRING};
  for (const char* p = text; *p != '\0'; ++p) Put16(s, static_cast<std::uint8_t>(*p));
  s[0] = static_cast<std::uint8_t>(s.size());
  return s;
}

// The file of the controller's endpoint 0: the one entry of gadgetfs not named "ep...".
std::string FindController(const std::string& gadgetfs) {
  std::string found;
  if (DIR* dir = ::opendir(gadgetfs.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != ".." && name.rfind("ep", 0) != 0) found = gadgetfs + "/" + name;
    }
    ::closedir(dir);
  }
  return found;
}

}  // namespace

std::vector<std::uint8_t> TesselGadget::ReportDescriptor() {
  return {
      // The pointer: three buttons, 16-bit relative X and Y, an 8-bit wheel.
      0x05, 0x01, 0x09, 0x02, 0xA1, 0x01,  // Generic Desktop, Mouse, Collection (Application)
      0x09, 0x01, 0xA1, 0x00,              //   Pointer, Collection (Physical)
      0x05, 0x09, 0x19, 0x01, 0x29, 0x03,  //     Buttons 1 to 3
      0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02,  // Input (Data, Var, Abs)
      0x95, 0x01, 0x75, 0x05, 0x81, 0x03,  //     5 bits of padding
      0x05, 0x01, 0x09, 0x30, 0x09, 0x31,  //     X, Y
      0x16, 0x01, 0x80, 0x26, 0xFF, 0x7F, 0x75, 0x10, 0x95, 0x02, 0x81, 0x06,  // Input (Rel)
      0x09, 0x38, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x01, 0x81, 0x06,  // Wheel (Rel)
      0xC0, 0xC0,
      // The settings: one vendor-defined 90-byte feature report.
      0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
      0x09, 0x01,        // Usage (1)
      0xA1, 0x01,        // Collection (Application)
      0x09, 0x02,        //   Usage (2)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x75, 0x08,        //   Report Size (8)
      0x95, 0x5A,        //   Report Count (90)
      0xB1, 0x02,        //   Feature (Data, Variable, Absolute)
      0xC0,              // End Collection
  };
}

TesselGadget::TesselGadget(std::shared_ptr<SimulatedTessel> mouse, std::string gadgetfs)
    : mouse_(std::move(mouse)), gadgetfs_(std::move(gadgetfs)) {}

TesselGadget::~TesselGadget() { Unplug(); }

bool TesselGadget::Plug(std::string* error) {
  if (Plugged()) return true;
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why + ": " + std::strerror(errno);
    if (ep0_ >= 0) ::close(ep0_);
    ep0_ = -1;
    return false;
  };
  const std::string controller = FindController(gadgetfs_);
  if (controller.empty()) return fail("no USB device controller in " + gadgetfs_);
  ep0_ = ::open(controller.c_str(), O_RDWR | O_CLOEXEC);
  if (ep0_ < 0) return fail("cannot open " + controller);

  // Tag 0, full-speed configuration, high-speed configuration, device descriptor.
  const auto maxPower = static_cast<std::uint8_t>(mouse_->GetDeviceBusPowerAvailable());
  std::vector<std::uint8_t> blob = {0, 0, 0, 0};
  const auto fs = ConfigurationDescriptor(false, maxPower);
  const auto hs = ConfigurationDescriptor(true, maxPower);
  blob.insert(blob.end(), fs.begin(), fs.end());
  blob.insert(blob.end(), hs.begin(), hs.end());
  blob.insert(blob.end(), {USB_DT_DEVICE_SIZE, USB_DT_DEVICE, 0x00, 0x02, 0, 0, 0, 64});
  Put16(blob, mouse_->GetDeviceVendor());
  Put16(blob, mouse_->GetDeviceProduct());
  Put16(blob, mouse_->GetDeviceReleaseNumber());
  blob.insert(blob.end(), {1, 2, 0, 1});
  if (::write(ep0_, blob.data(), blob.size()) != static_cast<ssize_t>(blob.size())) {
    return fail("gadgetfs refused the descriptors");
  }
  if (::pipe2(stopPipe_, O_CLOEXEC) != 0) return fail("pipe");
  thread_ = std::thread([this] { Serve(); });
  // gadgetfs completes a SET_REPORT's status stage as soon as its data has arrived, before
  // we have read the request; a further request arriving before then replaces the unread
  // one in gadgetfs's queue. Served at real-time priority, the gadget takes each request
  // before the host's next one can be sent.
  sched_param priority{};
  priority.sched_priority = 10;
  if (pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &priority) != 0) {
    Problem("the gadget's thread runs without real-time priority");
  }
  return true;
}

void TesselGadget::Unplug() {
  if (!Plugged()) return;
  const char stop = 1;
  (void)!::write(stopPipe_[1], &stop, 1);
  thread_.join();
  DisableEndpoint();
  ::close(ep0_);  // unbinds the gadget: the host sees a disconnect
  ep0_ = -1;
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
  stopPipe_[0] = stopPipe_[1] = -1;
  configured_ = false;
}

void TesselGadget::Serve() {
  for (;;) {
    pollfd fds[2] = {{ep0_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if ((fds[1].revents & POLLIN) != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    usb_gadgetfs_event events[5];
    const ssize_t n = ::read(ep0_, events, sizeof events);
    if (n < 0) {
      Problem(std::string("events not read: ") + std::strerror(errno));
      if (errno == EINTR || errno == EAGAIN) continue;
      return;
    }
    for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof events[0]); ++i) {
      switch (events[i].type) {
        case GADGETFS_SETUP:
          HandleSetup(&events[i].u.setup);
          break;
        case GADGETFS_SUSPEND:
          Problem("suspended");
          break;
        case GADGETFS_DISCONNECT:
          Problem("disconnected");
          configured_ = false;
          DisableEndpoint();
          break;
        default:  // connect, suspend: nothing to do
          break;
      }
    }
  }
}

void TesselGadget::HandleSetup(const void* setupPacket) {
  usb_ctrlrequest setup;
  std::memcpy(&setup, setupPacket, sizeof setup);
  const std::uint16_t value = le16toh(setup.wValue);
  const std::uint16_t index = le16toh(setup.wIndex);
  const std::uint16_t length = le16toh(setup.wLength);
  const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
  auto reply = [&](const std::vector<std::uint8_t>& bytes) {
    const std::size_t size = std::min<std::size_t>(bytes.size(), length);
    if (::write(ep0_, bytes.data(), size) < 0) {
      Problem("reply to request " + std::to_string(setup.bRequestType) + "/" + std::to_string(setup.bRequest) +
              " not sent: " + std::strerror(errno));
    }
  };

  switch (setup.bRequestType & USB_TYPE_MASK) {
    case USB_TYPE_STANDARD:
      if (setup.bRequest == USB_REQ_GET_DESCRIPTOR && in) {
        const std::uint8_t type = value >> 8;
        if (type == USB_DT_STRING) {
          const auto s = StringDescriptor(value & 0xFF);
          return s.empty() ? Stall(true) : reply(s);
        }
        if (type == 0x22 && setup.bRequestType == (USB_DIR_IN | USB_RECIP_INTERFACE) && index == 0) {
          return reply(ReportDescriptor());
        }
        return Stall(true);
      }
      if (setup.bRequest == USB_REQ_SET_CONFIGURATION && !in) {
        // The endpoint is enabled here rather than at connect: a bus reset disables it.
        if ((value & 0xFF) == 1) {
          EnableEndpoint();
          configured_ = true;
        } else {
          configured_ = false;
          DisableEndpoint();
        }
        return Ack();
      }
      if (setup.bRequest == USB_REQ_SET_INTERFACE && !in) return Ack();
      return Stall(in);
    case USB_TYPE_CLASS: {
      if ((setup.bRequestType & USB_RECIP_MASK) != USB_RECIP_INTERFACE || index != 0) return Stall(in);
      ClassRequest logged{setup.bRequestType, setup.bRequest, value, index, length, {}};
      IOUSBDevRequest request;
      request.bmRequestType = setup.bRequestType;
      request.bRequest = setup.bRequest;
      request.wValue = value;
      request.wIndex = index;
      request.wLength = length;
      std::vector<std::uint8_t> data(length);
      request.pData = std::span<std::uint8_t>(data);
      if (setup.bRequestType == 0x21 && setup.bRequest == 0x09) {  // SET_REPORT
        const ssize_t got = length == 0 ? 0 : ::read(ep0_, data.data(), data.size());
        if (got < 0) {
          Problem(std::string("SET_REPORT data not read: ") + std::strerror(errno));
          return;
        }
        data.resize(static_cast<std::size_t>(got));
        logged.data = data;
        Log(std::move(logged));
        request.pData = std::span<std::uint8_t>(data);
        const IOReturn result = mouse_->DeviceRequest(request);  // the status stage is over
        if (result != kIOReturnSuccess) Problem("the mouse refused a SET_REPORT: " + std::to_string(result));
        return;
      }
      if (setup.bRequestType == 0xA1 && setup.bRequest == 0x01) {  // GET_REPORT
        const IOReturn result = mouse_->DeviceRequest(request);
        if (result != kIOReturnSuccess) {
          Problem("the mouse refused a GET_REPORT: " + std::to_string(result));
          Log(std::move(logged));
          return Stall(true);
        }
        logged.data = data;
        Log(std::move(logged));
        return reply(data);
      }
      if (setup.bRequestType == 0x21 && setup.bRequest == 0x0A && length == 0) return Ack();  // SET_IDLE
      Log(std::move(logged));
      return Stall(in);
    }
    default:
      return Stall(in);
  }
}

void TesselGadget::Ack() {
  char none;
  (void)!::read(ep0_, &none, 0);
}

void TesselGadget::Stall(bool in) {
  // gadgetfs stalls a request when user space moves data against its direction.
  char none = 0;
  if (in) {
    (void)!::read(ep0_, &none, 0);
  } else {
    (void)!::write(ep0_, &none, 0);
  }
}

bool TesselGadget::SendPointer(std::uint8_t buttons, std::int16_t dx, std::int16_t dy, std::int8_t wheel) {
  const int fd = epIn_;
  if (fd < 0) return false;
  const auto x = static_cast<std::uint16_t>(dx);
  const auto y = static_cast<std::uint16_t>(dy);
  const std::uint8_t report[6] = {buttons,
                                  static_cast<std::uint8_t>(x & 0xFF), static_cast<std::uint8_t>(x >> 8),
                                  static_cast<std::uint8_t>(y & 0xFF), static_cast<std::uint8_t>(y >> 8),
                                  static_cast<std::uint8_t>(wheel)};
  return ::write(fd, report, sizeof report) == static_cast<ssize_t>(sizeof report);
}

void TesselGadget::EnableEndpoint() {
  if (epIn_ >= 0) return;
  const std::string path = gadgetfs_ + "/" + kInterruptEndpoint;
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  // Tag 1, then the full-speed and high-speed endpoint descriptors.
  std::vector<std::uint8_t> blob = {1, 0, 0, 0};
  const auto fs = EndpointDescriptor(false);
  const auto hs = EndpointDescriptor(true);
  blob.insert(blob.end(), fs.begin(), fs.end());
  blob.insert(blob.end(), hs.begin(), hs.end());
  if (::write(fd, blob.data(), blob.size()) < 0) {
    Problem(std::string("interrupt endpoint not enabled: ") + std::strerror(errno));
    ::close(fd);
    return;
  }
  epIn_ = fd;
}

void TesselGadget::DisableEndpoint() {
  const int fd = epIn_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

void TesselGadget::Problem(std::string text) {
  std::lock_guard lock(logMutex_);
  problems_.push_back(std::move(text));
}

std::vector<std::string> TesselGadget::Problems() const {
  std::lock_guard lock(logMutex_);
  return problems_;
}

void TesselGadget::Log(ClassRequest request) {
  std::lock_guard lock(logMutex_);
  log_.push_back(std::move(request));
}

std::vector<TesselGadget::ClassRequest> TesselGadget::ClassRequests() const {
  std::lock_guard lock(logMutex_);
  return log_;
}

void TesselGadget::ClearClassRequests() {
  std::lock_guard lock(logMutex_);
  log_.clear();
}

}  // namespace korvid::kerneltest
