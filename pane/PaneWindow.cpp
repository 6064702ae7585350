// SPDX-License-Identifier: MIT
// The pane controller's life in its host: load, selection and unselection, the working
// copy of the settings domain, the panels and the restore-defaults dialogue.
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGuiApplication>
#include <QWindow>
#include <QLabel>
#include <QPushButton>
#include <QPlainTextEdit>
#include <QSlider>
#include <QSpinBox>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <cstdio>

#include "pane/KeyInterception.h"
#include "pane/KorvidTesselPane.h"
#include "pane/KorvidTesselSlider.h"
#include "pane/messages/ControlMessages.h"
#include "platform/FourCC.h"
#include "platform/Identity.h"
#include "protocol/Settings.h"
#include "protocol/Units.h"
#include "strings/PString.h"
#include "ui_KorvidTesselPane.h"

namespace korvid {
namespace {

constexpr const char* kHelperBundleName = "KorvidTesselHelper.app";
// How often the helper and driver status is looked at while the pane is shown.
constexpr int kBackgroundCheckMilliseconds = 2000;

// "Korvid Tessel at 0x01230000": a mouse's name and location, for the chooser.
std::string DeviceTitle(const CapturedDeviceInfo& info) {
  char location[16];
  std::snprintf(location, sizeof location, "0x%08X", info.locationID);
  return std::string("Korvid Tessel at ") + location;
}

const Str255& HelperName() {
  static const Str255 name = MakeStr255(kHelperProcessName);
  return name;
}

}  // namespace

void KorvidTesselPane::SetEnvironment(PaneEnvironment environment) { fEnvironment = std::move(environment); }

QWidget* KorvidTesselPane::LoadMainView(QWidget* parent) {
  auto* view = new QWidget(parent);
  Ui::KorvidTesselPaneView form;
  form.setupUi(view);
  fMainView = view;

  fOutlets.tesselTabsMain = form.tesselTabsMain;
  fOutlets.tesselTextDPI = form.tesselTextDPI;
  fOutlets.tesselTextXLabel = form.tesselTextXLabel;
  fOutlets.tesselTextYLabel = form.tesselTextYLabel;
  fOutlets.tesselSliderSensitivityX = form.tesselSliderSensitivityX;
  fOutlets.tesselSliderSensitivityY = form.tesselSliderSensitivityY;
  fOutlets.tesselBoxIndependentXY = form.tesselBoxIndependentXY;
  fOutlets.tesselBoxAcceleration = form.tesselBoxAcceleration;
  fOutlets.tesselSliderAcceleration = form.tesselSliderAcceleration;
  fOutlets.tesselMenuPollingRate = form.tesselMenuPollingRate;
  fOutlets.tesselBoxLightOnWheel = form.tesselBoxLightOnWheel;
  fOutlets.tesselBoxLightOnBattery = form.tesselBoxLightOnBattery;
  fOutlets.tesselTextDriverVersion = form.tesselTextDriverVersion;
  fOutlets.tesselTextFirmwareVersion = form.tesselTextFirmwareVersion;
  fOutlets.tesselButtonRestoreDefaults = form.tesselButtonRestoreDefaults;
  fOutlets.tesselPanelRestore = form.tesselPanelRestore;
  fOutlets.tesselPanelNoDevice = form.tesselPanelNoDevice;
  fOutlets.tesselMenuDevice = form.tesselMenuDevice;
  fOutlets.tesselTextStatus = form.tesselTextStatus;
  fOutlets.tesselTextBackground = form.tesselTextBackground;
  fOutlets.tesselTextCurvePath = form.tesselTextCurvePath;
  fOutlets.tesselTextDesktopAcceleration = form.tesselTextDesktopAcceleration;
  fOutlets.tesselButtonDesktopFlat = form.tesselButtonDesktopFlat;
  fOutlets.tesselBoxEmptyState = form.tesselBoxEmptyState;
  fOutlets.tesselTextEmptyState = form.tesselTextEmptyState;
  fOutlets.tesselTextPermissionCommands = form.tesselTextPermissionCommands;
  fOutlets.tesselSpinDpiX = form.tesselSpinDpiX;
  fOutlets.tesselSpinDpiY = form.tesselSpinDpiY;
  fOutlets.tesselTextAcceleration = form.tesselTextAcceleration;
  fOutlets.tesselTextRestoreDone = form.tesselTextRestoreDone;
  fOutlets.tesselTextOpenFailed = form.tesselTextOpenFailed;
  fSensitivityPage = form.tabSensitivity;
  fMousePage = form.tabMouse;
  for (QWidget* page : {form.tabSensitivity, form.tabMouse}) {
    auto* note = new QLabel(QString::fromUtf8(kPageNoMouse), page);
    note->setObjectName(page->objectName() + QStringLiteral("NoMouse"));
    note->setAlignment(Qt::AlignCenter);
    note->setWordWrap(true);
    note->setEnabled(false);
    // At the top of the page: in the place of the DPI heading, which is hidden with it.
    if (auto* grid = qobject_cast<QGridLayout*>(page->layout())) {
      grid->addWidget(note, 0, 0, 1, grid->columnCount());
    } else if (auto* rows = qobject_cast<QFormLayout*>(page->layout())) {
      rows->insertRow(0, note);
    }
    fPageNotes.emplace_back(note);
  }
  fSensitivityLabelSlow2 = form.labelSlow2;
  fSensitivityLabelFast2 = form.labelFast2;
  fOutlets.tesselTextRestoreDone->setVisible(false);
  fOutlets.tesselTextOpenFailed->setVisible(false);
  fOutlets.tesselBoxEmptyState->setVisible(false);
  // Shown once there is something to say: the reads arrive after selection.
  fOutlets.tesselTextCurvePath->setVisible(false);
  fOutlets.tesselTextDesktopAcceleration->setVisible(false);
  fOutlets.tesselButtonDesktopFlat->setVisible(false);
  fOutlets.tesselButtonDesktopFlat->setText(QString::fromUtf8(kButtonDesktopFlat));
  form.labelDevice->setBuddy(fOutlets.tesselMenuDevice);
  fOutlets.tesselMenuDevice->setVisible(false);
  form.labelDevice->setVisible(false);
  fDeviceLabel = form.labelDevice;

  // One range for both sliders, their end labels and the command line.
  for (QSlider* slider : {static_cast<QSlider*>(fOutlets.tesselSliderSensitivityX), static_cast<QSlider*>(fOutlets.tesselSliderSensitivityY)}) {
    slider->setRange(static_cast<int>(kTesselMinDpi), static_cast<int>(kTesselMaxDpi));
  }
  for (QSpinBox* spin : {fOutlets.tesselSpinDpiX, fOutlets.tesselSpinDpiY}) {
    spin->setRange(static_cast<int>(kTesselMinDpi), static_cast<int>(kTesselMaxDpi));
    spin->setSingleStep(static_cast<int>(kTesselDpiPerStep));
  }
  for (QLabel* label : {form.labelSlow1, form.labelSlow2}) label->setText(QStringLiteral("%1 DPI").arg(kTesselMinDpi));
  for (QLabel* label : {form.labelFast1, form.labelFast2}) label->setText(QStringLiteral("%1 DPI").arg(kTesselMaxDpi));

  // The panels are sheets of the window that shows the main view.
  for (QDialog* panel : {fOutlets.tesselPanelRestore, fOutlets.tesselPanelNoDevice}) {
    panel->setWindowFlag(Qt::Sheet);
    panel->setWindowModality(Qt::WindowModal);
    panel->hide();
  }

  // Actions. Only the user's own changes trigger them; the display's updates do not.
  connect(fOutlets.tesselTabsMain, &QTabWidget::currentChanged, this, &KorvidTesselPane::tabViewDidSelectTabViewItem);
  connect(fOutlets.tesselSliderSensitivityX, &QSlider::valueChanged, this, &KorvidTesselPane::actionSliderSensitivityX);
  connect(fOutlets.tesselSliderSensitivityY, &QSlider::valueChanged, this, &KorvidTesselPane::actionSliderSensitivityY);
  for (KorvidTesselSlider* slider : {fOutlets.tesselSliderSensitivityX, fOutlets.tesselSliderSensitivityY}) {
    connect(slider, &KorvidTesselSlider::valueCommitted, this, &KorvidTesselPane::UpdateDpiOnMouse);
  }
  connect(fOutlets.tesselSpinDpiX, &QSpinBox::valueChanged, this, &KorvidTesselPane::actionSpinDpiX);
  connect(fOutlets.tesselSpinDpiY, &QSpinBox::valueChanged, this, &KorvidTesselPane::actionSpinDpiY);
  // The acceleration's number follows the slider while it is dragged; the value is sent
  // when it is let go.
  connect(fOutlets.tesselSliderAcceleration, &QSlider::sliderMoved, this, [this](int position) {
    const float a = SliderValueToAcceleration(static_cast<float>(position) / kAccelerationSliderScale);
    fOutlets.tesselTextAcceleration->setText(QString::number(static_cast<double>(a), 'f', 2));
  });
  connect(fOutlets.tesselBoxIndependentXY, &QCheckBox::clicked, this, &KorvidTesselPane::actionBoxIndependentXY);
  connect(fOutlets.tesselMenuPollingRate, &QComboBox::activated, this, &KorvidTesselPane::actionMenuPollingRate);
  connect(fOutlets.tesselBoxLightOnWheel, &QCheckBox::clicked, this, &KorvidTesselPane::actionBoxLightOnWheel);
  connect(fOutlets.tesselBoxLightOnBattery, &QCheckBox::clicked, this, &KorvidTesselPane::actionBoxLightOnBattery);
  connect(fOutlets.tesselSliderAcceleration, &QSlider::valueChanged, this, &KorvidTesselPane::actionSliderAcceleration);
  connect(fOutlets.tesselBoxAcceleration, &QCheckBox::clicked, this, &KorvidTesselPane::actionBoxAcceleration);
  connect(fOutlets.tesselButtonRestoreDefaults, &QPushButton::clicked, this, &KorvidTesselPane::actionButtonRestoreDefaults);
  connect(form.tesselButtonHelp, &QPushButton::clicked, this, &KorvidTesselPane::actionButtonHelp);
  connect(form.tesselButtonCheckUpdates, &QPushButton::clicked, this, &KorvidTesselPane::actionButtonCheckUpdates);
  connect(form.tesselPanelRestoreOK, &QPushButton::clicked, this, &KorvidTesselPane::actionButtonModalOK);
  connect(form.tesselPanelRestoreCancel, &QPushButton::clicked, this, &KorvidTesselPane::actionButtonModalCancel);
  connect(form.tesselPanelNoDeviceOK, &QPushButton::clicked, this, &KorvidTesselPane::actionButtonModalOK);
  connect(fOutlets.tesselMenuDevice, &QComboBox::activated, this, &KorvidTesselPane::actionMenuDevice);
  connect(fOutlets.tesselButtonDesktopFlat, &QPushButton::clicked, this, &KorvidTesselPane::actionButtonDesktopFlat);
  fQueues.OnBusyChanged([this](const UsbDeviceInterface*, bool, DeviceQueues::Kind) { DeviceBusyChanged(); });
  return view;
}

void KorvidTesselPane::mainViewDidLoad() {
  gKorvidTesselPane = this;
  fCapturedDeviceCount = 0;
  fCapturedDeviceList.clear();
  fBluetoothWarningDone = false;

  const std::filesystem::path resources = fEnvironment.bundle.ResourcesFolder();
  const std::string helperPath = resources.empty() ? std::string() : (resources / kHelperBundleName).string();

  // Start the helper unless this session's runs already.
  if (!HelperRunning() && fEnvironment.launchApplication && !helperPath.empty()) {
    fEnvironment.launchApplication(helperPath);
  }
  // Registered at every load, whether or not the helper was running.
  if (fEnvironment.addLoginItem && !helperPath.empty()) fEnvironment.addLoginItem(helperPath);

  if (fOutlets.tesselTabsMain != nullptr) fOutlets.tesselTabsMain->setCurrentIndex(0);

  std::optional<std::string> version = fEnvironment.bundle.InfoString("CFBundleShortVersionString");
  if (!version) version = fEnvironment.bundle.InfoString("CFBundleVersion");
  if (version && fOutlets.tesselTextDriverVersion != nullptr) fOutlets.tesselTextDriverVersion->setText(QString::fromStdString(*version));

  UpdateUI();
}

void KorvidTesselPane::didSelect() {
  if (!fUserDefaults) {
    PropertyList domain;
    const OSStatus status = fEnvironment.preferences
                                ? fEnvironment.preferences->PersistentDomain(kSettingsDomain, domain)
                                : fnfErr;
    if (status == noErr && domain.IsDictionary()) {
      fUserDefaults = std::move(domain);
    } else {
      // No domain, or one that cannot be read: the defaults, written whole at unselection.
      fUserDefaults = PropertyList::NewDictionary();
      fUserDefaults->SetFloat("acceleration", kDefaultAcceleration);
      fUserDefaults->SetFloat("lastAcceleration", kDefaultLastAcceleration);
    }
  }

  // Any window of the application that becomes the key window re-reads the mouse.
  if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    QObject::disconnect(fKeyWindowConnection);
    fKeyWindowConnection = connect(application, &QGuiApplication::focusWindowChanged, this,
                                   &KorvidTesselPane::sysPrefWindowDidBecomeKey);
  }

  StartHandlingDevices();
  KorvidTesselSwapNSAppMethods();

  // The helper, the driver and the desktop's settings change on their own: their status
  // lines follow.
  if (fBackgroundTimer == nullptr) {
    fBackgroundTimer = new QTimer(this);
    fBackgroundTimer->setInterval(kBackgroundCheckMilliseconds);
    connect(fBackgroundTimer, &QTimer::timeout, this, &KorvidTesselPane::UpdateBackgroundStatus);
    connect(fBackgroundTimer, &QTimer::timeout, this, &KorvidTesselPane::RefreshPointerStatus);
  }
  UpdateBackgroundStatus();
  RefreshPointerStatus();
  fBackgroundTimer->start();

  if (!fBluetoothWarningDone) {
    fBluetoothWarningDone = true;
    // A mouse this account may not open is not "no mouse": the status line tells the fix.
    if (fCapturedDeviceCount == 0 && fRefusedServices.empty() && fOutlets.tesselPanelNoDevice != nullptr) {
      RunPanelDialogue(fOutlets.tesselPanelNoDevice);
    }
  }
}

void KorvidTesselPane::willUnselect() {
  KorvidTesselSwapNSAppMethods();
  StopHandlingDevices();
  QObject::disconnect(fKeyWindowConnection);
  fKeyWindowConnection = {};
  if (fBackgroundTimer != nullptr) fBackgroundTimer->stop();

  if (fUserDefaults) {
    SaveUserDefaults();
    fUserDefaults.reset();
  }
}

void KorvidTesselPane::sysPrefWindowDidBecomeKey(QWindow* window) {
  if (window == nullptr) return;  // no window of the application is key any more
  GetDeviceState(CurrentDevice());
  UpdateUI();
  UpdateBackgroundStatus();
  RefreshPointerStatus();
}

void KorvidTesselPane::tabViewDidSelectTabViewItem(int /*index*/) {}

int KorvidTesselPane::RunPanelDialogue(QDialog* panel) {
  if (panel == nullptr) return 0;
  if (fMainView != nullptr && panel->parentWidget() != fMainView->window() && panel->parentWidget() == nullptr) {
    panel->setParent(fMainView->window(), panel->windowFlags());
  }
  panel->setWindowModality(Qt::WindowModal);
  QPointer<QDialog> previous = fRunningPanel;
  fRunningPanel = panel;
  const int code = panel->exec();
  fRunningPanel = previous;
  panel->hide();
  return code;
}

void KorvidTesselPane::actionButtonModalOK() {
  if (fRunningPanel != nullptr) fRunningPanel->done(1);
}

void KorvidTesselPane::actionButtonModalCancel() {
  if (fRunningPanel != nullptr) fRunningPanel->done(0);
}

void KorvidTesselPane::actionButtonRestoreDefaults() {
  CapturedDeviceRec* shown = CurrentDevice();
  if (shown == nullptr) return;
  // The mouse shown when the panel opened; devices come and go while it is open.
  const std::shared_ptr<UsbDeviceInterface> device = shown->device;
  if (RunPanelDialogue(fOutlets.tesselPanelRestore) != 1) return;
  CapturedDeviceRec* record = FindCapturedDevice(device.get());
  if (record == nullptr) return;  // that mouse has gone: nothing to restore

  SendAcceleration(0.0f);
  StoreFloat("acceleration", 0.0f);
  StoreFloat("lastAcceleration", 1.0f);
  SaveUserDefaults();

  if (fOutlets.tesselTextRestoreDone != nullptr) fOutlets.tesselTextRestoreDone->setVisible(false);
  QueueWrite(
      record, DeviceQueues::Kind::kWrite,
      [&sleeper = fSleeper](UsbDeviceInterface* mouse) { return KorvidTesselRestoreDefaultSettings(mouse, sleeper); },
      [](CapturedDeviceState&) {},  // what the mouse holds now comes with the read below
      [this](OSStatus status) {
        if (fOutlets.tesselTextRestoreDone == nullptr) return;
        fOutlets.tesselTextRestoreDone->setText(status == noErr ? QString::fromUtf8(kRestoreDone)
                                                                : QString::fromUtf8(kRestoreFailed).arg(StatusInWords(status)));
        fOutlets.tesselTextRestoreDone->setVisible(true);
      });
  GetDeviceState(record);
  UpdateUI();
}

void KorvidTesselPane::SaveUserDefaults() {
  // One atomic replacement of the whole domain: a crash leaves the old or the new one,
  // never none.
  if (fUserDefaults && fEnvironment.preferences) {
    fEnvironment.preferences->SetPersistentDomain(kSettingsDomain, *fUserDefaults);
  }
}

void KorvidTesselPane::QueueWrite(CapturedDeviceRec* record, DeviceQueues::Kind kind,
                                  std::function<OSStatus(UsbDeviceInterface*)> work,
                                  std::function<void(CapturedDeviceState&)> confirm,
                                  std::function<void(OSStatus)> reported) {
  if (record == nullptr || !record->device) return;
  ++record->changes;
  std::shared_ptr<UsbDeviceInterface> device = record->device;
  auto status = std::make_shared<OSStatus>(noErr);
  fQueues.Enqueue(
      device, kind, [device, status, work = std::move(work)] { *status = work(device.get()); },
      [this, device, status, confirm = std::move(confirm), reported = std::move(reported)] {
        WriteDone(device, *status, confirm);
        if (reported) reported(*status);
      });
}

void KorvidTesselPane::WriteDone(const std::shared_ptr<UsbDeviceInterface>& device, OSStatus status,
                                 const std::function<void(CapturedDeviceState&)>& confirm) {
  CapturedDeviceRec* record = FindCapturedDevice(device.get());
  if (record == nullptr) return;
  if (status == noErr) {
    confirm(record->confirmed);
    // After a change that failed the controls show the confirmed settings; a change queued
    // before that failure and taken since shows there too.
    if (record->writeStatus != noErr) confirm(record->state);
    record->writeStatus = noErr;
  } else {
    // The controls go back to what the mouse last confirmed, and say so.
    record->writeStatus = status;
    record->state = record->confirmed;
  }
  UpdateUI();
}

void KorvidTesselPane::actionMenuDevice() {
  if (fOutlets.tesselMenuDevice == nullptr) return;
  const int index = fOutlets.tesselMenuDevice->currentIndex();
  if (index < 0 || index >= static_cast<int>(fCapturedDeviceList.size())) return;
  auto record = fCapturedDeviceList.begin();
  std::advance(record, index);
  ChooseDevice(record->device.get());
}

void KorvidTesselPane::UpdateDeviceChooser() {
  if (fOutlets.tesselMenuDevice == nullptr) return;
  const bool several = fCapturedDeviceList.size() > 1;
  fOutlets.tesselMenuDevice->setVisible(several);
  if (fDeviceLabel != nullptr) fDeviceLabel->setVisible(several);
  QStringList titles;
  int current = -1;
  for (const CapturedDeviceRec& record : fCapturedDeviceList) {
    if (&record == CurrentDevice()) current = static_cast<int>(titles.size());
    titles.append(QString::fromStdString(DeviceTitle(record.info)));
  }
  const QSignalBlocker quiet(fOutlets.tesselMenuDevice);
  // Refilled only when the mice change, so an open menu is left alone.
  QStringList shown;
  for (int i = 0; i < fOutlets.tesselMenuDevice->count(); ++i) shown.append(fOutlets.tesselMenuDevice->itemText(i));
  if (shown != titles) {
    fOutlets.tesselMenuDevice->clear();
    fOutlets.tesselMenuDevice->addItems(titles);
  }
  fOutlets.tesselMenuDevice->setCurrentIndex(current);
}

void KorvidTesselPane::DeviceBusyChanged() {
  UpdateStatus();
  if (fMainView == nullptr) return;
  QWidget* window = fMainView->window();
  const CapturedDeviceRec* current = CurrentDevice();
  const bool busy = current != nullptr && fQueues.Busy(current->device.get());
  if (busy) {
    window->setCursor(Qt::BusyCursor);
  } else {
    window->unsetCursor();
  }
}

void KorvidTesselPane::UpdateStatus() {
  if (fOutlets.tesselTextStatus == nullptr) return;
  const CapturedDeviceRec* current = CurrentDevice();
  QString text;
  if (current != nullptr && fQueues.Busy(current->device.get())) {
    text = QString::fromUtf8(fQueues.Running(current->device.get()) == DeviceQueues::Kind::kRead ? kStatusReading
                                                                                                : kStatusSaving);
  } else if (current != nullptr && current->readStatus != noErr) {
    text = QString::fromUtf8(kStatusNotAnswering)
               .arg(QString::fromUtf8(current->readWhat), StatusInWords(current->readStatus));
  } else if (current != nullptr && current->writeStatus != noErr) {
    text = QString::fromUtf8(kStatusWriteFailed).arg(StatusInWords(current->writeStatus));
  }
  fOutlets.tesselTextStatus->setText(text);
  fOutlets.tesselTextStatus->setVisible(!text.isEmpty());
}

void KorvidTesselPane::UpdateBackgroundStatus() {
  if (fOutlets.tesselTextBackground == nullptr) return;
  const bool helper = HelperRunning();
  const bool driver = fEnvironment.driverReachable && fEnvironment.driverReachable();
  const QString text = QString::fromUtf8(helper ? kStatusHelperRunning : kStatusHelperStopped) + QLatin1Char('\n') +
                       QString::fromUtf8(driver ? kStatusDriverReachable : kStatusDriverMissing);
  if (fOutlets.tesselTextBackground->text() != text) fOutlets.tesselTextBackground->setText(text);
}

bool KorvidTesselPane::HelperRunning() {
  if (fEnvironment.processes == nullptr) return false;
  ProcessTable& processes = *fEnvironment.processes;
  ProcessSerialNumber psn{0, kNoProcess};
  ProcessName name{};
  const ConstPString helper = HelperName();
  // Helpers of other sessions (or a test's) may bear the name: only the one whose event
  // port is on this session's bus counts.
  while (processes.GetNextProcess(psn) == noErr) {
    if (processes.GetProcessName(psn, name) != noErr || PStringCmp(name, helper) != 0) continue;
    if (!fEnvironment.eventPortReachable || fEnvironment.eventPortReachable(psn.lowLongOfPSN)) return true;
  }
  return false;
}

void KorvidTesselPane::SendAcceleration(float value) {
  if (fEnvironment.processes == nullptr || fEnvironment.events == nullptr) return;
  SendControlToKext(*fEnvironment.processes, *fEnvironment.events, HelperName(), kKvSA,
                    AccelerationToFixed(value), nullptr);
}

float KorvidTesselPane::StoredFloat(const char* key, float fallback) const {
  if (!fUserDefaults || !fUserDefaults->IsDictionary()) return fallback;
  return fUserDefaults->GetFloat(key).value_or(fallback);
}

void KorvidTesselPane::StoreFloat(const char* key, float value) {
  if (fUserDefaults && fUserDefaults->IsDictionary()) fUserDefaults->SetFloat(key, value);
}

}  // namespace korvid
