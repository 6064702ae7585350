// SPDX-License-Identifier: MIT
// Uninstall Korvid Tessel: quits the helper and the settings window, runs the eraser tool
// with administrator rights (or, installed from packages, removes them through PackageKit)
// and offers a restart.
#include <QApplication>
#include <QDBusConnection>
#include <QWidget>

#include "platform/admin/LogindRestarter.h"
#include "platform/events/QtDBusEventPort.h"
#include "platform/files/FolderLocator.h"
#include "platform/process/LinuxProcessTable.h"
#include "uninstaller/KTUninstaller.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Uninstall Korvid Tessel"));

  korvid::LinuxProcessTable processes;
  korvid::QtDBusEventPort events;
  korvid::PkexecRunner runner;
  korvid::LogindRestarter restarter(QDBusConnection::systemBus());
  const korvid::FolderLocator folders = korvid::FolderLocator::Default();
  korvid::PackageKitManager packages;

  korvid::KTUninstaller controller({processes, events, runner, restarter, folders, &packages});
  QApplication::setQuitOnLastWindowClosed(controller.applicationShouldTerminateAfterLastWindowClosed());
  QObject::connect(&controller, &korvid::KTUninstaller::terminateRequested, &application, &QApplication::quit,
                   Qt::QueuedConnection);
  controller.Window()->show();
  controller.awakeFromNib();
  return QApplication::exec();
}
