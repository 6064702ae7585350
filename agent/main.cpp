// SPDX-License-Identifier: MIT
// KorvidTesselHelper: the background helper, without a window, on Qt's main loop.
//
//   KorvidTesselHelper [--runtime-dir DIR]
//
// --runtime-dir names the driver daemon's runtime folder (default /run/korvid-tessel).
// The helper quits on the standard quit event (aevt/quit) and on SIGTERM or SIGINT.
#include <QCoreApplication>

#include <cstdio>
#include <string>
#include <string_view>

#include "agent/KorvidTesselHelper.h"
#include "driver/client/InotifyDriverWatcher.h"
#include "platform/desktop/DesktopPointerKeeper.h"
#include "platform/events/QtDBusEventPort.h"
#include "platform/files/FolderLocator.h"
#include "platform/frontapp/XcbFrontAppSource.h"
#include "platform/process/LinuxProcessTable.h"
#include "platform/signals/TerminationSignals.h"

int main(int argc, char** argv) {
  using namespace korvid;
  // Before any thread exists, so that the signals reach only the signal descriptor.
  BlockTerminationSignals();

  std::string runtimeDir = driverproto::kDefaultRuntimeDir;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--runtime-dir" && i + 1 < argc) {
      runtimeDir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: KorvidTesselHelper [--runtime-dir DIR]\n");
      return 2;
    }
  }

  QCoreApplication application(argc, argv);
  LinuxProcessTable processes;
  QtDBusEventPort events;
  InotifyDriverWatcher drivers(runtimeDir);
  XcbFrontAppSource frontApp;
  QtScheduler scheduler;
  const PreferencesStore preferences = PreferencesStore::ForUser(FolderLocator::Default());

  bool quitting = false;
  KorvidTesselHelper* self = nullptr;
  KorvidTesselHelper helper({processes, events, drivers, frontApp, scheduler, preferences, [&] {
                               quitting = true;
                               if (self != nullptr) self->ApplicationWillTerminate();
                               QCoreApplication::quit();
                             }});
  self = &helper;
  QObject::connect(&application, &QCoreApplication::aboutToQuit, [&] { helper.ApplicationWillTerminate(); });
  TerminationSignals termination([] { QCoreApplication::quit(); });

  helper.AwakeFromNib();
  if (quitting) return 0;  // another helper runs
  // The desktop's own acceleration on the Tessel's pointers: flat, so that only the
  // driver's curve runs; kept so as pointers come and go.
  DesktopPointerKeeper desktopPointers(QtDBusEventPort::SessionBus(), [](const std::string& line) {
    std::fprintf(stderr, "KorvidTesselHelper: %s\n", line.c_str());
  });
  desktopPointers.Start();
  // Take the bus name last: once it is there, the helper is fully started. Without a
  // session bus the helper still keeps its drivers' acceleration.
  if (events.Export() != noErr) std::fprintf(stderr, "KorvidTesselHelper: no session bus; control messages will not arrive\n");
  return application.exec();
}
