// SPDX-License-Identifier: MIT
#include "uninstaller/KTUninstaller.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <QWidget>

#include <optional>
#include <string>
#include <vector>

#include "strings/PString.h"
#include "platform/Identity.h"
#include "platform/files/MainBundle.h"
#include "uninstaller/UninstallerFunctions.h"
#include "ui_KTUninstaller.h"

namespace korvid {

namespace {

std::unique_ptr<QWidget> LoadWindow() {
  auto window = std::make_unique<QWidget>();
  Ui::KTUninstallerWindow ui;
  ui.setupUi(window.get());
  return window;
}

}  // namespace

KTUninstaller::KTUninstaller(UninstallerServices services, QObject* parent)
    : QObject(parent), services_(services), window_(LoadWindow()) {
  if (!window_) return;
  kvuMainTabs = window_->findChild<QTabWidget*>(QStringLiteral("kvuMainTabs"));
  if (kvuMainTabs) kvuMainTabs->tabBar()->hide();  // tabs are chosen by the controller
  const auto connectAll = [this](const char* prefix, void (KTUninstaller::*action)()) {
    for (QAbstractButton* button : window_->findChildren<QAbstractButton*>()) {
      if (button->objectName().startsWith(QLatin1String(prefix))) {
        connect(button, &QAbstractButton::clicked, this, action);
      }
    }
  };
  connectAll("kvuUninstallButton", &KTUninstaller::KVUUninstall);
  connectAll("kvuRestartButton", &KTUninstaller::KVURestart);
  connectAll("kvuAboutButton", &KTUninstaller::KVUAbout);
  connectAll("kvuAboutDoneButton", &KTUninstaller::KVUAboutDone);
  for (QAbstractButton* button : window_->findChildren<QAbstractButton*>()) {
    if (button->objectName().startsWith(QLatin1String("kvuQuitButton"))) {
      connect(button, &QAbstractButton::clicked, window_.get(), &QWidget::close);
    }
  }
}

KTUninstaller::~KTUninstaller() = default;

void KTUninstaller::SelectTab(int index) {
  if (kvuMainTabs) kvuMainTabs->setCurrentIndex(index);
}

bool KTUninstaller::PaneInstalledIn(FolderDomain domain) const {
  std::filesystem::path path;
  if (services_.folders.FindFolder(domain, kPreferencePanesFolderType, kDontCreateFolder, path) != noErr) {
    return false;
  }
  FolderRef folder;
  if (FolderRef::Open(path, folder) != noErr) return false;
  const ItemRef panes{folder, {}};
  ItemRef pane;
  return MakeRefInFolder(&panes, kInstalledPaneName, &pane) == noErr;
}

void KTUninstaller::awakeFromNib() {
  if (window_) {
    if (const QScreen* screen = window_->screen() ? window_->screen() : QGuiApplication::primaryScreen()) {
      QRect frame = window_->frameGeometry();
      frame.moveCenter(screen->availableGeometry().center());
      window_->move(frame.topLeft());
    }
  }
  // The user's own panes folder is not looked at.
  if (PaneInstalledIn(kLocalDomain) || PaneInstalledIn(kSystemDomain)) {
    SelectTab(kTabInstalled);
  } else {
    SelectTab(kTabNotInstalled);
  }
}

void KTUninstaller::KVUUninstall() {
  const char* const arguments[] = {kEraserToolArgument, nullptr};
  // Quit requests are sent without waiting; their results do not matter.
  SendEventToNamedProcess(services_.processes, services_.events, MakeStr255(kHelperProcessName), kCoreEventClass,
                          kAEQuitApplication);
  SendEventToNamedProcess(services_.processes, services_.events, MakeStr255(kSettingsProcessName),
                          kCoreEventClass, kAEQuitApplication);
  if (RemovedAsPackages()) return;
  ItemRef tool;
  if (const OSStatus found = GetNamedResourceRef(kEraserResourceName, &tool); found != noErr) {
    ShowFailure(found);
    return;
  }
  const std::uint8_t noSignature[1] = {0};
  const OSStatus status = ExecuteToolWithPrivileges(services_.runner, tool, arguments, 0, noSignature, 0);
  if (status == noErr) {
    SelectTab(kTabUninstalled);
  } else {
    ShowFailure(status);
  }
}

bool KTUninstaller::RemovedAsPackages() {
  if (services_.packages == nullptr) return false;
  const std::optional<std::filesystem::path> bundle = MainBundleFolder();
  if (!bundle) return false;
  const std::vector<std::string> names = PackagesToRemove(*services_.packages, *bundle);
  if (names.empty()) return false;
  if (const int status = services_.packages->Remove(names); status != 0) {
    ShowFailureText(PackageRemovalFailureText(status));
  } else {
    SelectTab(kTabUninstalled);
  }
  return true;
}

void KTUninstaller::ShowFailure(OSStatus status) { ShowFailureText(UninstallFailureText(status)); }

void KTUninstaller::ShowFailureText(const std::string& text) {
  if (window_) {
    if (auto* reason = window_->findChild<QLabel*>(QStringLiteral("kvuFailedReason"))) {
      reason->setText(QString::fromStdString(text));
    }
  }
  SelectTab(kTabFailed);
}

void KTUninstaller::KVURestart() {
  services_.restarter.Restart();  // a refused or failed request changes nothing
  emit terminateRequested();
}

void KTUninstaller::KVUAbout() {
  if (!kvuMainTabs) return;
  const int selected = kvuMainTabs->currentIndex();
  if (selected == kTabAbout) return;
  fCurrentTab = selected;
  SelectTab(kTabAbout);
}

void KTUninstaller::KVUAboutDone() { SelectTab(fCurrentTab); }

}  // namespace korvid
