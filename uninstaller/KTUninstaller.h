// SPDX-License-Identifier: MIT
// The uninstaller's controller: one window with the tab view kvuMainTabs.
//
// Tabs: 0 the pane is installed (offers Uninstall), 1 uninstalled (offers Restart),
// 2 the uninstall failed, 3 nothing to uninstall, 4 About. Success and failure show only
// as the tab selected. Installed from the Debian packages, Uninstall removes the packages
// through PackageKit; installed by `make install`, it runs the eraser tool as root.
#pragma once

#include <QObject>

#include <cstdint>
#include <memory>

#include "platform/admin/PrivilegedRunner.h"
#include "platform/events/EventPort.h"
#include "platform/files/FolderLocator.h"
#include "platform/process/ProcessTable.h"
#include "uninstaller/PackageRemoval.h"

class QTabWidget;
class QWidget;

namespace korvid {

inline constexpr int kTabInstalled = 0;
inline constexpr int kTabUninstalled = 1;
inline constexpr int kTabFailed = 2;
inline constexpr int kTabNotInstalled = 3;
inline constexpr int kTabAbout = 4;

inline constexpr const char* kInstalledPaneName = "Korvid Tessel.prefPane";
inline constexpr const char* kEraserResourceName = "ekorvid";
inline constexpr const char* kEraserToolArgument = "--runekorv";
// The process that hosts the settings pane.
inline constexpr const char* kSettingsProcessName = "korvid-tessel-settings";

// What the controller works with; owned by the caller and outliving the controller.
struct UninstallerServices {
  ProcessTable& processes;
  EventPort& events;
  PrivilegedRunner& runner;
  SystemRestarter& restarter;
  const FolderLocator& folders;
  // Asked whether packages own the uninstaller's bundle (then they are removed instead of
  // running the eraser); none: always the eraser.
  PackageManager* packages = nullptr;
};

class KTUninstaller : public QObject {
  Q_OBJECT

 public:
  // Loads the window from its interface file and connects its buttons.
  explicit KTUninstaller(UninstallerServices services, QObject* parent = nullptr);
  ~KTUninstaller() override;

  QWidget* Window() const { return window_.get(); }

  QTabWidget* kvuMainTabs = nullptr;
  std::int32_t fCurrentTab = 0;

  bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

 public slots:
  void KVUAboutDone();
  void KVUAbout();
  void KVURestart();
  void KVUUninstall();
  void awakeFromNib();

 signals:
  // The application should end now (after a restart request).
  void terminateRequested();

 private:
  bool PaneInstalledIn(FolderDomain domain) const;
  void SelectTab(int index);
  // Tab 2, saying what failed.
  void ShowFailure(OSStatus status);
  void ShowFailureText(const std::string& text);
  // When packages own this bundle: removes them, shows the outcome and returns true.
  bool RemovedAsPackages();

  UninstallerServices services_;
  std::unique_ptr<QWidget> window_;
};

}  // namespace korvid
