// SPDX-License-Identifier: MIT
// A stand-in receiver for tests and benchmarks: exports an event port, answers the
// control message, and reports what it receives on its standard output, one line each:
//   ready <pid>            the port is exported
//   event <command> <value>  a control message arrived
//   quit                   the process is leaving its main loop
// Modes (first argument):
//   reply        answers with its own pid as the `----` value
//   fail         answers with status 706 and no `----`
//   hang         waits for a line on its standard input before answering
//   late         like reply, but its main loop starts only after a line on its standard
//                input: calls that come before are held until then
//   no-port      runs without exporting a port
//   garbage-reply / wrong-reply   a broken port that answers every call with malformed
//                data or the wrong signature
// A second argument "quiet" leaves out the event lines (for long runs nobody reads).
// A line "exit" on standard input, or its end, quits the process.
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QSocketNotifier>

#include <cstdio>
#include <string>

#include "platform/events/QtDBusEventPort.h"

namespace {

using namespace korvid;

std::string gInput;

// Reads one line of standard input, blocking; false at its end.
bool ReadInputLine(std::string& line) {
  for (;;) {
    const std::size_t newline = gInput.find('\n');
    if (newline != std::string::npos) {
      line = gInput.substr(0, newline);
      gInput.erase(0, newline + 1);
      return true;
    }
    char chunk[256];
    const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
    if (got <= 0) return false;
    gInput.append(chunk, static_cast<std::size_t>(got));
  }
}

void Say(const std::string& text) {
  std::fputs((text + "\n").c_str(), stdout);
  std::fflush(stdout);
}

class BrokenPort final : public QDBusVirtualObject {
 public:
  explicit BrokenPort(bool wrongSignature) : wrongSignature_(wrongSignature) {}
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    Say("event broken 0");
    QDBusMessage reply = wrongSignature_
                             ? message.createReply(QStringLiteral("nope"))
                             : message.createReply(QList<QVariant>{
                                   QVariant::fromValue(qint32{0}),
                                   QVariant::fromValue(QByteArray("KvAE\0\0", 6))});
    connection.send(reply);
    return true;
  }

 private:
  bool wrongSignature_;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const std::string mode = argc > 1 ? argv[1] : "reply";
  const bool quiet = argc > 2 && std::string(argv[2]) == "quiet";
  QDBusConnection bus = QtDBusEventPort::SessionBus();

  QtDBusEventPort port(bus);
  BrokenPort broken(mode == "wrong-reply");
  if (mode == "garbage-reply" || mode == "wrong-reply") {
    if (!bus.registerVirtualObject(QLatin1String(kEventPortPath), &broken) ||
        !bus.registerService(QtDBusEventPort::BusNameFor(static_cast<std::uint32_t>(getpid())))) {
      Say("error " + bus.lastError().message().toStdString());
      return 2;
    }
  } else if (mode != "no-port") {
    if (const OSStatus status = port.Export(); status != noErr) {
      Say("error " + std::to_string(status));
      return 2;
    }
    port.InstallEventHandler(kKvdO, kKvdC, [mode, quiet](const AppleEvent& event, AppleEvent& reply) -> OSErr {
      std::uint32_t command = 0;
      std::int32_t value = 0;
      if (OSStatus status = AEGetParamValue(event, keyDirectObject, typeMagnitude, command)) {
        return static_cast<OSErr>(status);
      }
      if (OSStatus status = AEGetParamValue(event, kKvdC, typeSInt32, value)) {
        return static_cast<OSErr>(status);
      }
      if (!quiet) Say("event " + FourCCString(command) + " " + std::to_string(value));
      if (mode == "hang") {
        std::string line;
        ReadInputLine(line);  // held until the test lets go
      }
      if (mode == "fail") return 706;
      const std::int32_t pid = static_cast<std::int32_t>(getpid());
      return static_cast<OSErr>(AEPutParamValue(reply, keyDirectObject, typeSInt32, pid));
    });
  }

  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    std::string line;
    if (!ReadInputLine(line) || line == "exit") QCoreApplication::quit();
  });
  QObject::connect(&application, &QCoreApplication::aboutToQuit, [] { Say("quit"); });

  Say("ready " + std::to_string(getpid()));
  if (mode == "late") {
    std::string line;
    ReadInputLine(line);
  }
  return application.exec();
}
