// SPDX-License-Identifier: MIT
// The settings window on the offscreen platform: the controller's life, every control,
// the display and the refresh key, with simulated mice in virtual time, a fake process
// table and fake event ports.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "pane/KeyInterception.h"
#include "pane/KorvidTesselPane.h"
#include "pane/KorvidTesselSlider.h"
#include "pane/devices/DeviceQueues.h"
#include "pane/devices/testing/ManualDeviceExecutor.h"
#include "platform/FourCC.h"
#include "platform/Identity.h"
#include "platform/desktop/testing/FakeDesktopPointers.h"
#include "platform/devices/SimulatedDeviceWatcher.h"
#include "platform/events/testing/FakeEventPort.h"
#include "platform/events/testing/QtTestLoop.h"
#include "platform/process/testing/FakeProcessTable.h"
#include "protocol/Settings.h"
#include "protocol/Transport.h"
#include "sim/SimulatedTessel.h"

// Texts in failures, readable.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace korvid {
namespace {

namespace fs = std::filesystem;

// A click on a check box's indicator, as the user makes it.
void ClickBox(QCheckBox* box) { QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2)); }

QApplication& App() {
  static int argc = 1;
  static char name[] = "pane_window_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  return *app;
}

constexpr std::uint32_t kPanePid = 100;
constexpr std::uint32_t kHelperPid = 200;

// A widget of the host that counts the key presses and shortcuts that reach it.
class HostWidget : public QWidget {
 public:
  int presses = 0;
  int releases = 0;
  QList<int> keys;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    ++presses;
    keys.append(event->key());
  }
  void keyReleaseEvent(QKeyEvent*) override { ++releases; }
};

class PaneWindowTest : public ::testing::Test {
 protected:
  PaneWindowTest() : panePort(bus, kPanePid), helperPort(bus, kHelperPid) {
    App();
    char pattern[] = "/tmp/korvid-pane-XXXXXX";
    root = mkdtemp(pattern);
    fs::create_directories(root / "prefs");
    fs::create_directories(root / "bundle/Resources/Help");
    std::ofstream(root / "bundle/Resources/Help/index.html") << "<html></html>";
    WriteInfo("CFBundleShortVersionString", "2.3");

    processes.Add(kPanePid, "korvid-tessel-settings");
    processes.Add(kHelperPid, "KorvidTesselHelper");
    helperPort.InstallEventHandler(kKvdO, kKvdC, [this](const AppleEvent& event, AppleEvent&) -> OSErr {
      std::int32_t value = 0;
      AEGetParamValue(event, kKvdC, typeSInt32, value);
      helperValues.push_back(value);
      return noErr;
    });

    auto owned = std::make_unique<SimulatedDeviceWatcher>();
    watcher = owned.get();
    pane = std::make_unique<KorvidTesselPane>(std::move(owned), sleeper);
    PaneEnvironment environment;
    environment.processes = &processes;
    environment.events = &panePort;
    environment.preferences = PreferencesStore(root / "prefs");
    environment.addLoginItem = [this](const std::string& path) {
      loginItems.push_back(path);
      return noErr;
    };
    environment.launchApplication = [this](const std::string& path) {
      launched.push_back(path);
      return true;
    };
    environment.openUrl = [this](const QUrl& url) {
      opened.push_back(url);
      return true;
    };
    environment.bundle = PaneBundle(root / "bundle");
    environment.udevRulePath = "/usr/lib/korvid/PreferencePanes/Korvid Tessel.prefPane/Resources/70-korvid-tessel.rules";
    pane->SetEnvironment(std::move(environment));

    window = std::make_unique<HostWidget>();
    window->resize(600, 450);
    view = pane->LoadMainView(window.get());
    window->show();
    panelTimer.setSingleShot(true);
    panelTimer.setInterval(0);
    QObject::connect(&panelTimer, &QTimer::timeout, [this] { AnswerPanel(); });
  }

  ~PaneWindowTest() override {
    panelTimer.stop();
    if (pane->Selected()) pane->willUnselect();
    pane.reset();
    window.reset();
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  void TearDown() override {
    for (const auto& mouse : mice) EXPECT_EQ(mouse->ViolationCount(), 0u);
  }

  void WriteInfo(const std::string& key, const std::string& value) {
    std::ofstream(root / "bundle/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>" << key
        << "</key><string>" << value << "</string></dict></plist>\n";
  }

  // Device work waits for the test to run it, as if each job were on the wire.
  ManualDeviceExecutor& HoldDeviceWork() {
    auto owned = std::make_unique<ManualDeviceExecutor>();
    ManualDeviceExecutor& executor = *owned;
    pane->SetDeviceExecutor(std::move(owned));
    return executor;
  }

  void ChoosePolling(int index) {
    pane->Outlets().tesselMenuPollingRate->setCurrentIndex(index);
    emit pane->Outlets().tesselMenuPollingRate->activated(index);
  }

  void Release(QSlider* slider, int value) {
    slider->setValue(value);
    QTest::mouseRelease(slider, Qt::LeftButton);
  }

  std::shared_ptr<SimulatedTessel> Plug(std::uint16_t steps = 0x4444, std::uint32_t location = 0x01100000) {
    auto mouse = std::make_shared<SimulatedTessel>();
    mouse->SetLocationID(location);
    SimulatedTessel::Block settings = mouse->Settings();
    settings[kSettingsStepX] = static_cast<std::uint8_t>(steps >> 8);
    settings[kSettingsStepY] = static_cast<std::uint8_t>(steps & 0xFF);
    mouse->SetSettings(settings);
    // The settings block's steps are the stage's; keep the configuration's stage in line.
    SimulatedTessel::Block configuration = mouse->Configuration();
    const unsigned stage = mouse->CurrentStage();
    configuration[ConfigurationStageX(stage)] = static_cast<std::uint8_t>(steps >> 8);
    configuration[ConfigurationStageY(stage)] = static_cast<std::uint8_t>(steps & 0xFF);
    mouse->SetConfiguration(configuration);
    mice.push_back(mouse);
    services.push_back(watcher->Plug(mouse));
    return mouse;
  }

  // Load and select with the panel (if any) answered.
  void LoadAndSelect(bool answer = true) {
    pane->mainViewDidLoad();
    Select(answer);
  }
  void Select(bool answer = true) {
    answerOK = answer;
    panelTimer.start();
    pane->didSelect();
    panelTimer.stop();
  }

  void AnswerPanel() {
    QDialog* panel = pane->RunningPanel();
    if (panel == nullptr) return;
    if (whilePanelOpen) whilePanelOpen();
    ++panelsShown;
    shownPanels.push_back(panel->objectName());
    const QString name = panel->objectName() + (answerOK ? "OK" : "Cancel");
    auto* button = panel->findChild<QPushButton*>(name);
    ASSERT_NE(button, nullptr) << name.toStdString();
    QTest::mouseClick(button, Qt::LeftButton);
  }

  // Runs an action that may open a panel, answering it.
  template <typename F>
  void WithPanelAnswer(bool ok, F&& action) {
    answerOK = ok;
    panelTimer.start();
    action();
    panelTimer.stop();
  }

  std::vector<std::int32_t> HelperValues() {
    bus.DeliverPending();
    return helperValues;
  }

  // Settings-block writes (command 5) the mouse accepted, with their X/Y steps.
  static std::vector<std::uint16_t> StepWrites(const SimulatedTessel& mouse) {
    std::vector<std::uint16_t> steps;
    for (const auto& report : mouse.Writes()) {
      if (report[CommandReport::kReadFlagOffset] != 0 || report[CommandReport::kCommandIdOffset] != kSettingsBlockCommand) continue;
      steps.push_back(static_cast<std::uint16_t>(report[CommandReport::kDataOffset + kSettingsStepX] << 8 |
                                                 report[CommandReport::kDataOffset + kSettingsStepY]));
    }
    return steps;
  }

  // Runs the loop until the curve and desktop lines show what was asked of them.
  void WaitForPointerStatus() {
    ASSERT_TRUE(testing::RunUntil([this] { return !pane->PointerStatusPending(); }));
  }

  float Stored(const char* key) const { return pane->UserDefaults()->GetFloat(key).value_or(-1.0f); }
  int AccelerationPosition() const { return pane->Outlets().tesselSliderAcceleration->value(); }

  fs::path root;
  VirtualSleeper sleeper;
  FakeProcessTable processes{kPanePid};
  FakeEventBus bus;
  FakeEventPort panePort;
  FakeEventPort helperPort;
  std::vector<std::int32_t> helperValues;
  std::vector<std::string> loginItems;
  std::vector<std::string> launched;
  std::vector<QUrl> opened;
  SimulatedDeviceWatcher* watcher = nullptr;
  std::unique_ptr<KorvidTesselPane> pane;
  std::unique_ptr<HostWidget> window;
  QWidget* view = nullptr;
  std::vector<std::shared_ptr<SimulatedTessel>> mice;
  std::vector<DeviceService> services;
  QTimer panelTimer;
  std::function<void()> whilePanelOpen;
  bool answerOK = true;
  int panelsShown = 0;
  std::vector<QString> shownPanels;
};

// --- Outlets and load ---------------------------------------------------------------

TEST_F(PaneWindowTest, EveryOutletIsAWidgetOfTheInterfaceFileWithItsName) {
  const std::pair<QObject*, const char*> outlets[] = {
      {pane->Outlets().tesselTabsMain, "tesselTabsMain"},
      {pane->Outlets().tesselTextDPI, "tesselTextDPI"},
      {pane->Outlets().tesselTextXLabel, "tesselTextXLabel"},
      {pane->Outlets().tesselTextYLabel, "tesselTextYLabel"},
      {pane->Outlets().tesselSliderSensitivityX, "tesselSliderSensitivityX"},
      {pane->Outlets().tesselSliderSensitivityY, "tesselSliderSensitivityY"},
      {pane->Outlets().tesselBoxIndependentXY, "tesselBoxIndependentXY"},
      {pane->Outlets().tesselBoxAcceleration, "tesselBoxAcceleration"},
      {pane->Outlets().tesselSliderAcceleration, "tesselSliderAcceleration"},
      {pane->Outlets().tesselMenuPollingRate, "tesselMenuPollingRate"},
      {pane->Outlets().tesselBoxLightOnWheel, "tesselBoxLightOnWheel"},
      {pane->Outlets().tesselBoxLightOnBattery, "tesselBoxLightOnBattery"},
      {pane->Outlets().tesselTextDriverVersion, "tesselTextDriverVersion"},
      {pane->Outlets().tesselTextFirmwareVersion, "tesselTextFirmwareVersion"},
      {pane->Outlets().tesselButtonRestoreDefaults, "tesselButtonRestoreDefaults"},
      {pane->Outlets().tesselPanelRestore, "tesselPanelRestore"},
      {pane->Outlets().tesselPanelNoDevice, "tesselPanelNoDevice"},
  };
  for (const auto& [object, name] : outlets) {
    ASSERT_NE(object, nullptr) << name;
    EXPECT_EQ(object->objectName(), QString(name));
  }
  EXPECT_EQ(pane->Outlets().tesselMenuPollingRate->count(), 3);
}

TEST_F(PaneWindowTest, LoadLaunchesTheHelperWhenNoneRunsAndAlwaysRegistersTheLoginItem) {
  processes.Remove(kHelperPid);
  pane->Outlets().tesselTabsMain->setCurrentIndex(2);
  pane->mainViewDidLoad();
  const std::string helper = (root / "bundle/Resources/KorvidTesselHelper.app").string();
  EXPECT_EQ(launched, std::vector<std::string>{helper});
  EXPECT_EQ(loginItems, std::vector<std::string>{helper});
  EXPECT_EQ(gKorvidTesselPane, pane.get());
  EXPECT_EQ(pane->Outlets().tesselTabsMain->currentIndex(), 0);
  EXPECT_EQ(pane->Outlets().tesselTextDriverVersion->text(), "2.3");
}

TEST_F(PaneWindowTest, ARunningHelperIsNotLaunchedAgainButStillRegistered) {
  processes.Add(300, "korvidtesselhelper");  // names compare without case
  pane->mainViewDidLoad();
  EXPECT_TRUE(launched.empty());
  EXPECT_EQ(loginItems.size(), 1u);
}

TEST_F(PaneWindowTest, VersionFallsBackToTheBundleVersionAndOtherwiseKeepsTheDesignedText) {
  WriteInfo("CFBundleVersion", "7");
  pane->mainViewDidLoad();
  EXPECT_EQ(pane->Outlets().tesselTextDriverVersion->text(), "7");
  WriteInfo("CFBundleName", "x");
  pane->Outlets().tesselTextDriverVersion->setText("designed");
  pane->mainViewDidLoad();
  EXPECT_EQ(pane->Outlets().tesselTextDriverVersion->text(), "designed");
}

// --- The no-device display and panel ------------------------------------------------

TEST_F(PaneWindowTest, WithoutAMouseEveryControlIsDisabledAndShowsTheNeutralValues) {
  LoadAndSelect();
  for (QWidget* control : std::initializer_list<QWidget*>{
           pane->Outlets().tesselSliderSensitivityX, pane->Outlets().tesselSliderSensitivityY, pane->Outlets().tesselBoxIndependentXY,
           pane->Outlets().tesselBoxAcceleration, pane->Outlets().tesselSliderAcceleration, pane->Outlets().tesselMenuPollingRate,
           pane->Outlets().tesselBoxLightOnWheel, pane->Outlets().tesselBoxLightOnBattery, pane->Outlets().tesselButtonRestoreDefaults}) {
    EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
  }
  EXPECT_EQ(pane->Outlets().tesselSliderSensitivityX->value(), 1800);
  EXPECT_EQ(pane->Outlets().tesselSliderSensitivityY->value(), 1800);
  EXPECT_EQ(AccelerationPosition(), 500);
  EXPECT_EQ(pane->Outlets().tesselMenuPollingRate->currentIndex(), 2);
  EXPECT_FALSE(pane->Outlets().tesselBoxIndependentXY->isChecked());
  EXPECT_FALSE(pane->Outlets().tesselBoxAcceleration->isChecked());
  EXPECT_FALSE(pane->Outlets().tesselBoxLightOnWheel->isChecked());
  EXPECT_FALSE(pane->Outlets().tesselBoxLightOnBattery->isChecked());
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "-");
  EXPECT_EQ(pane->Outlets().tesselTextXLabel->text(), " ");
  EXPECT_EQ(pane->Outlets().tesselTextYLabel->text(), " ");
  EXPECT_EQ(pane->Outlets().tesselTextFirmwareVersion->text(), "-");
  // The empty state stays after the panel, and nothing that looks like a setting is shown.
  EXPECT_TRUE(pane->Outlets().tesselBoxEmptyState->isVisibleTo(view));
  EXPECT_TRUE(pane->Outlets().tesselTextEmptyState->text().contains("--simulated"));
  EXPECT_FALSE(pane->Outlets().tesselTextPermissionCommands->isVisibleTo(view));
  EXPECT_FALSE(pane->Outlets().tesselSliderSensitivityX->isVisibleTo(view));
  EXPECT_FALSE(pane->Outlets().tesselMenuPollingRate->isVisibleTo(view));
  QLabel* note = view->findChild<QLabel*>("tabSensitivityNoMouse");
  ASSERT_NE(note, nullptr);
  EXPECT_TRUE(note->isVisibleTo(view));
  Plug();
  watcher->DeliverPending();
  EXPECT_FALSE(pane->Outlets().tesselBoxEmptyState->isVisibleTo(view));
  EXPECT_TRUE(pane->Outlets().tesselSliderSensitivityX->isVisibleTo(view));
  EXPECT_FALSE(pane->Outlets().tesselSliderSensitivityY->isVisibleTo(view));  // linked: one row
  EXPECT_FALSE(note->isVisibleTo(view));
}

TEST_F(PaneWindowTest, TheNoDevicePanelIsShownOncePerLoadAsASheet) {
  LoadAndSelect();
  EXPECT_EQ(shownPanels, std::vector<QString>{"tesselPanelNoDevice"});
  EXPECT_TRUE(pane->Outlets().tesselPanelNoDevice->windowFlags().testFlag(Qt::Sheet));
  EXPECT_EQ(pane->Outlets().tesselPanelNoDevice->windowModality(), Qt::WindowModal);
  EXPECT_FALSE(pane->Outlets().tesselPanelNoDevice->isVisible());
  pane->willUnselect();
  Select();
  EXPECT_EQ(panelsShown, 1);
}

TEST_F(PaneWindowTest, NoPanelWhenAMouseIsAttachedAtTheFirstSelectionEvenAfterItGoes) {
  Plug();
  LoadAndSelect();
  EXPECT_EQ(panelsShown, 0);
  pane->willUnselect();
  mice.clear();
  watcher->Unplug(1);
  Select();
  EXPECT_EQ(panelsShown, 0);
}

// --- Sensitivity ----------------------------------------------------------------------

TEST_F(PaneWindowTest, AMouseEnablesTheControlsAndShowsItsSettings) {
  auto mouse = Plug(0x1C2C);  // X 800, Y 1200
  mouse->SetFirmwareVersion(1, 10);
  LoadAndSelect();
  EXPECT_TRUE(pane->Outlets().tesselSliderSensitivityX->isEnabled());
  EXPECT_TRUE(pane->Outlets().tesselSliderSensitivityY->isEnabled());
  EXPECT_TRUE(pane->Outlets().tesselBoxIndependentXY->isChecked());
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "X = 800,  Y = 1200 DPI");
  EXPECT_EQ(pane->Outlets().tesselTextXLabel->text(), "X");
  EXPECT_EQ(pane->Outlets().tesselTextYLabel->text(), "Y");
  EXPECT_EQ(pane->Outlets().tesselTextFirmwareVersion->text(), "1.10");
  EXPECT_EQ(pane->Outlets().tesselMenuPollingRate->currentIndex(), 1);  // the mouse ships with code 2
  // The sliders span the range the command line accepts.
  EXPECT_EQ(pane->Outlets().tesselSliderSensitivityX->maximum(), static_cast<int>(kTesselMaxDpi));
  EXPECT_EQ(pane->Outlets().tesselSliderSensitivityY->minimum(), static_cast<int>(kTesselMinDpi));
}

TEST_F(PaneWindowTest, DraggingXWithLinkedAxesMovesYAndSendsTheStepsOnceAfterRelease) {
  auto mouse = Plug();
  LoadAndSelect();
  EXPECT_FALSE(pane->Outlets().tesselSliderSensitivityY->isEnabled());
  EXPECT_EQ(pane->Outlets().tesselTextXLabel->text(), " ");
  mouse->ClearTraffic();
  pane->Outlets().tesselSliderSensitivityX->setValue(2000);  // on the way
  pane->Outlets().tesselSliderSensitivityX->setValue(2400);
  EXPECT_EQ(mouse->RequestCount(), 0u);  // nothing while dragging
  EXPECT_EQ(pane->FirstCapturedDevice()->state.sensitivityY, 2400);
  EXPECT_EQ(pane->Outlets().tesselSliderSensitivityY->value(), 2400);
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "2400 DPI");
  QTest::mouseRelease(pane->Outlets().tesselSliderSensitivityX, Qt::LeftButton);
  EXPECT_EQ(StepWrites(*mouse), std::vector<std::uint16_t>{0x5C5C});
  EXPECT_EQ(mouse->CurrentSteps(), 0x5C5C);
}

TEST_F(PaneWindowTest, KeyboardStepsAreSentOnceWhenTheKeyIsLetGo) {
  auto mouse = Plug();
  LoadAndSelect();
  mouse->ClearTraffic();
  QSlider* x = pane->Outlets().tesselSliderSensitivityX;
  x->setFocus();
  QTest::keyPress(x, Qt::Key_Right);
  QTest::keyPress(x, Qt::Key_Right, Qt::NoModifier, -1);
  EXPECT_EQ(mouse->RequestCount(), 0u);
  QTest::keyRelease(x, Qt::Key_Right);
  EXPECT_EQ(StepWrites(*mouse), std::vector<std::uint16_t>{0x4646});  // 1850 DPI, step 70
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "1850 DPI");
}

TEST_F(PaneWindowTest, ADpiBetweenStepsTruncatesOnTheMouseWhileTheTextKeepsIt) {
  auto mouse = Plug();
  LoadAndSelect();
  mouse->ClearTraffic();
  pane->Outlets().tesselSliderSensitivityX->setValue(1812);
  QTest::mouseRelease(pane->Outlets().tesselSliderSensitivityX, Qt::LeftButton);
  EXPECT_EQ(StepWrites(*mouse), std::vector<std::uint16_t>{0x4444});  // step 68
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "1812 DPI");
}

TEST_F(PaneWindowTest, IndependentAxesShowBothValuesAndSwitchingOffSendsXForBoth) {
  auto mouse = Plug(0x4428);  // X 1800, Y 1100
  LoadAndSelect();
  mouse->ClearTraffic();
  pane->Outlets().tesselSliderSensitivityY->setValue(800);
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "X = 1800,  Y = 800 DPI");
  EXPECT_EQ(pane->Outlets().tesselSliderSensitivityX->value(), 1800);
  QTest::mouseRelease(pane->Outlets().tesselSliderSensitivityY, Qt::LeftButton);
  EXPECT_EQ(StepWrites(*mouse), std::vector<std::uint16_t>{0x441C});  // X step 68 high, Y step 28 low
  mouse->ClearTraffic();
  ClickBox(pane->Outlets().tesselBoxIndependentXY);
  EXPECT_EQ(StepWrites(*mouse), std::vector<std::uint16_t>{0x4444});
  EXPECT_EQ(pane->Outlets().tesselSliderSensitivityY->value(), 1800);
  EXPECT_FALSE(pane->Outlets().tesselSliderSensitivityY->isEnabled());
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "1800 DPI");
  mouse->ClearTraffic();
  ClickBox(pane->Outlets().tesselBoxIndependentXY);  // on again: nothing sent
  EXPECT_EQ(mouse->RequestCount(), 0u);
  EXPECT_TRUE(pane->Outlets().tesselSliderSensitivityY->isEnabled());
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "X = 1800,  Y = 1800 DPI");
}

// --- Polling rate and lights ----------------------------------------------------------

TEST_F(PaneWindowTest, PollingMenuSendsTheCodesAndShowsTheMousesCode) {
  auto mouse = Plug();
  LoadAndSelect();
  const std::pair<int, std::uint8_t> choices[] = {{0, 8}, {2, 1}, {1, 2}};
  for (const auto& [index, code] : choices) {
    pane->Outlets().tesselMenuPollingRate->setCurrentIndex(index);
    emit pane->Outlets().tesselMenuPollingRate->activated(index);
    EXPECT_EQ(pane->FirstCapturedDevice()->state.pollingRate, code);
    EXPECT_EQ(mouse->Settings()[kSettingsPollingRate], code);
  }
  for (const auto& [code, index] : std::initializer_list<std::pair<std::uint8_t, int>>{{1, 2}, {2, 1}, {8, 0}, {4, 0}}) {
    SimulatedTessel::Block settings = mouse->Settings();
    settings[kSettingsPollingRate] = code;
    mouse->SetSettings(settings);
    pane->sysPrefWindowDidBecomeKey(window->windowHandle());
    EXPECT_EQ(pane->Outlets().tesselMenuPollingRate->currentIndex(), index) << int(code);
  }
}

TEST_F(PaneWindowTest, LightBoxesSetTheirBitsOnTheMouse) {
  auto mouse = Plug();
  LoadAndSelect();
  const bool wheel = pane->Outlets().tesselBoxLightOnWheel->isChecked();
  ClickBox(pane->Outlets().tesselBoxLightOnWheel);
  EXPECT_EQ((mouse->Configuration()[kConfigurationLightingMask] & 1) != 0, !wheel);
  const bool battery = pane->Outlets().tesselBoxLightOnBattery->isChecked();
  ClickBox(pane->Outlets().tesselBoxLightOnBattery);
  EXPECT_EQ((mouse->Configuration()[kConfigurationLightingMask] & 2) != 0, !battery);
  EXPECT_EQ(pane->FirstCapturedDevice()->state.lightOnBattery, battery ? 0 : 1);
}

// --- Acceleration ---------------------------------------------------------------------

TEST_F(PaneWindowTest, ConversionTableBothWays) {
  const std::pair<float, std::int32_t> table[] = {{0.5f, 0},       {1.0f, 6553},   {2.0f, 19660},
                                                  {3.0f, 32768},   {4.99f, 58851}, {5.0f, 65536},
                                                  {7.5f, 98304},   {10.0f, 131072}, {10.5f, 0}};
  for (const auto& [slider, fixed] : table) {
    EXPECT_EQ(AccelerationToFixed(SliderValueToAcceleration(slider)), fixed) << slider;
  }
  EXPECT_FLOAT_EQ(SliderValueToAcceleration(4.99f), 0.898f);
  EXPECT_FLOAT_EQ(AccelerationToSliderValue(0.95f), 5.25f);
  EXPECT_FLOAT_EQ(AccelerationToSliderValue(0.5f), 3.0f);
  EXPECT_FLOAT_EQ(AccelerationToSliderValue(1.5f), 7.5f);
  EXPECT_FLOAT_EQ(AccelerationToSliderValue(0.05f), 5.0f);
  EXPECT_FLOAT_EQ(AccelerationToSliderValue(2.5f), 5.0f);
  EXPECT_FLOAT_EQ(AccelerationToSliderValue(0.0f), 5.0f);
  EXPECT_EQ(AccelerationToFixed(40000.0f), 0x7FFFFFFF);
  EXPECT_EQ(AccelerationToFixed(32768.0f), 0x7FFFFFFF);
  EXPECT_EQ(AccelerationToFixed(-1.0f), -65536);
  EXPECT_EQ(AccelerationToFixed(std::nanf("")), 0);
}

TEST_F(PaneWindowTest, SliderSendsTheFixedPointValueAndStoresIt) {
  Plug();
  LoadAndSelect();
  ClickBox(pane->Outlets().tesselBoxAcceleration);  // on: 1.0
  pane->Outlets().tesselSliderAcceleration->setValue(750);
  EXPECT_EQ(HelperValues(), (std::vector<std::int32_t>{65536, 98304}));
  EXPECT_FLOAT_EQ(Stored("acceleration"), 1.5f);
  EXPECT_FLOAT_EQ(Stored("lastAcceleration"), 1.0f);
  // Already in the settings domain: a logout that ends the window now loses nothing.
  PropertyList stored;
  ASSERT_EQ(PreferencesStore(root / "prefs").PersistentDomain(kSettingsDomain, stored), noErr);
  EXPECT_EQ(stored.GetFloat("acceleration"), 1.5f);
}

TEST_F(PaneWindowTest, BoxOffAtOnePointFiveRemembersItAndOnAgainRestoresIt) {
  Plug();
  pane->mainViewDidLoad();
  {
    PropertyList domain = PropertyList::NewDictionary();
    domain.SetFloat("acceleration", 1.5f);
    domain.SetFloat("lastAcceleration", 1.0f);
    ASSERT_EQ(PreferencesStore(root / "prefs").SetPersistentDomain(kSettingsDomain, domain), noErr);
  }
  Select();
  EXPECT_TRUE(pane->Outlets().tesselBoxAcceleration->isChecked());
  EXPECT_EQ(AccelerationPosition(), 750);
  ClickBox(pane->Outlets().tesselBoxAcceleration);
  EXPECT_FLOAT_EQ(Stored("lastAcceleration"), 1.5f);
  EXPECT_FLOAT_EQ(Stored("acceleration"), 0.0f);
  EXPECT_FALSE(pane->Outlets().tesselSliderAcceleration->isEnabled());
  EXPECT_EQ(AccelerationPosition(), 750);
  ClickBox(pane->Outlets().tesselBoxAcceleration);
  EXPECT_FLOAT_EQ(Stored("acceleration"), 1.5f);
  EXPECT_TRUE(pane->Outlets().tesselSliderAcceleration->isEnabled());
  EXPECT_EQ(HelperValues(), (std::vector<std::int32_t>{0, 98304}));
  // Stored at unselection, whole.
  pane->willUnselect();
  PropertyList stored;
  ASSERT_EQ(PreferencesStore(root / "prefs").PersistentDomain(kSettingsDomain, stored), noErr);
  EXPECT_EQ(stored.GetFloat("acceleration"), 1.5f);
  EXPECT_EQ(stored.GetFloat("lastAcceleration"), 1.5f);
}

TEST_F(PaneWindowTest, BoxOnWithoutARememberedValueGivesOne) {
  Plug();
  pane->mainViewDidLoad();
  {
    PropertyList domain = PropertyList::NewDictionary();
    domain.SetFloat("lastAcceleration", 0.0f);
    ASSERT_EQ(PreferencesStore(root / "prefs").SetPersistentDomain(kSettingsDomain, domain), noErr);
  }
  Select();
  ClickBox(pane->Outlets().tesselBoxAcceleration);
  EXPECT_FLOAT_EQ(Stored("acceleration"), 1.0f);
  EXPECT_EQ(HelperValues(), std::vector<std::int32_t>{65536});
}

TEST_F(PaneWindowTest, StoredValuesBetweenTheSlidersStepsOrOutOfRangeKeepTheirPlaceAndValue) {
  Plug();
  pane->mainViewDidLoad();
  const std::pair<float, int> cases[] = {{0.95f, 525}, {2.0f, 1000}, {0.05f, 500}, {2.5f, 500}};
  for (const auto& [stored, position] : cases) {
    PropertyList domain = PropertyList::NewDictionary();
    domain.SetFloat("acceleration", stored);
    ASSERT_EQ(PreferencesStore(root / "prefs").SetPersistentDomain(kSettingsDomain, domain), noErr);
    Select();
    EXPECT_TRUE(pane->Outlets().tesselBoxAcceleration->isChecked()) << stored;
    EXPECT_EQ(AccelerationPosition(), position) << stored;
    pane->willUnselect();
    PropertyList after;
    ASSERT_EQ(PreferencesStore(root / "prefs").PersistentDomain(kSettingsDomain, after), noErr);
    EXPECT_EQ(after.GetFloat("acceleration"), stored);  // kept until the user changes it
  }
}

TEST_F(PaneWindowTest, AFreshUserStartsFromTheDefaultsAndADamagedDomainIsReplacedWhole) {
  Plug();
  std::ofstream(PreferencesStore(root / "prefs").DomainFile(kSettingsDomain)) << "<plist><dict><key>";
  LoadAndSelect();
  EXPECT_FLOAT_EQ(Stored("acceleration"), 0.0f);
  EXPECT_FLOAT_EQ(Stored("lastAcceleration"), 1.0f);
  EXPECT_FALSE(pane->Outlets().tesselBoxAcceleration->isChecked());
  EXPECT_EQ(AccelerationPosition(), 500);
  pane->willUnselect();
  EXPECT_FALSE(pane->UserDefaults().has_value());
  PropertyList stored;
  ASSERT_EQ(PreferencesStore(root / "prefs").PersistentDomain(kSettingsDomain, stored), noErr);
  EXPECT_EQ(stored.GetFloat("acceleration"), 0.0f);
  EXPECT_EQ(stored.GetFloat("lastAcceleration"), 1.0f);
}

// --- Device work off the window's thread ------------------------------------------------

TEST_F(PaneWindowTest, DeviceWorkKeepsTheWireOrderDropsAStaleDpiAndEndsWithTheMouse) {
  ManualDeviceExecutor& wire = HoldDeviceWork();
  auto mouse = Plug();
  LoadAndSelect();
  // The capture is on its way: the window says so and shows no values yet.
  EXPECT_EQ(pane->Outlets().tesselTextStatus->text(), QString::fromUtf8(kStatusReading));
  EXPECT_FALSE(pane->Outlets().tesselSliderSensitivityX->isEnabled());
  EXPECT_EQ(window->cursor().shape(), Qt::BusyCursor);
  wire.RunAll();
  EXPECT_TRUE(pane->Outlets().tesselSliderSensitivityX->isEnabled());
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "1800 DPI");
  EXPECT_TRUE(pane->Outlets().tesselTextStatus->isHidden());
  EXPECT_NE(window->cursor().shape(), Qt::BusyCursor);

  // Changes made while the mouse is busy wait their turn; the 2400 DPI not yet sent gives
  // way to the 3000 that follows it.
  mouse->ClearTraffic();
  ChoosePolling(0);
  EXPECT_EQ(pane->Outlets().tesselTextStatus->text(), QString::fromUtf8(kStatusSaving));
  Release(pane->Outlets().tesselSliderSensitivityX, 2400);
  ClickBox(pane->Outlets().tesselBoxLightOnWheel);
  Release(pane->Outlets().tesselSliderSensitivityX, 3000);
  EXPECT_EQ(mouse->RequestCount(), 0u);
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "3000 DPI");
  wire.RunAll();
  // Polling (the settings block keeps the old steps), then the light, then the DPI.
  EXPECT_EQ(StepWrites(*mouse), (std::vector<std::uint16_t>{0x4444, 0x7474}));
  EXPECT_EQ(mouse->Settings()[kSettingsPollingRate], 8);
  EXPECT_EQ(mouse->Configuration()[kConfigurationLightingMask] & 1, 0);

  // A refresh that reads while the user changes something does not undo the change.
  pane->sysPrefWindowDidBecomeKey(window->windowHandle());
  Release(pane->Outlets().tesselSliderSensitivityX, 1000);
  wire.RunAll();
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "1000 DPI");

  // Unplugged with work queued: the job on the wire ends, the rest is dropped.
  mouse->ClearTraffic();
  ChoosePolling(2);
  Release(pane->Outlets().tesselSliderSensitivityX, 5000);
  watcher->Unplug(services[0]);
  watcher->DeliverPending();
  EXPECT_EQ(pane->CapturedDeviceCount(), 0);
  wire.RunAll();
  EXPECT_EQ(StepWrites(*mouse), std::vector<std::uint16_t>{0x2424});  // the polling write only
  EXPECT_FALSE(pane->DeviceWorkPending());
  EXPECT_NE(window->cursor().shape(), Qt::BusyCursor);
}

TEST_F(PaneWindowTest, OnTheWorkerThreadResultsComeBackToTheWindowsThread) {
  pane->SetDeviceExecutor(std::make_unique<ThreadedDeviceExecutor>());
  auto mouse = Plug(0x1C2C);
  LoadAndSelect();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !pane->DeviceWorkPending(); }));
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "X = 800,  Y = 1200 DPI");
  Release(pane->Outlets().tesselSliderSensitivityY, 800);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !pane->DeviceWorkPending(); }));
  EXPECT_EQ(mouse->CurrentSteps(), 0x1C1C);
}

// --- Several mice, and mice this account may not open ---------------------------------

TEST_F(PaneWindowTest, WithTwoMiceTheChooserPicksTheOneShownSetAndRestored) {
  auto first = Plug(0x1C2C, 0x01100000);
  LoadAndSelect();
  EXPECT_TRUE(pane->Outlets().tesselMenuDevice->isHidden());  // one mouse: nothing changes
  auto second = Plug(0x2C2C, 0x01200000);
  watcher->DeliverPending();
  ASSERT_FALSE(pane->Outlets().tesselMenuDevice->isHidden());
  ASSERT_EQ(pane->Outlets().tesselMenuDevice->count(), 2);
  EXPECT_EQ(pane->Outlets().tesselMenuDevice->itemText(1), "Korvid Tessel at 0x01200000");
  EXPECT_EQ(pane->Outlets().tesselMenuDevice->currentIndex(), 0);  // the first stays the default
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "X = 800,  Y = 1200 DPI");
  pane->Outlets().tesselMenuDevice->setCurrentIndex(1);
  emit pane->Outlets().tesselMenuDevice->activated(1);
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "1200 DPI");
  first->ClearTraffic();
  ChoosePolling(2);
  EXPECT_EQ(second->Settings()[kSettingsPollingRate], 1);
  EXPECT_EQ(first->RequestCount(), 0u);

  // The restore acts on the mouse shown when its panel opened, whatever comes and goes.
  whilePanelOpen = [&] {
    watcher->Unplug(services[0]);
    watcher->DeliverPending();
  };
  WithPanelAnswer(true, [&] { pane->actionButtonRestoreDefaults(); });
  EXPECT_EQ(second->CurrentSteps(), 0x4444);
  EXPECT_EQ(second->Settings()[kSettingsPollingRate], 2);
  EXPECT_EQ(first->CurrentSteps(), 0x1C2C);
  EXPECT_EQ(HelperValues(), std::vector<std::int32_t>{0});

  // That mouse gone before the answer: nothing is restored, nothing told.
  auto third = Plug(0x1C1C, 0x01300000);
  watcher->DeliverPending();
  whilePanelOpen = [&] {
    watcher->Unplug(services[1]);
    watcher->DeliverPending();
  };
  WithPanelAnswer(true, [&] { pane->actionButtonRestoreDefaults(); });
  EXPECT_EQ(third->CurrentSteps(), 0x1C1C);
  EXPECT_EQ(HelperValues(), std::vector<std::int32_t>{0});
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "800 DPI");  // the remaining mouse is shown
  EXPECT_EQ(second.use_count(), 2);  // the test's two: the pane let go of the gone mouse
}

TEST_F(PaneWindowTest, AMouseThisAccountMayNotOpenGetsTheFixInsteadOfTheNoDevicePanel) {
  const DeviceService refused = watcher->PlugRefused();
  LoadAndSelect();
  EXPECT_EQ(panelsShown, 0);
  EXPECT_EQ(pane->RefusedDeviceCount(), 1u);
  EXPECT_TRUE(pane->Outlets().tesselTextEmptyState->text().startsWith("<b>A Korvid Tessel is attached, but this "
                                                                       "account may not open it."));
  // The fix, whole and ready to copy: the installed rule by its path (one quoted word,
  // no wrapping), then reload and trigger.
  QPlainTextEdit* commands = pane->Outlets().tesselTextPermissionCommands;
  EXPECT_TRUE(commands->isVisibleTo(view));
  EXPECT_EQ(commands->toPlainText(),
            "sudo install -m 644 '/usr/lib/korvid/PreferencePanes/Korvid Tessel.prefPane/Resources/"
            "70-korvid-tessel.rules' /etc/udev/rules.d/\nsudo udevadm control --reload\nsudo udevadm trigger");
  EXPECT_EQ(commands->lineWrapMode(), QPlainTextEdit::NoWrap);
  // A quote in a prefix stays inside the one shell word.
  EXPECT_EQ(PermissionCommands("/opt/o'neil/70-korvid-tessel.rules").section('\n', 0, 0),
            "sudo install -m 644 '/opt/o'\\''neil/70-korvid-tessel.rules' /etc/udev/rules.d/");
  EXPECT_TRUE(commands->isReadOnly());
  EXPECT_FALSE(pane->Outlets().tesselSliderSensitivityX->isEnabled());
  watcher->Unplug(refused);
  watcher->DeliverPending();
  EXPECT_TRUE(pane->Outlets().tesselTextEmptyState->text().startsWith("<b>No Korvid Tessel is connected."));
  EXPECT_FALSE(commands->isVisibleTo(view));
}

TEST_F(PaneWindowTest, TheAccelerationPageSaysWhetherHelperAndDriverRun) {
  bool driver = false;
  pane->Environment().driverReachable = [&] { return driver; };
  LoadAndSelect();
  EXPECT_EQ(pane->Outlets().tesselTextBackground->text(),
            QString("%1\n%2").arg(kStatusHelperRunning, kStatusDriverMissing));
  // Only this session's helper counts: one of another session bears the name too.
  pane->Environment().eventPortReachable = [](std::uint32_t pid) { return pid == kHelperPid; };
  processes.Add(kHelperPid + 1, "KorvidTesselHelper");
  processes.Remove(kHelperPid);
  driver = true;
  pane->UpdateBackgroundStatus();
  EXPECT_EQ(pane->Outlets().tesselTextBackground->text(),
            QString("%1\n%2").arg(kStatusHelperStopped, kStatusDriverReachable));
}

TEST_F(PaneWindowTest, ThePointerPageSaysWhereTheCurveRunsAndWhatTheDesktopAddsOnEveryRefresh) {
  auto desktop = std::make_shared<FakeDesktopPointers>();
  CurvePath path = CurvePath::kNowhere;  // changed only while no read runs
  pane->Environment().curvePath = [&path] { return path; };
  pane->Environment().desktopPointers = desktop;
  LoadAndSelect();
  WaitForPointerStatus();
  QLabel* curve = pane->Outlets().tesselTextCurvePath;
  QLabel* desktopLine = pane->Outlets().tesselTextDesktopAcceleration;
  QPushButton* offer = pane->Outlets().tesselButtonDesktopFlat;
  EXPECT_EQ(curve->text(), kStatusCurveNowhere);
  EXPECT_EQ(desktopLine->text(), QString("%1.").arg(kStatusDesktopUnknown));
  EXPECT_EQ(offer->text(), QString::fromUtf8(kButtonDesktopFlat));

  using enum DesktopAcceleration;
  struct Row {
    CurvePath path;
    const char* curveText;
    DesktopPointerState state;
    QString desktopText;
    bool offered;
  };
  const Row rows[] = {
      {CurvePath::kKernelModule, kStatusCurveKernelModule, {"X11", kFlat, false}, QString("%1 (X11).").arg(kStatusDesktopFlat), false},
      {CurvePath::kDriverDaemon, kStatusCurveDriverDaemon, {"sway", kStacked, false}, QString("%1 (sway).").arg(kStatusDesktopStacked), false},
      {CurvePath::kNowhere, kStatusCurveNowhere, {"GNOME", kStacked, true}, "The desktop adds its own acceleration to every mouse (GNOME).", true},
      {CurvePath::kKernelModule, kStatusCurveKernelModule, {"GNOME", kFlat, true}, QString("%1 (GNOME).").arg(kStatusDesktopFlat), false},
      {CurvePath::kDriverDaemon, kStatusCurveDriverDaemon, {"GNOME", kUnknown, true}, QString("%1 (GNOME).").arg(kStatusDesktopUnknown), true},
      {CurvePath::kKernelModule, kStatusCurveKernelModule, {"KDE Plasma", kUnknown, false}, QString("%1 (KDE Plasma).").arg(kStatusDesktopUnknown), false},
      {CurvePath::kDriverDaemon, kStatusCurveDriverDaemon, {"", kStacked, false}, QString("%1.").arg(kStatusDesktopStacked), false},
  };
  // Each refresh the window knows: a window becoming key, the refresh key, a new selection.
  const std::function<void()> refreshes[] = {
      [&] { emit App().focusWindowChanged(window->windowHandle()); },
      [&] {
        window->setFocus();
        QTest::keyClick(window.get(), Qt::Key_F20);
      },
      [&] {
        pane->willUnselect();
        Select();
      },
  };
  int index = 0;
  for (const Row& row : rows) {
    path = row.path;
    desktop->SetState(row.state);
    const int readsBefore = desktop->Reads();
    refreshes[index++ % std::size(refreshes)]();
    WaitForPointerStatus();
    EXPECT_GT(desktop->Reads(), readsBefore) << index;
    EXPECT_EQ(curve->text(), row.curveText) << index;
    EXPECT_EQ(desktopLine->text(), row.desktopText) << index;
    EXPECT_FALSE(desktopLine->isHidden()) << index;
    EXPECT_EQ(offer->isHidden(), !row.offered) << index;
  }
  // A refresh asked for while a read runs follows it: the last state is the one shown
  // (unselected, so that no periodic refresh comes to its help).
  pane->willUnselect();
  desktop->SetState({"X11", kStacked, false});
  pane->RefreshPointerStatus();
  desktop->SetState({"X11", kFlat, false});
  pane->RefreshPointerStatus();
  WaitForPointerStatus();
  EXPECT_EQ(desktopLine->text(), QString("%1 (X11).").arg(kStatusDesktopFlat));
  EXPECT_EQ(panelsShown, 1);  // the no-device panel only
  EXPECT_EQ(desktop->FlatCalls(), 0);  // nothing changes without the user's click
  EXPECT_FALSE(desktop->CalledOn(std::this_thread::get_id()));
}

TEST_F(PaneWindowTest, TheDesktopsGlobalAccelerationIsTurnedOffOnlyAfterTheUserConfirms) {
  auto desktop = std::make_shared<FakeDesktopPointers>();
  desktop->SetState({"GNOME", DesktopAcceleration::kStacked, true});
  pane->Environment().desktopPointers = desktop;
  LoadAndSelect();
  WaitForPointerStatus();
  QLabel* line = pane->Outlets().tesselTextDesktopAcceleration;
  QPushButton* offer = pane->Outlets().tesselButtonDesktopFlat;
  ASSERT_FALSE(offer->isHidden());
  EXPECT_TRUE(pane->Outlets().tesselTextCurvePath->isHidden());  // no curve service: no line
  QString question;
  QString confirmText;
  whilePanelOpen = [&] {
    auto* box = qobject_cast<QMessageBox*>(pane->RunningPanel());
    ASSERT_NE(box, nullptr);
    question = box->text();
    confirmText = box->findChild<QPushButton*>("tesselPanelDesktopFlatOK")->text();
  };

  WithPanelAnswer(false, [&] { QTest::mouseClick(offer, Qt::LeftButton); });
  WaitForPointerStatus();
  EXPECT_EQ(shownPanels.back(), "tesselPanelDesktopFlat");
  EXPECT_TRUE(question.contains("every mouse, not just the Tessel"));
  EXPECT_EQ(confirmText, kButtonDesktopFlatConfirm);
  EXPECT_EQ(desktop->FlatCalls(), 0);
  EXPECT_FALSE(offer->isHidden());

  // Refused by the desktop: said in words beside the offer, which stays, also after a refresh.
  desktop->SetFlatResult(-5001);
  WithPanelAnswer(true, [&] { QTest::mouseClick(offer, Qt::LeftButton); });
  WaitForPointerStatus();
  EXPECT_EQ(desktop->FlatCalls(), 1);
  EXPECT_EQ(line->text(), QString("The desktop adds its own acceleration to every mouse (GNOME).\n%1")
                              .arg(QString(kStatusDesktopFlatFailed).arg(-5001)));
  pane->RefreshPointerStatus();
  WaitForPointerStatus();
  EXPECT_TRUE(line->text().endsWith(QString(kStatusDesktopFlatFailed).arg(-5001)));
  EXPECT_FALSE(offer->isHidden());
  EXPECT_TRUE(offer->isEnabled());
  // Made flat in the desktop's own settings: the failure goes with the offer.
  desktop->SetState({"GNOME", DesktopAcceleration::kFlat, true});
  pane->RefreshPointerStatus();
  WaitForPointerStatus();
  EXPECT_EQ(line->text(), QString("%1 (GNOME).").arg(kStatusDesktopFlat));
  EXPECT_TRUE(offer->isHidden());

  desktop->SetState({"GNOME", DesktopAcceleration::kStacked, true});
  pane->RefreshPointerStatus();
  WaitForPointerStatus();
  desktop->SetFlatResult(noErr);
  WithPanelAnswer(true, [&] { QTest::mouseClick(offer, Qt::LeftButton); });
  EXPECT_FALSE(offer->isEnabled());  // one change at a time
  WaitForPointerStatus();
  EXPECT_EQ(desktop->FlatCalls(), 2);
  EXPECT_EQ(line->text(), QString("%1 (GNOME).").arg(kStatusDesktopFlat));
  EXPECT_TRUE(offer->isHidden());
  EXPECT_FALSE(desktop->CalledOn(std::this_thread::get_id()));
}

// --- Restore defaults -----------------------------------------------------------------

TEST_F(PaneWindowTest, ConfirmedRestoreResetsTheMouseTheSettingsAndTheHelper) {
  auto mouse = Plug(0x1C2C);
  SimulatedTessel::Block settings = mouse->Settings();
  settings[kSettingsPollingRate] = 8;
  mouse->SetSettings(settings);
  LoadAndSelect();
  pane->UserDefaults()->SetFloat("acceleration", 1.5f);
  pane->UserDefaults()->SetFloat("lastAcceleration", 1.2f);
  mouse->ClearTraffic();
  WithPanelAnswer(true, [&] { QTest::mouseClick(pane->Outlets().tesselButtonRestoreDefaults, Qt::LeftButton); });
  EXPECT_EQ(shownPanels, std::vector<QString>{"tesselPanelRestore"});
  EXPECT_EQ(HelperValues(), std::vector<std::int32_t>{0});
  EXPECT_FLOAT_EQ(Stored("acceleration"), 0.0f);
  EXPECT_FLOAT_EQ(Stored("lastAcceleration"), 1.0f);
  EXPECT_EQ(mouse->CurrentStage(), 3u);
  EXPECT_EQ(mouse->CurrentSteps(), 0x4444);
  EXPECT_EQ(mouse->Settings()[kSettingsPollingRate], 2);
  EXPECT_EQ(pane->Outlets().tesselTextDPI->text(), "1800 DPI");
  EXPECT_FALSE(pane->Outlets().tesselBoxIndependentXY->isChecked());
  EXPECT_FALSE(pane->Outlets().tesselBoxAcceleration->isChecked());
  EXPECT_EQ(pane->Outlets().tesselMenuPollingRate->currentIndex(), 1);
}

TEST_F(PaneWindowTest, CancelledRestoreChangesNothing) {
  auto mouse = Plug(0x1C2C);
  LoadAndSelect();
  pane->UserDefaults()->SetFloat("acceleration", 1.5f);
  mouse->ClearTraffic();
  WithPanelAnswer(false, [&] { QTest::mouseClick(pane->Outlets().tesselButtonRestoreDefaults, Qt::LeftButton); });
  EXPECT_EQ(panelsShown, 1);
  EXPECT_TRUE(HelperValues().empty());
  EXPECT_FLOAT_EQ(Stored("acceleration"), 1.5f);
  // Only the re-read of the key window change may talk to the mouse: no writes.
  EXPECT_TRUE(StepWrites(*mouse).empty());
  EXPECT_EQ(mouse->CurrentSteps(), 0x1C2C);
}

TEST_F(PaneWindowTest, RestoreWithoutAMouseOpensNoPanel) {
  LoadAndSelect();
  const int before = panelsShown;
  pane->actionButtonRestoreDefaults();
  EXPECT_EQ(panelsShown, before);
}

// --- Refresh key ----------------------------------------------------------------------

TEST_F(PaneWindowTest, F20RefreshesFromTheMouseAndIsSwallowed) {
  auto mouse = Plug();
  LoadAndSelect();
  int shortcuts = 0;
  QShortcut shortcut(QKeySequence(Qt::Key_F20), window.get());
  QObject::connect(&shortcut, &QShortcut::activated, [&] { ++shortcuts; });
  window->setFocus();
  mouse->SetFirmwareVersion(2, 1);
  const std::uint64_t sleptBefore = sleeper.Calls();
  QTest::keyPress(window.get(), Qt::Key_F20);
  EXPECT_EQ(pane->Outlets().tesselTextFirmwareVersion->text(), "2.01");
  EXPECT_GT(sleeper.Calls(), sleptBefore);
  EXPECT_EQ(window->presses, 0);
  EXPECT_EQ(shortcuts, 0);
  QTest::keyRelease(window.get(), Qt::Key_F20);  // key-up passes
  EXPECT_EQ(window->releases, 1);
}

TEST_F(PaneWindowTest, OtherKeysPassOnWithoutTalkingToTheMouse) {
  auto mouse = Plug();
  LoadAndSelect();
  window->setFocus();
  mouse->ClearTraffic();
  QTest::keyClick(window.get(), Qt::Key_F19);
  QTest::keyClick(window.get(), Qt::Key_Z);  // 'Z' is 90 in other key code tables
  EXPECT_EQ(window->presses, 2);
  EXPECT_EQ(mouse->RequestCount(), 0u);
  EXPECT_EQ(KeyCodeOf(QKeyEvent(QEvent::KeyPress, Qt::Key_F20, Qt::NoModifier)), 90);
}

TEST_F(PaneWindowTest, TheInterceptionFollowsSelection) {
  auto mouse = Plug();
  EXPECT_FALSE(KorvidTesselNSAppPatchInstalled());
  LoadAndSelect();
  EXPECT_TRUE(KorvidTesselNSAppPatchInstalled());
  pane->willUnselect();
  EXPECT_FALSE(KorvidTesselNSAppPatchInstalled());
  window->setFocus();
  QTest::keyClick(window.get(), Qt::Key_F20);
  EXPECT_EQ(window->presses, 1);  // reaches the host unchanged
  Select();
  EXPECT_TRUE(KorvidTesselNSAppPatchInstalled());
}

// --- Key window, help and support -----------------------------------------------------

TEST_F(PaneWindowTest, AWindowBecomingKeyReReadsTheMouseOnlyWhileSelected) {
  auto mouse = Plug();
  LoadAndSelect();
  mouse->SetFirmwareVersion(3, 4);
  emit App().focusWindowChanged(window->windowHandle());
  EXPECT_EQ(pane->Outlets().tesselTextFirmwareVersion->text(), "3.04");
  pane->willUnselect();
  mouse->ClearTraffic();
  emit App().focusWindowChanged(window->windowHandle());
  EXPECT_EQ(mouse->RequestCount(), 0u);
}

TEST_F(PaneWindowTest, HelpOpensTheBundlesHelpPageAndTheSupportButtonTheSite) {
  pane->actionButtonHelp();
  pane->actionButtonCheckUpdates();
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0], QUrl::fromLocalFile(QString::fromStdString((root / "bundle/Resources/Help/index.html").string())));
  EXPECT_EQ(opened[1], QUrl(kSupportSiteURL));
  EXPECT_TRUE(pane->Outlets().tesselTextOpenFailed->isHidden());
  // No browser: the window says what to open.
  pane->Environment().openUrl = [](const QUrl&) { return false; };
  pane->actionButtonCheckUpdates();
  EXPECT_FALSE(pane->Outlets().tesselTextOpenFailed->isHidden());
  EXPECT_TRUE(pane->Outlets().tesselTextOpenFailed->text().endsWith(kSupportSiteURL));
  pane->Environment().openUrl = [this](const QUrl& url) {
    opened.push_back(url);
    return true;
  };
  fs::remove(root / "bundle/Resources/Help/index.html");
  pane->actionButtonHelp();
  EXPECT_EQ(opened.size(), 2u);  // a missing page opens nothing
}

// --- Only what the mouse said -------------------------------------------------------

TEST_F(PaneWindowTest, AMouseThatDoesNotAnswerShowsNoValueOfItsOwnUntilItAnswers) {
  auto mouse = Plug(0x1C2C);  // X 800, Y 1200
  mouse->SetFirmwareVersion(1, 10);
  mouse->SetWorkingPolls(1 << 30);  // it takes every request and never finishes one
  LoadAndSelect();
  EXPECT_EQ(panelsShown, 0);  // a mouse is there
  const auto& o = pane->Outlets();
  EXPECT_TRUE(o.tesselBoxEmptyState->isVisibleTo(view));
  EXPECT_TRUE(o.tesselTextEmptyState->text().contains("does not answer"));
  EXPECT_EQ(o.tesselTextStatus->text(),
            QString::fromUtf8(kStatusNotAnswering).arg("firmware version", StatusInWords(kCommandFailed)));
  EXPECT_TRUE(o.tesselTextStatus->text().contains("did not complete the request (error -6902)"));
  // None of the getters' zeros: no "100 DPI", "0.00", 125 Hz or lights, and nothing to set.
  EXPECT_EQ(o.tesselTextDPI->text(), "-");
  EXPECT_EQ(o.tesselTextFirmwareVersion->text(), "-");
  for (QWidget* control : std::initializer_list<QWidget*>{o.tesselSliderSensitivityX, o.tesselSpinDpiX, o.tesselBoxIndependentXY,
                                                          o.tesselMenuPollingRate, o.tesselBoxLightOnWheel,
                                                          o.tesselButtonRestoreDefaults, o.tesselBoxAcceleration}) {
    EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
  }
  EXPECT_FALSE(o.tesselSliderSensitivityX->isVisibleTo(view));
  EXPECT_FALSE(o.tesselMenuPollingRate->isVisibleTo(view));
  EXPECT_FALSE(pane->FirstCapturedDevice()->stateRead);

  // The refresh key asks again; still no answer, still nothing shown.
  mouse->ClearTraffic();
  QKeyEvent f20(QEvent::KeyPress, Qt::Key_F20, Qt::NoModifier);
  EXPECT_TRUE(pane->ReceiveKeystroke(f20));
  EXPECT_GT(mouse->RequestCount(), 0u);
  EXPECT_EQ(o.tesselTextDPI->text(), "-");

  // It answers: the window comes to the front and shows what it said.
  mouse->SetWorkingPolls(0);
  emit App().focusWindowChanged(window->windowHandle());
  EXPECT_FALSE(o.tesselBoxEmptyState->isVisibleTo(view));
  EXPECT_TRUE(o.tesselTextStatus->isHidden());
  EXPECT_EQ(o.tesselTextDPI->text(), "X = 800,  Y = 1200 DPI");
  EXPECT_EQ(o.tesselSpinDpiY->value(), 1200);
  EXPECT_EQ(o.tesselTextFirmwareVersion->text(), "1.10");
  EXPECT_TRUE(o.tesselMenuPollingRate->isEnabled());

  // A read that fails later takes the shown values away again.
  mouse->InjectFailedReads(1 << 30, kIOReturnNotResponding);
  EXPECT_TRUE(pane->ReceiveKeystroke(f20));
  EXPECT_EQ(o.tesselTextDPI->text(), "-");
  EXPECT_FALSE(o.tesselMenuPollingRate->isEnabled());
  EXPECT_EQ(o.tesselTextStatus->text(), "The mouse did not answer when its firmware version was read: the mouse did "
                                         "not answer in time (error -6911).");
  mouse->InjectFailedReads(0, kIOReturnNotResponding);
}

TEST_F(PaneWindowTest, AChangeThatDoesNotReachTheMouseReturnsToWhatTheMouseConfirmed) {
  auto mouse = Plug();  // 1800 DPI, code 2 (500 Hz), lights as shipped
  LoadAndSelect();
  const auto& o = pane->Outlets();
  const bool wheel = o.tesselBoxLightOnWheel->isChecked();
  mouse->InjectFailedWrites(1 << 30, kIOReturnNotResponding);
  Release(o.tesselSliderSensitivityX, 2400);
  EXPECT_EQ(mouse->CurrentSteps(), 0x4444);
  EXPECT_EQ(o.tesselSliderSensitivityX->value(), 1800);
  EXPECT_EQ(o.tesselSpinDpiX->value(), 1800);
  EXPECT_EQ(o.tesselTextDPI->text(), "1800 DPI");
  EXPECT_EQ(o.tesselTextStatus->text(), QString::fromUtf8(kStatusWriteFailed).arg(StatusInWords(kIOReturnNotResponding)));
  EXPECT_TRUE(o.tesselTextStatus->text().contains("did not answer in time (error 0xE00002ED)"));
  ChoosePolling(2);
  EXPECT_EQ(o.tesselMenuPollingRate->currentIndex(), 1);
  ClickBox(o.tesselBoxLightOnWheel);
  EXPECT_EQ(o.tesselBoxLightOnWheel->isChecked(), wheel);
  // A mouse that takes no request cannot be read either: after the restore it is not answering.
  WithPanelAnswer(true, [&] { QTest::mouseClick(o.tesselButtonRestoreDefaults, Qt::LeftButton); });
  EXPECT_TRUE(o.tesselTextRestoreDone->text().startsWith("The factory settings did not reach the mouse"));
  EXPECT_EQ(o.tesselTextDPI->text(), "-");
  EXPECT_FALSE(o.tesselButtonRestoreDefaults->isEnabled());

  // It answers again; a typed number that reaches the mouse shows as the step it became.
  mouse->InjectFailedWrites(0, kIOReturnNotResponding);
  QKeyEvent f20(QEvent::KeyPress, Qt::Key_F20, Qt::NoModifier);
  EXPECT_TRUE(pane->ReceiveKeystroke(f20));
  EXPECT_EQ(o.tesselTextDPI->text(), "1800 DPI");
  o.tesselSpinDpiX->setValue(2013);
  EXPECT_EQ(mouse->CurrentSteps(), 0x4D4D);  // 2025 DPI, the nearest step
  EXPECT_EQ(o.tesselSpinDpiX->value(), 2025);
  EXPECT_EQ(o.tesselSliderSensitivityX->value(), 2025);
  EXPECT_EQ(o.tesselTextDPI->text(), "2025 DPI");
  EXPECT_TRUE(o.tesselTextStatus->isHidden());
  WithPanelAnswer(true, [&] { QTest::mouseClick(o.tesselButtonRestoreDefaults, Qt::LeftButton); });
  EXPECT_EQ(o.tesselTextRestoreDone->text(), QString::fromUtf8(kRestoreDone));
  EXPECT_EQ(o.tesselSpinDpiX->value(), 1800);

  // Two changes on the wire: the first fails and the controls go back, the second, taken
  // after it, shows again.
  ManualDeviceExecutor& wire = HoldDeviceWork();
  const bool wheelNow = o.tesselBoxLightOnWheel->isChecked();
  ChoosePolling(2);
  ClickBox(o.tesselBoxLightOnWheel);
  mouse->InjectFailedWrites(1 << 30, kIOReturnNotResponding);
  ASSERT_TRUE(wire.RunNext());
  EXPECT_EQ(o.tesselMenuPollingRate->currentIndex(), 1);
  EXPECT_EQ(o.tesselBoxLightOnWheel->isChecked(), wheelNow);
  mouse->InjectFailedWrites(0, kIOReturnNotResponding);
  wire.RunAll();
  EXPECT_EQ(o.tesselBoxLightOnWheel->isChecked(), !wheelNow);
  EXPECT_EQ(o.tesselMenuPollingRate->currentIndex(), 1);
  EXPECT_TRUE(o.tesselTextStatus->isHidden());
}

}  // namespace
}  // namespace korvid
