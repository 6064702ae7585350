// SPDX-License-Identifier: MIT
// st_client: what a user's programs do, for the system-test stories.
//
//   st_client control VALUE   the settings pane's control message: command KvSA with VALUE
//                             (16.16) to the first KorvidTesselHelper, over the session bus,
//                             without waiting for a reply (as the pane sends it); it stays
//                             connected 3 s, as the open pane does
//   st_client driver          opens a user client of the first driver socket and reads the
//                             mouse's identity (KvID); exit 0 when served, 1 when refused
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "driver/client/DriverClient.h"
#include "pane/messages/ControlMessages.h"
#include "strings/PString.h"
#include "platform/FourCC.h"
#include "platform/Identity.h"
#include "platform/events/QtDBusEventPort.h"
#include "platform/process/LinuxProcessTable.h"

namespace {

using namespace korvid;

int Control(std::int32_t value, int argc, char** argv) {
  QCoreApplication application(argc, argv);
  LinuxProcessTable processes;
  QtDBusEventPort port;
  const OSStatus status =
      SendControlToKext(processes, port, MakeStr255(kHelperProcessName), kKvSA, value, nullptr);
  std::printf("control message KvSA %d: status %d\n", value, static_cast<int>(status));
  // Like the pane, stay on the bus a while after sending: the message is only queued, and
  // the helper asks the bus whose it is, which it cannot once the sender has left.
  QTimer::singleShot(3000, &application, &QCoreApplication::quit);
  application.exec();
  return status == noErr ? 0 : 1;
}

int Driver() {
  const auto sockets = ListDriverSockets();
  if (sockets.empty()) {
    std::printf("no driver socket\n");
    return 1;
  }
  std::unique_ptr<DriverConnection> connection;
  IOReturn status = DriverConnection::Open(sockets.front(), kKvdU, connection);
  if (status != kIOReturnSuccess) {
    std::printf("%s: user client refused: 0x%08x\n", sockets.front().c_str(), static_cast<unsigned>(status));
    return 1;
  }
  const std::uint64_t in[3] = {0, kKvID, 0};
  std::uint64_t out[1] = {};
  status = connection->CallScalarMethod(0, in, out);
  connection->Close();
  std::printf("%s: KvID status 0x%08x value 0x%08llx\n", sockets.front().c_str(), static_cast<unsigned>(status),
              static_cast<unsigned long long>(out[0]));
  return status == kIOReturnSuccess ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "control" && argc == 3) return Control(static_cast<std::int32_t>(std::strtol(argv[2], nullptr, 0)), argc, argv);
  if (verb == "driver" && argc == 2) return Driver();
  std::fprintf(stderr, "usage: st_client control VALUE | driver\n");
  return 2;
}
