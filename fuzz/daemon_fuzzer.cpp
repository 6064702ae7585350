// SPDX-License-Identifier: MIT
// A peer of the driver daemon that sends anything: the input goes over a real connection
// to a daemon serving one mouse, in pieces, while the replies are read now and then;
// the daemon must answer or hang up, and be left with no connection once the peer is gone.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "driver/TesselPointing.h"
#include "driver/testing/RecordingPointing.h"
#include "driver/daemon/DriverDaemon.h"
#include "platform/Identity.h"

namespace {

struct Daemon {
  sd_event* loop = nullptr;
  korvid::ListPeerPolicy policy{{static_cast<unsigned>(getuid())}};
  std::unique_ptr<korvid::DriverDaemon> daemon;
  std::string folder;

  Daemon() {
    char pattern[] = "/tmp/korvid-daemon-fuzz.XXXXXX";
    folder = mkdtemp(pattern);
    sd_event_new(&loop);
    korvid::DaemonOptions options;
    options.runtimeDir = folder + "/run";
    daemon = std::make_unique<korvid::DriverDaemon>(loop, options, policy);
    if (daemon->Start() != korvid::kIOReturnSuccess) std::abort();
    korvid::MouseSpec mouse{"fuzz", {korvid::kTesselVendorID, korvid::kTesselProductID, 0x0200, 3}, 0,
                           std::make_unique<korvid::RecordingPointing>()};
    if (daemon->AddMouse(std::move(mouse)) != korvid::kIOReturnSuccess) std::abort();
  }
  void Pump() const {
    while (sd_event_run(loop, 0) > 0) {
    }
  }
};

void Drain(int fd) {
  std::uint8_t buffer[4096];
  while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Daemon* daemon = new Daemon();  // one daemon for the whole run
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = daemon->daemon->SocketPath("fuzz");
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
  // The first byte: how many bytes go per piece; pieces alternate with turns of the loop.
  const std::size_t piece = size > 0 ? 1 + data[0] % 97 : 1;
  std::size_t sent = size > 0 ? 1 : 0;
  int turn = 0;
  while (sent < size) {
    const ssize_t n = send(fd, data + sent, std::min(piece, size - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0 && errno != EAGAIN) break;
    if (n > 0) sent += static_cast<std::size_t>(n);
    daemon->Pump();
    if (++turn % 3 == 0 || n <= 0) Drain(fd);
  }
  daemon->Pump();
  Drain(fd);
  close(fd);
  daemon->Pump();
  if (daemon->daemon->ConnectionCount() != 0) __builtin_trap();
  return 0;
}
