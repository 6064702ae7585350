// SPDX-License-Identifier: MIT
#include "platform/usb/HidrawDevice.h"
#include "platform/DeviceStatus.h"

#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace korvid {
namespace {

// Report ID byte (0: the mouse does not number its reports) followed by the report.
constexpr std::size_t kBufferLength = HidrawDevice::kReportLength + 1;
using ReportBuffer = std::array<std::uint8_t, kBufferLength>;

enum class Kind { kSetFeature, kGetFeature, kOther };

Kind Classify(const IOUSBDevRequest& r) {
  // Feature report (3), report ID 0, interface 0: the only requests the mouse understands.
  if (r.wValue != 0x0300 || r.wIndex != 0) return Kind::kOther;
  if (r.bmRequestType == 0x21 && r.bRequest == 9) return Kind::kSetFeature;
  if (r.bmRequestType == 0xA1 && r.bRequest == 1) return Kind::kGetFeature;
  return Kind::kOther;
}

int IoctlRetrying(int fd, unsigned long request, ReportBuffer& buffer) {
  int rc;
  do {
    rc = ::ioctl(fd, request, buffer.data());
  } while (rc < 0 && errno == EINTR);
  return rc;
}

// Bytes of the report proper that the kernel moved (its count includes the report ID).
std::uint32_t ReportBytes(int rc) {
  if (rc <= 1) return 0;
  return std::min<std::uint32_t>(static_cast<std::uint32_t>(rc - 1), HidrawDevice::kReportLength);
}

}  // namespace

HidrawDevice::HidrawDevice(int fd, const TesselNode& identity) : fd_(fd), identity_(identity) {}

HidrawDevice::~HidrawDevice() {
  if (fd_ >= 0) ::close(fd_);
}

IOReturn HidrawDevice::DeviceRequest(IOUSBDevRequest& request) {
  request.wLenDone = 0;
  const Kind kind = Classify(request);
  if (kind == Kind::kOther) return kIOReturnUnsupported;
  if (request.wLength != kReportLength || request.pData.size() < kReportLength) {
    return kIOReturnBadArgument;
  }
  if (fd_ < 0) return kIOReturnNoDevice;

  ReportBuffer buffer{};  // buffer[0] = report ID 0
  if (kind == Kind::kSetFeature) {
    std::copy_n(request.pData.begin(), kReportLength, buffer.begin() + 1);
    const int rc = IoctlRetrying(fd_, HIDIOCSFEATURE(kBufferLength), buffer);
    if (rc < 0) return DeviceStatusFromErrno(errno);
    request.wLenDone = ReportBytes(rc);
    return kIOReturnSuccess;
  }
  const int rc = IoctlRetrying(fd_, HIDIOCGFEATURE(kBufferLength), buffer);
  if (rc < 0) return DeviceStatusFromErrno(errno);
  std::copy_n(buffer.begin() + 1, kReportLength, request.pData.begin());
  request.wLenDone = ReportBytes(rc);
  return kIOReturnSuccess;
}

}  // namespace korvid
