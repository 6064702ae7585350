// SPDX-License-Identifier: MIT
// The pane's controls and display: UpdateUI, the control actions, the acceleration scale
// and the refresh key.
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLabel>
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

void KorvidTesselPane::UpdateUI() {
  UpdateDeviceChooser();
  UpdateStatus();
  // A mouse whose settings have not arrived yet shows as none, with its status line.
  CapturedDeviceRec* record = CurrentDevice();
  if (record != nullptr && !record->stateRead) record = nullptr;
  const bool hasMouse = record != nullptr;
  const bool axesApart = hasMouse && record->state.independentXY != 0;

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
    SetChecked(fOutlets.tesselBoxIndependentXY, state.independentXY != 0);
    const float acc = StoredFloat("acceleration", kDefaultAcceleration);
    const float last = StoredFloat("lastAcceleration", kDefaultLastAcceleration);
    SetChecked(fOutlets.tesselBoxAcceleration, acc != 0.0f);
    SetEnabled(fOutlets.tesselSliderAcceleration, acc != 0.0f);
    SetSliderValue(fOutlets.tesselSliderAcceleration,
                   AccelerationSliderPosition(AccelerationToSliderValue(acc != 0.0f ? acc : last)));
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
  if (record == nullptr || !record->stateRead) {
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
  QueueWrite(record, DeviceQueues::Kind::kDpi,
             [steps, &sleeper = fSleeper](UsbDeviceInterface* mouse) { KorvidTesselSetDPI(mouse, steps, 0, sleeper); });
}

void KorvidTesselPane::actionSliderSensitivityX() {
  CapturedDeviceRec* record = CurrentDevice();
  if (record == nullptr || fOutlets.tesselSliderSensitivityX == nullptr) return;
  record->state.sensitivityX = static_cast<std::uint16_t>(fOutlets.tesselSliderSensitivityX->value());
  if (record->state.independentXY == 0) {
    record->state.sensitivityY = record->state.sensitivityX;
    SetSliderValue(fOutlets.tesselSliderSensitivityY, record->state.sensitivityY);
  }
  UpdateDpiText();
}

void KorvidTesselPane::actionSliderSensitivityY() {
  CapturedDeviceRec* record = CurrentDevice();
  if (record == nullptr || fOutlets.tesselSliderSensitivityY == nullptr) return;
  record->state.sensitivityY = static_cast<std::uint16_t>(fOutlets.tesselSliderSensitivityY->value());
  UpdateDpiText();
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
  QueueWrite(record, DeviceQueues::Kind::kWrite,
             [code, &sleeper = fSleeper](UsbDeviceInterface* mouse) { KorvidTesselSetPollingRate(mouse, code, sleeper); });
}

void KorvidTesselPane::QueueLight(CapturedDeviceRec* record, std::uint32_t bit, std::uint8_t on) {
  QueueWrite(record, DeviceQueues::Kind::kWrite,
             [bit, on, &sleeper = fSleeper](UsbDeviceInterface* mouse) { KorvidTesselSetLedState(mouse, bit, on, sleeper); });
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
  fEnvironment.openUrl(QUrl::fromLocalFile(QString::fromStdString(help->string())));
}

void KorvidTesselPane::actionButtonCheckUpdates() {
  if (fEnvironment.openUrl) fEnvironment.openUrl(QUrl(QString::fromLatin1(kSupportSiteURL)));
}

}  // namespace korvid
