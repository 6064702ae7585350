// SPDX-License-Identifier: MIT
// The pane library's factory: the controller with the machine's real services.
#include "pane/PaneLibrary.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>
#include <cstdio>
#include <filesystem>
#include <string>

#include "driver/client/CurvePath.h"
#include "driver/client/DriverClient.h"
#include "pane/KorvidTesselPane.h"
#include "pane/PersistentSimulatedTessel.h"
#include "pane/loginitems/LoginItems.h"
#include "platform/devices/SimulatedDeviceWatcher.h"
#include "platform/events/QtDBusEventPort.h"
#include "platform/files/FolderLocator.h"
#include "platform/process/LinuxProcessTable.h"
#include "sim/SimulatedTessel.h"

namespace korvid {
namespace {

// Starts an application bundle: the same-named executable inside a ".app" folder, or the
// executable itself. Detached, so it outlives the window and leaves no zombie behind.
bool LaunchApplication(const std::string& path) {
  QFileInfo info(QString::fromStdString(path));
  QString program = info.absoluteFilePath();
  if (info.isDir()) program = QDir(program).filePath(info.completeBaseName());
  if (!QFileInfo(program).isExecutable()) return false;
  return QProcess::startDetached(program, {});
}

class KorvidTesselPaneLibrary final : public PreferencePane {
 public:
  explicit KorvidTesselPaneLibrary(const PaneHostOptions& options) {
    std::unique_ptr<DeviceWatcher> watcher;
    if (options.simulated) {
      auto simulated = std::make_unique<SimulatedDeviceWatcher>(SimulatedDeviceWatcher::Delivery::kEventLoop);
      const std::string statePath = options.simulatedStatePath != nullptr && *options.simulatedStatePath != '\0'
                                        ? std::string(options.simulatedStatePath)
                                        : DefaultSimulatedTesselStatePath();
      const std::string behaviour = options.simulatedBehaviour != nullptr ? options.simulatedBehaviour : "";
      if (behaviour == "refused") {
        simulated->PlugRefused();
      } else if (behaviour == "none") {
        // No mouse at all: the window as it is before one is plugged in.
      } else {
        auto mouse = std::make_shared<PersistentSimulatedTessel>(statePath);
        if (behaviour == "silent") mouse->SetWorkingPolls(1 << 30);
        simulated->Plug(std::move(mouse));
      }
      watcher = std::move(simulated);
    } else {
      watcher = MakeSystemDeviceWatcher();
    }
    Sleeper& sleeper = options.simulated && options.skipDeviceWaits ? static_cast<Sleeper&>(noWaits_) : Sleeper::Real();
    pane_ = std::make_unique<KorvidTesselPane>(std::move(watcher), sleeper);
    // The window never waits on a mouse: device work runs on a worker thread.
    pane_->SetDeviceExecutor(std::make_unique<ThreadedDeviceExecutor>());

    const FolderLocator folders = FolderLocator::Default();
    PaneEnvironment environment;
    environment.processes = &processes_;
    environment.events = &events_;
    environment.preferences = PreferencesStore::ForUser(folders);
    // Only an installed helper starts at login: one in a build tree would be started from
    // there at every login, long after the tree is gone.
    environment.addLoginItem = [folders](const std::string& path) {
      const OSStatus status = AddInstalledLoginItem(folders, path.c_str());
      if (status == paramErr) {
        std::fprintf(stderr, "korvid-tessel-settings: %s is not an installed helper; it is not made a login item\n",
                     path.c_str());
      }
      return status;
    };
    if (options.startHelper) environment.launchApplication = LaunchApplication;
    environment.eventPortReachable = [this](std::uint32_t pid) { return events_.Reachable(pid); };
    environment.driverReachable = [] { return !ListDriverSockets().empty(); };  // a driver publishes its socket
    environment.curvePath = [] { return FindCurvePath(); };
    environment.desktopPointers = MakeSessionDesktopPointers();
    environment.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    environment.bundle = options.bundleFolder != nullptr && *options.bundleFolder != '\0'
                             ? PaneBundle(options.bundleFolder)
                             : PaneBundle::OfLoadedLibrary();
    // The rule travels in the bundle's resources; a bundle without it (an unusual build)
    // names where the installation puts it.
    const std::filesystem::path rule = environment.bundle.ResourcesFolder() / kUdevRuleName;
    environment.udevRulePath = std::filesystem::exists(rule) ? std::filesystem::absolute(rule).string()
                                                             : std::string(KORVID_INSTALLED_UDEV_RULE);
    std::optional<std::string> version = environment.bundle.InfoString("CFBundleShortVersionString");
    if (!version) version = environment.bundle.InfoString("CFBundleVersion");
    version_ = version.value_or("");
    pane_->SetEnvironment(std::move(environment));
  }

  QWidget* LoadMainView(QWidget* parent) override { return pane_->LoadMainView(parent); }
  void MainViewDidLoad() override { pane_->mainViewDidLoad(); }
  void DidSelect() override { pane_->didSelect(); }
  void WillUnselect() override { pane_->willUnselect(); }
  const char* Version() const override { return version_.c_str(); }
  bool DeviceWorkPending() const override { return pane_->DeviceWorkPending(); }

 private:
  VirtualSleeper noWaits_;
  LinuxProcessTable processes_;
  QtDBusEventPort events_;
  std::unique_ptr<KorvidTesselPane> pane_;
  std::string version_;
};

}  // namespace
}  // namespace korvid

extern "C" __attribute__((visibility("default"))) korvid::PreferencePane* KorvidTesselPaneCreate(
    const korvid::PaneHostOptions* options) {
  const korvid::PaneHostOptions defaults;
  return new korvid::KorvidTesselPaneLibrary(options != nullptr ? *options : defaults);
}
