// SPDX-License-Identifier: MIT
// The uninstaller's controller, offscreen: the start decision, the uninstall sequence
// with a fake privileged runner, About and back, restart; and one real run of the eraser
// (its test build, rooted in a throw-away folder) through a runner without pkexec.
#include <stdlib.h>

#include <QAbstractButton>
#include <QLabel>
#include <QApplication>
#include <QSignalSpy>
#include <QTabWidget>
#include <QtTest>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/admin/testing/DirectRunner.h"
#include "platform/admin/testing/FakePrivilegedRunner.h"
#include "platform/events/testing/FakeEventPort.h"
#include "platform/files/MainBundle.h"
#include "platform/process/testing/FakeProcessTable.h"
#include "uninstaller/KTUninstaller.h"

namespace korvid {
namespace fs = std::filesystem;

namespace {

class FakeRestarter final : public SystemRestarter {
 public:
  OSStatus Restart() override {
    ++requests;
    return status;
  }
  int requests = 0;
  OSStatus status = noErr;
};

// Packages that own what they are told to, and record removals.
class FakePackageManager final : public PackageManager {
 public:
  bool Owns(const std::string& pattern) override { return owned.count(pattern) != 0; }
  int Remove(const std::vector<std::string>& packages) override {
    removals.push_back(packages);
    return status;
  }
  std::set<std::string> owned;
  std::vector<std::vector<std::string>> removals;
  int status = 0;
};

}  // namespace

class KTUninstallerTest : public QObject {
  Q_OBJECT

 private:
  fs::path root_;
  fs::path bundle_;
  std::unique_ptr<FolderLocator> folders_;
  std::unique_ptr<FakeProcessTable> processes_;
  std::unique_ptr<FakeEventBus> bus_;
  std::unique_ptr<FakeEventPort> port_;
  FakePrivilegedRunner runner_;
  FakeRestarter restarter_;

  std::unique_ptr<KTUninstaller> Make() {
    return std::make_unique<KTUninstaller>(UninstallerServices{*processes_, *port_, runner_, restarter_, *folders_});
  }
  fs::path Sys(const std::string& relative) const { return root_ / relative; }
  static void Write(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
  }

 private slots:
  void init() {
    std::string pattern = (fs::temp_directory_path() / "korvid-ktu-XXXXXX").string();
    QVERIFY(mkdtemp(pattern.data()) != nullptr);
    root_ = pattern;
    folders_ = std::make_unique<FolderLocator>(FolderLocator::RootedAt(root_));
    bundle_ = Sys("usr/local/lib/korvid/Applications/Utilities/Uninstall Korvid Tessel.app");
    Write(bundle_ / "Resources/ekorvid");
    OverrideMainBundleFolder(bundle_);
    processes_ = std::make_unique<FakeProcessTable>(1);
    bus_ = std::make_unique<FakeEventBus>();
    port_ = std::make_unique<FakeEventPort>(*bus_, 1);
    runner_ = FakePrivilegedRunner();
    restarter_ = FakeRestarter();
  }
  void cleanup() {
    port_.reset();
    OverrideMainBundleFolder(std::nullopt);
    fs::remove_all(root_);
  }

  // --- The window ---

  void windowHasTheFiveTabs() {
    auto controller = Make();
    QVERIFY(controller->kvuMainTabs != nullptr);
    QCOMPARE(controller->kvuMainTabs->objectName(), QStringLiteral("kvuMainTabs"));
    QCOMPARE(controller->kvuMainTabs->count(), 5);
    QCOMPARE(controller->fCurrentTab, 0);
    QVERIFY(controller->applicationShouldTerminateAfterLastWindowClosed());
  }

  // --- Start ---

  void startsOnTab0WhenThePaneIsInTheLocalFolder() {
    fs::create_directories(Sys("usr/local/lib/korvid/PreferencePanes/Korvid Tessel.prefPane"));
    auto controller = Make();
    controller->kvuMainTabs->setCurrentIndex(2);
    controller->awakeFromNib();
    QCOMPARE(controller->kvuMainTabs->currentIndex(), kTabInstalled);
  }

  void startsOnTab0WhenThePaneIsInTheSystemFolder() {
    fs::create_directories(Sys("usr/lib/korvid/PreferencePanes/Korvid Tessel.prefPane"));
    auto controller = Make();
    controller->kvuMainTabs->setCurrentIndex(2);
    controller->awakeFromNib();
    QCOMPARE(controller->kvuMainTabs->currentIndex(), kTabInstalled);
  }

  void startsOnTab3WhenThePaneIsOnlyTheUsersOwn() {
    fs::create_directories(Sys("home/user/.local/lib/korvid/PreferencePanes/Korvid Tessel.prefPane"));
    auto controller = Make();
    controller->awakeFromNib();
    QCOMPARE(controller->kvuMainTabs->currentIndex(), kTabNotInstalled);
  }

  // --- Uninstall ---

  void uninstallQuitsHelperAndSettingsThenRunsTheEraser() {
    FakeEventPort helper(*bus_, 20);
    FakeEventPort settings(*bus_, 40);
    FakeEventPort secondHelper(*bus_, 50);
    processes_->Add(20, "KORVIDTESSELHELPER");
    processes_->Add(30, "other");
    processes_->Add(40, "korvid-tessel-settings");
    processes_->Add(50, "KorvidTesselHelper");
    auto controller = Make();
    controller->KVUUninstall();
    QCOMPARE(controller->kvuMainTabs->currentIndex(), kTabUninstalled);
    QCOMPARE(bus_->Sent().size(), std::size_t{2});
    QCOMPARE(bus_->Sent()[0].to, 20u);
    QCOMPARE(bus_->Sent()[1].to, 40u);
    for (const auto& sent : bus_->Sent()) {
      QCOMPARE(sent.event.eventClass, kCoreEventClass);
      QCOMPARE(sent.event.eventID, kAEQuitApplication);
      QCOMPARE(sent.mode, kAENoReply);
    }
    QCOMPARE(runner_.runs, 1);
    QCOMPARE(runner_.lastTool, bundle_ / "Resources/ekorvid");
    QCOMPARE(runner_.lastArguments, std::vector<std::string>{"--runekorv"});
  }

  void uninstallGoesOnWhenNothingIsRunning() {
    auto controller = Make();
    controller->KVUUninstall();
    QVERIFY(bus_->Sent().empty());
    QCOMPARE(runner_.runs, 1);
    QCOMPARE(controller->kvuMainTabs->currentIndex(), kTabUninstalled);
  }

  // The failure tab says what failed.
  static QString FailureReason(const KTUninstaller& controller) {
    return controller.Window()->findChild<QLabel*>(QStringLiteral("kvuFailedReason"))->text();
  }

  void toolStatusTwoShowsTab2() {
    runner_.toolExit = 2;
    auto controller = Make();
    controller->KVUUninstall();
    QCOMPARE(controller->kvuMainTabs->currentIndex(), kTabFailed);
    QVERIFY(FailureReason(*controller).contains(QStringLiteral("status 2;")));
  }

  void cancelledPasswordShowsTab2() {
    runner_.status = errAuthorizationCanceled;
    auto controller = Make();
    controller->KVUUninstall();
    QCOMPARE(controller->kvuMainTabs->currentIndex(), kTabFailed);
    QVERIFY(FailureReason(*controller).contains(QStringLiteral("password was not given")));
  }

  void missingToolShowsTab2WithoutAskingForAPassword() {
    fs::remove(bundle_ / "Resources/ekorvid");
    auto controller = Make();
    controller->KVUUninstall();
    QCOMPARE(controller->kvuMainTabs->currentIndex(), kTabFailed);
    QCOMPARE(runner_.runs, 0);
    QVERIFY(FailureReason(*controller).contains(QStringLiteral("\"ekorvid\" is missing")));
  }

  void noBundleShowsTab2() {
    OverrideMainBundleFolder(std::nullopt);
    auto controller = Make();
    controller->KVUUninstall();
    QCOMPARE(controller->kvuMainTabs->currentIndex(), kTabFailed);
    QCOMPARE(runner_.runs, 0);
  }

  void uninstallButtonRunsTheSequence() {
    auto controller = Make();
    auto* button = controller->Window()->findChild<QAbstractButton*>(QStringLiteral("kvuUninstallButton"));
    QVERIFY(button != nullptr);
    button->click();
    QCOMPARE(runner_.runs, 1);
  }

  // --- Installed from the packages ---

  // Owned by a package, the bundle's uninstall removes the packages (the module's only when
  // installed) and never runs the eraser; a failed removal says what to do; a bundle no
  // package owns (make install) runs the eraser.
  void uninstallRemovesThePackagesThatOwnTheBundle() {
    const std::string bundle = bundle_.string();
    struct Row {
      std::set<std::string> owned;
      int status;
      std::vector<std::vector<std::string>> removals;
      int eraserRuns;
      int tab;
      const char* says;  // on the failure tab
    } rows[] = {
        {{bundle, kModulePackageFiles}, 0, {{"korvid-tessel", "korvid-tessel-dkms"}}, 0, kTabUninstalled, ""},
        {{bundle}, 0, {{"korvid-tessel"}}, 0, kTabUninstalled, ""},
        {{bundle, kModulePackageFiles}, 4, {{"korvid-tessel", "korvid-tessel-dkms"}}, 0, kTabFailed,
         "pkcon ended with status 4"},
        {{bundle}, -1, {{"korvid-tessel"}}, 0, kTabFailed, "could not be started"},
        {{kModulePackageFiles}, 0, {}, 1, kTabUninstalled, ""},
    };
    for (const Row& row : rows) {
      FakePackageManager packages;
      packages.owned = row.owned;
      packages.status = row.status;
      runner_ = FakePrivilegedRunner();
      FakeEventPort helper(*bus_, 20);
      processes_->Add(20, "KorvidTesselHelper");
      KTUninstaller controller({*processes_, *port_, runner_, restarter_, *folders_, &packages});
      const std::size_t sent = bus_->Sent().size();
      controller.KVUUninstall();
      QCOMPARE(bus_->Sent().size(), sent + 1);  // the helper quits first, either way
      QCOMPARE(packages.removals, row.removals);
      QCOMPARE(runner_.runs, row.eraserRuns);
      QCOMPARE(controller.kvuMainTabs->currentIndex(), row.tab);
      if (row.tab == kTabFailed) {
        QVERIFY(FailureReason(controller).contains(QString::fromUtf8(row.says)));
        QVERIFY(FailureReason(controller).contains(QStringLiteral("apt remove korvid-tessel korvid-tessel-dkms")));
      }
      processes_->Remove(20);
    }
  }

  // --- About and back ---

  void aboutRemembersTheTabAndDoneReturnsToIt() {
    auto controller = Make();
    controller->kvuMainTabs->setCurrentIndex(kTabNotInstalled);
    controller->KVUAbout();
    QCOMPARE(controller->kvuMainTabs->currentIndex(), kTabAbout);
    QCOMPARE(controller->fCurrentTab, kTabNotInstalled);
    controller->KVUAbout();  // already showing: nothing changes
    QCOMPARE(controller->fCurrentTab, kTabNotInstalled);
    controller->KVUAboutDone();
    QCOMPARE(controller->kvuMainTabs->currentIndex(), kTabNotInstalled);
  }

  void aboutDoneBeforeAboutSelectsTab0() {
    auto controller = Make();
    controller->kvuMainTabs->setCurrentIndex(kTabFailed);
    controller->KVUAboutDone();
    QCOMPARE(controller->kvuMainTabs->currentIndex(), kTabInstalled);
  }

  // --- Restart ---

  void restartAsksTheSystemThenTerminatesEvenIfRefused() {
    restarter_.status = errAuthorizationDenied;
    auto controller = Make();
    QSignalSpy terminate(controller.get(), &KTUninstaller::terminateRequested);
    controller->KVURestart();
    QCOMPARE(restarter_.requests, 1);
    QCOMPARE(terminate.count(), 1);
  }

  // --- The real eraser, without pkexec ---

  void realEraserRunRemovesTheInstallationThenFailsTheSecondTime() {
    // The test build of the eraser, with its folders below the test root.
    fs::copy_file(KORVID_ERASER_TEST_BUILD, bundle_ / "Resources/ekorvid", fs::copy_options::overwrite_existing);
    qputenv("KORVID_ERASER_ROOT", QByteArray::fromStdString(root_.string()));
    const fs::path pane = Sys("usr/local/lib/korvid/PreferencePanes/Korvid Tessel.prefPane");
    Write(pane / "Resources/KorvidTesselHelper.app/KorvidTesselHelper");
    Write(Sys("usr/local/lib/korvid/Extensions/KorvidTessel.kext/korvid-tessel-driver"));
    DirectRunner direct;
    KTUninstaller controller({*processes_, *port_, direct, restarter_, *folders_});
    controller.awakeFromNib();
    QCOMPARE(controller.kvuMainTabs->currentIndex(), kTabInstalled);
    controller.KVUUninstall();
    QCOMPARE(controller.kvuMainTabs->currentIndex(), kTabUninstalled);
    QVERIFY(!fs::exists(pane));
    QVERIFY(!fs::exists(bundle_));
    QVERIFY(fs::exists(Sys("var/tmp/korvid-chewable/Uninstall Korvid Tessel.app/Resources/ekorvid")));

    // Run again from the moved bundle: nothing is left to remove (exit 213), tab 2.
    OverrideMainBundleFolder(Sys("var/tmp/korvid-chewable/Uninstall Korvid Tessel.app"));
    controller.KVUUninstall();
    QCOMPARE(controller.kvuMainTabs->currentIndex(), kTabFailed);
    qunsetenv("KORVID_ERASER_ROOT");
  }
};

}  // namespace korvid

QTEST_MAIN(korvid::KTUninstallerTest)
#include "kt_uninstaller_test.moc"
