// SPDX-License-Identifier: MIT
// The pane's controls and display: UpdateUI, the control actions, the acceleration scale
// and the refresh key.
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextDocument>
#include <QSpinBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QUrl>
#include <cmath>

#include "pane/KorvidTesselPane.h"
#include "pane/KorvidTesselSlider.h"
#include "protocol/Settings.h"

namespace korvid {
namespace {


void SetChecked(QCheckBox* box, bool on) {
  if (box == nullptr) return;
  const QSignalBlocker quiet(box);
  box->setChecked(on);
}

void SetSliderValue(QSlider* slider, int value) {
  if (slider == nullptr) return;
  const QSignalBlocker quiet(slider);
  slider->setValue(value);
}

void SetEnabled(QWidget* widget, bool enabled) {
  if (widget != nullptr) widget->setEnabled(enabled);
}

void SetSpinValue(QSpinBox* spin, int value) {
  if (spin == nullptr) return;
  const QSignalBlocker quiet(spin);
  spin->setValue(value);
}

void SetShown(QWidget* widget, bool shown) {
  if (widget != nullptr && widget->isHidden() == shown) widget->setVisible(shown);
}

QString AccelerationText(float acceleration) {
  return acceleration == 0.0f ? QStringLiteral("Off") : QString::number(static_cast<double>(acceleration), 'f', 2);
}

int AccelerationSliderPosition(float sliderValue) {
  return static_cast<int>(std::lround(static_cast<double>(sliderValue) * kAccelerationSliderScale));
}

}  // namespace

float SliderValueToAcceleration(float sliderValue) {
  const double s = sliderValue;
  if (s < 1.0) return 0.0f;
  if (s > 10.0) return 0.0f;
  if (s < 5.0) return static_cast<float>(s * 0.2 - 0.1);
  return static_cast<float>((s - 5.0) * 0.2 + 1.0);
}

float AccelerationToSliderValue(float acceleration) {
  const double a = acceleration;
  if (a < 0.1) return 5.0f;
  if (a > 2.0) return 5.0f;
  if (a < 1.0) return static_cast<float>((a + 0.1) / 0.2);
  return static_cast<float>((a - 1.0) / 0.2 + 5.0);
}

std::uint16_t KeyCodeOf(const QKeyEvent& event) {
  // Virtual key codes of the keys the pane cares about; every other key is unknown.
  if (event.key() == Qt::Key_F20) return kRefreshKeyCode;
  return 0xFFFF;
}

QString StatusInWords(OSStatus status) {
  const char* words = nullptr;
  switch (status) {
    case kCommandBusyTimeout:
    case kIOReturnTimeout:
    case kIOReturnNotResponding:
      words = "the mouse did not answer in time";
      break;
    case kCommandFailed:
      words = "the mouse did not complete the request";
      break;
    case kIOReturnNoDevice:
      words = "the mouse is no longer connected";
      break;
    case kIOReturnNotPrivileged:
    case kIOReturnNotPermitted:
      words = "this account may not use the mouse";
      break;
    case kIOReturnBusy:
    case kIOReturnExclusiveAccess:
      words = "another program is using the mouse";
      break;
    case kIOReturnUnsupported:
      words = "the mouse does not take this request";
      break;
    case kIOReturnIOError:
    case ioErr:
      words = "the transfer over USB failed";
      break;
    case paramErr:
    case kIOReturnBadArgument:
      words = "the request was malformed";
      break;
    default:
      words = "an unexpected error";
      break;
  }
  // The number as a bug report quotes it: I/O Kit's codes in hex, the others in decimal.
  const bool ioKit = (static_cast<std::uint32_t>(status) & 0xFFFFFF00u) == 0xE0000200u;
  const QString number = ioKit ? QStringLiteral("0x%1").arg(static_cast<std::uint32_t>(status), 8, 16, QLatin1Char('0')).toUpper().replace(QStringLiteral("0X"), QStringLiteral("0x"))
                               : QString::number(status);
  return QStringLiteral("%1 (error %2)").arg(QString::fromUtf8(words), number);
}

QString PermissionCommands(const std::string& rulePath) {
  // Single quotes keep the path one word (the bundle folder's name has a space).
  QString quoted = QString::fromStdString(rulePath);
  quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
  return QStringLiteral("sudo install -m 644 '%1' /etc/udev/rules.d/\nsudo udevadm control --reload\nsudo udevadm trigger")
      .arg(quoted);
}

void KorvidTesselPane::UpdateEmptyState(const CapturedDeviceRec* current) {
  if (fOutlets.tesselBoxEmptyState == nullptr) return;
  QString text;
  bool commands = false;
  if (current == nullptr && !fRefusedServices.empty()) {
    text = QString::fromUtf8(kEmptyNoAccess);
    commands = true;
  } else if (current == nullptr) {
    text = QString::fromUtf8(kEmptyNoMouse);
  } else if (current->readStatus != noErr) {
    text = QString::fromUtf8(kEmptyNotAnswering);
  }
  if (fOutlets.tesselTextEmptyState->text() != text) fOutlets.tesselTextEmptyState->setText(text);
  if (fOutlets.tesselTextPermissionCommands != nullptr) {
    const QString lines = PermissionCommands(fEnvironment.udevRulePath);
    if (commands && fOutlets.tesselTextPermissionCommands->toPlainText() != lines) {
      fOutlets.tesselTextPermissionCommands->setPlainText(lines);
      // Three lines and the scroll bar of a path wider than the window.
      QPlainTextEdit* box = fOutlets.tesselTextPermissionCommands;
      const QFontMetrics metrics(box->font());
      box->setFixedHeight(metrics.lineSpacing() * 3 + box->horizontalScrollBar()->sizeHint().height() +
                          2 * box->frameWidth() + 2 * static_cast<int>(box->document()->documentMargin()) + 4);
    }
    SetShown(fOutlets.tesselTextPermissionCommands, commands);
  }
  SetShown(fOutlets.tesselBoxEmptyState, !text.isEmpty());
}

void KorvidTesselPane::UpdateUI() {
  UpdateDeviceChooser();
  UpdateStatus();
  // Only what the mouse said is shown: a mouse whose settings have not arrived yet, or
  // whose last read failed, shows none, with the empty state saying why.
  CapturedDeviceRec* record = CurrentDevice();
  UpdateEmptyState(record);
  if (record != nullptr && (!record->stateRead || record->readStatus != noErr)) record = nullptr;
  const bool hasMouse = record != nullptr;
  const bool axesApart = hasMouse && record->state.independentXY != 0;

  // The mouse's own pages hold nothing that looks like a setting while there is none; the
  // Y row shows only while the axes are set apart.
  for (QWidget* page : {fSensitivityPage.data(), fMousePage.data()}) {
    if (page == nullptr) continue;
    for (QWidget* child : page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) SetShown(child, hasMouse);
  }
  for (const QPointer<QLabel>& note : fPageNotes) SetShown(note.data(), !hasMouse);
  for (QWidget* yRow : std::initializer_list<QWidget*>{fOutlets.tesselTextYLabel, fOutlets.tesselSliderSensitivityY,
                                                        fOutlets.tesselSpinDpiY, fSensitivityLabelSlow2.data(),
                                                        fSensitivityLabelFast2.data()}) {
    SetShown(yRow, axesApart);
  }
  SetEnabled(fOutlets.tesselSpinDpiX, hasMouse);
  SetEnabled(fOutlets.tesselSpinDpiY, axesApart);

  SetEnabled(fOutlets.tesselSliderSensitivityX, hasMouse);
  SetEnabled(fOutlets.tesselSliderSensitivityY, axesApart);
  SetEnabled(fOutlets.tesselBoxIndependentXY, hasMouse);
  SetEnabled(fOutlets.tesselBoxAcceleration, hasMouse);
  SetEnabled(fOutlets.tesselSliderAcceleration, hasMouse);
  SetEnabled(fOutlets.tesselMenuPollingRate, hasMouse);
  SetEnabled(fOutlets.tesselBoxLightOnWheel, hasMouse);
  SetEnabled(fOutlets.tesselBoxLightOnBattery, hasMouse);
  SetEnabled(fOutlets.tesselButtonRestoreDefaults, hasMouse);

  if (fOutlets.tesselTextXLabel != nullptr) fOutlets.tesselTextXLabel->setText(axesApart ? "X" : " ");
  if (fOutlets.tesselTextYLabel != nullptr) fOutlets.tesselTextYLabel->setText(axesApart ? "Y" : " ");

  UpdateDpiText();

  if (hasMouse) {
    const CapturedDeviceState& state = record->state;
    SetSliderValue(fOutlets.tesselSliderSensitivityX, state.sensitivityX);
    SetSliderValue(fOutlets.tesselSliderSensitivityY, state.sensitivityY);
    SetSpinValue(fOutlets.tesselSpinDpiX, state.sensitivityX);
    SetSpinValue(fOutlets.tesselSpinDpiY, state.sensitivityY);
    SetChecked(fOutlets.tesselBoxIndependentXY, state.independentXY != 0);
    const float acc = StoredFloat("acceleration", kDefaultAcceleration);
    const float last = StoredFloat("lastAcceleration", kDefaultLastAcceleration);
    SetChecked(fOutlets.tesselBoxAcceleration, acc != 0.0f);
    SetEnabled(fOutlets.tesselSliderAcceleration, acc != 0.0f);
    SetSliderValue(fOutlets.tesselSliderAcceleration,
                   AccelerationSliderPosition(AccelerationToSliderValue(acc != 0.0f ? acc : last)));
    if (fOutlets.tesselTextAcceleration != nullptr) fOutlets.tesselTextAcceleration->setText(AccelerationText(acc));
    if (fOutlets.tesselMenuPollingRate != nullptr) {
      const QSignalBlocker quiet(fOutlets.tesselMenuPollingRate);
      fOutlets.tesselMenuPollingRate->setCurrentIndex(PollingRateIndex(state.pollingRate));
    }
    SetChecked(fOutlets.tesselBoxLightOnWheel, state.lightOnWheel != 0);
    SetChecked(fOutlets.tesselBoxLightOnBattery, state.lightOnBattery != 0);
    if (fOutlets.tesselTextFirmwareVersion != nullptr) {
      fOutlets.tesselTextFirmwareVersion->setText(
          QString::fromStdString(FirmwareVersionText(state.firmwareVers)));
    }
  } else {
    SetSliderValue(fOutlets.tesselSliderSensitivityX, 1800);
    SetSliderValue(fOutlets.tesselSliderSensitivityY, 1800);
    SetSpinValue(fOutlets.tesselSpinDpiX, 1800);
    SetSpinValue(fOutlets.tesselSpinDpiY, 1800);
    if (fOutlets.tesselTextAcceleration != nullptr) fOutlets.tesselTextAcceleration->setText(QStringLiteral("-"));
    SetChecked(fOutlets.tesselBoxIndependentXY, false);
    SetChecked(fOutlets.tesselBoxAcceleration, false);
    SetSliderValue(fOutlets.tesselSliderAcceleration, AccelerationSliderPosition(AccelerationToSliderValue(1.0f)));
    if (fOutlets.tesselMenuPollingRate != nullptr) {
      const QSignalBlocker quiet(fOutlets.tesselMenuPollingRate);
      fOutlets.tesselMenuPollingRate->setCurrentIndex(2);
    }
    SetChecked(fOutlets.tesselBoxLightOnWheel, false);
    SetChecked(fOutlets.tesselBoxLightOnBattery, false);
    if (fOutlets.tesselTextFirmwareVersion != nullptr) fOutlets.tesselTextFirmwareVersion->setText("-");
  }
}

void KorvidTesselPane::UpdateDpiText() {
  if (fOutlets.tesselTextDPI == nullptr) return;
  const CapturedDeviceRec* record = CurrentDevice();
  if (record == nullptr || !record->stateRead || record->readStatus != noErr) {
    fOutlets.tesselTextDPI->setText("-");
  } else if (record->state.independentXY != 0) {
    fOutlets.tesselTextDPI->setText(
        QString::asprintf("X = %d,  Y = %d DPI", record->state.sensitivityX, record->state.sensitivityY));
  } else {
    fOutlets.tesselTextDPI->setText(QString::asprintf("%d DPI", record->state.sensitivityX));
  }
}

void KorvidTesselPane::UpdateDpiOnMouse() {
  CapturedDeviceRec* record = CurrentDevice();
  if (record == nullptr) return;
  const std::int32_t steps = DpiToSteps(record->state.sensitivityX, record->state.sensitivityY);
  QueueWrite(
      record, DeviceQueues::Kind::kDpi,
      [steps, &sleeper = fSleeper](UsbDeviceInterface* mouse) { return KorvidTesselSetDPIChecked(mouse, steps, 0, sleeper); },
      [steps](CapturedDeviceState& state) {
        const auto stepX = static_cast<std::uint8_t>(steps >> 8);
        const auto stepY = static_cast<std::uint8_t>(steps & 0xFF);
        state.sensitivityX = static_cast<std::uint16_t>(StepToDpi(stepX));
        state.sensitivityY = static_cast<std::uint16_t>(StepToDpi(stepY));
      });
}

void KorvidTesselPane::actionSliderSensitivityX() {
  CapturedDeviceRec* record = CurrentDevice();
  if (record == nullptr || fOutlets.tesselSliderSensitivityX == nullptr) return;
  record->state.sensitivityX = static_cast<std::uint16_t>(fOutlets.tesselSliderSensitivityX->value());
  SetSpinValue(fOutlets.tesselSpinDpiX, record->state.sensitivityX);
  if (record->state.independentXY == 0) {
    record->state.sensitivityY = record->state.sensitivityX;
    SetSliderValue(fOutlets.tesselSliderSensitivityY, record->state.sensitivityY);
    SetSpinValue(fOutlets.tesselSpinDpiY, record->state.sensitivityY);
  }
  UpdateDpiText();
}

void KorvidTesselPane::actionSliderSensitivityY() {
  CapturedDeviceRec* record = CurrentDevice();
  if (record == nullptr || fOutlets.tesselSliderSensitivityY == nullptr) return;
  record->state.sensitivityY = static_cast<std::uint16_t>(fOutlets.tesselSliderSensitivityY->value());
  SetSpinValue(fOutlets.tesselSpinDpiY, record->state.sensitivityY);
  UpdateDpiText();
}

void KorvidTesselPane::SpinDpiDone(QSpinBox* spin, QSlider* slider) {
  if (spin == nullptr || slider == nullptr || CurrentDevice() == nullptr) return;
  // The mouse takes steps of 25: a typed number goes to the nearest step, and the box
  // shows the value sent.
  const int typed = spin->value();
  const int step = (typed - static_cast<int>(kTesselMinDpi) + 12) / 25;
  const int dpi = static_cast<int>(kTesselMinDpi) + step * 25;
  SetSpinValue(spin, dpi);
  if (slider->value() == dpi) return;
  slider->setValue(dpi);  // the slider's action stores it (and links Y)
  UpdateDpiOnMouse();
}

void KorvidTesselPane::actionSpinDpiX() {
  SpinDpiDone(fOutlets.tesselSpinDpiX, fOutlets.tesselSliderSensitivityX);
}

void KorvidTesselPane::actionSpinDpiY() {
  SpinDpiDone(fOutlets.tesselSpinDpiY, fOutlets.tesselSliderSensitivityY);
}

void KorvidTesselPane::actionBoxIndependentXY() {
  CapturedDeviceRec* record = CurrentDevice();
  if (record == nullptr || fOutlets.tesselBoxIndependentXY == nullptr) return;
  record->state.independentXY = fOutlets.tesselBoxIndependentXY->checkState() == Qt::Checked ? 1 : 0;
  if (record->state.independentXY == 0) {
    record->state.sensitivityY = record->state.sensitivityX;
    UpdateDpiOnMouse();
  }
  UpdateUI();
}

void KorvidTesselPane::actionMenuPollingRate() {
  CapturedDeviceRec* record = CurrentDevice();
  if (record == nullptr || fOutlets.tesselMenuPollingRate == nullptr) return;
  const auto index = static_cast<std::uint32_t>(fOutlets.tesselMenuPollingRate->currentIndex());
  if (index >= std::size(kPollingRates)) return;
  const std::int32_t code = kPollingRates[index].code;
  record->state.pollingRate = static_cast<std::uint16_t>(code);
  QueueWrite(
      record, DeviceQueues::Kind::kWrite,
      [code, &sleeper = fSleeper](UsbDeviceInterface* mouse) { return KorvidTesselSetPollingRateChecked(mouse, code, sleeper); },
      [code](CapturedDeviceState& state) { state.pollingRate = static_cast<std::uint16_t>(code); });
}

void KorvidTesselPane::QueueLight(CapturedDeviceRec* record, std::uint32_t bit, std::uint8_t on) {
  QueueWrite(
      record, DeviceQueues::Kind::kWrite,
      [bit, on, &sleeper = fSleeper](UsbDeviceInterface* mouse) { return KorvidTesselSetLedStateChecked(mouse, bit, on, sleeper); },
      [bit, on](CapturedDeviceState& state) { (bit == kWheelLightBit ? state.lightOnWheel : state.lightOnBattery) = on; });
}

void KorvidTesselPane::actionBoxLightOnWheel() {
  CapturedDeviceRec* record = CurrentDevice();
  if (record == nullptr || fOutlets.tesselBoxLightOnWheel == nullptr) return;
  record->state.lightOnWheel = fOutlets.tesselBoxLightOnWheel->checkState() == Qt::Checked ? 1 : 0;
  QueueLight(record, kWheelLightBit, record->state.lightOnWheel);
}

void KorvidTesselPane::actionBoxLightOnBattery() {
  CapturedDeviceRec* record = CurrentDevice();
  if (record == nullptr || fOutlets.tesselBoxLightOnBattery == nullptr) return;
  record->state.lightOnBattery = fOutlets.tesselBoxLightOnBattery->checkState() == Qt::Checked ? 1 : 0;
  QueueLight(record, kBatteryLightBit, record->state.lightOnBattery);
}

void KorvidTesselPane::actionSliderAcceleration() {
  if (fOutlets.tesselSliderAcceleration == nullptr) return;
  const float s = static_cast<float>(fOutlets.tesselSliderAcceleration->value()) / kAccelerationSliderScale;
  const float a = SliderValueToAcceleration(s);
  SendAcceleration(a);
  StoreFloat("acceleration", a);
  SaveUserDefaults();
  if (fOutlets.tesselTextAcceleration != nullptr) fOutlets.tesselTextAcceleration->setText(AccelerationText(a));
}

void KorvidTesselPane::actionBoxAcceleration() {
  if (fOutlets.tesselBoxAcceleration == nullptr) return;
  const bool on = fOutlets.tesselBoxAcceleration->checkState() == Qt::Checked;
  const float acc = StoredFloat("acceleration", kDefaultAcceleration);
  float value = 0.0f;
  if (on) {
    if (acc != 0.0f) {
      value = acc;
    } else {
      const float last = StoredFloat("lastAcceleration", 0.0f);
      value = last != 0.0f ? last : 1.0f;
    }
  } else if (acc != 0.0f) {
    StoreFloat("lastAcceleration", acc);
  }
  SendAcceleration(value);
  StoreFloat("acceleration", value);
  SaveUserDefaults();
  UpdateUI();
}

bool KorvidTesselPane::ReceiveKeystroke(const QKeyEvent& event) {
  if (KeyCodeOf(event) != kRefreshKeyCode) return false;
  GetDeviceState(CurrentDevice());
  UpdateUI();
  UpdateBackgroundStatus();
  RefreshPointerStatus();
  return true;
}

void KorvidTesselPane::actionButtonHelp() {
  const std::optional<std::filesystem::path> help = fEnvironment.bundle.PathForResource("index", "html", "Help");
  if (!help || !fEnvironment.openUrl) return;  // a missing help file opens nothing
  const QUrl url = QUrl::fromLocalFile(QString::fromStdString(help->string()));
  ShowOpenResult(fEnvironment.openUrl(url), url.toLocalFile());
}

void KorvidTesselPane::actionButtonCheckUpdates() {
  if (!fEnvironment.openUrl) return;
  const QUrl url(QString::fromLatin1(kSupportSiteURL));
  ShowOpenResult(fEnvironment.openUrl(url), url.toString());
}

void KorvidTesselPane::ShowOpenResult(bool opened, const QString& what) {
  if (fOutlets.tesselTextOpenFailed == nullptr) return;
  fOutlets.tesselTextOpenFailed->setText(opened ? QString() : QString::fromUtf8(kOpenFailed).arg(what));
  fOutlets.tesselTextOpenFailed->setVisible(!opened);
}

}  // namespace korvid
