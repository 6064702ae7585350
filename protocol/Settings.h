// SPDX-License-Identifier: MIT
// The mouse's settings commands: three blocks read and written whole through the
// feature-report transport. Every setter reads the block, changes its own bytes and writes
// the block back; nothing is cached between operations.
#pragma once

#include <array>
#include <cstdint>

#include "platform/Sleeper.h"
#include "platform/Status.h"
#include "platform/usb/UsbDeviceInterface.h"
#include "protocol/Units.h"

namespace korvid {

// Command numbers.
inline constexpr std::uint8_t kInformationBlockCommand = 2;  // read: length 0
inline constexpr std::uint8_t kSettingsBlockCommand = 5;     // read: length 0; write: 5 bytes
inline constexpr std::uint8_t kConfigurationBlockCommand = 6;  // read: 1 selector byte; write: 56

inline constexpr std::uint16_t kSettingsBlockWriteLength = 5;
inline constexpr std::uint16_t kConfigurationBlockWriteLength = 56;

// Settings block (command 5).
inline constexpr std::size_t kSettingsSelector = 0;
inline constexpr std::size_t kSettingsPollingRate = 1;
inline constexpr std::size_t kSettingsStage = 2;
inline constexpr std::size_t kSettingsStepX = 3;
inline constexpr std::size_t kSettingsStepY = 4;

// Configuration block (command 6).
inline constexpr std::size_t kConfigurationSelector = 0;
inline constexpr std::size_t kConfigurationLightingMask = 1;  // bit 0 wheel, bit 1 battery
inline constexpr std::size_t kConfigurationStageCount = 3;    // 1..5, 0 = no limit
inline constexpr unsigned kStageCount = 5;
// Stage s (1..5) keeps its X step at 2s + 2 and its Y step at 2s + 3.
constexpr std::size_t ConfigurationStageX(unsigned stage) { return 2 * stage + 2; }
constexpr std::size_t ConfigurationStageY(unsigned stage) { return 2 * stage + 3; }

// Information block (command 2).
inline constexpr std::size_t kInformationFirmwareMajor = 32;
inline constexpr std::size_t kInformationFirmwareMinor = 33;

// Lighting bits.
inline constexpr std::uint32_t kWheelLightBit = 0;
inline constexpr std::uint32_t kBatteryLightBit = 1;

// The configuration block as the mouse ships it (offsets equal block offsets).
extern const std::array<std::uint8_t, 80> kDefaultConfigurationBlock;

// The stage whose bytes the configuration block uses: `stage` when it is 1..5 (else 1),
// then no higher than the block's stage count unless that count is 0.
unsigned KorvidTesselEffectiveStage(unsigned stage, std::uint8_t stageCount);

// The eight operations. Setters report nothing; getters return 0 when a read fails. A read
// whose reply holds fewer bytes than the operation uses (a setter: every byte it writes
// back) has failed: a setter then stops without writing.
void KorvidTesselRestoreDefaults(UsbDeviceInterface* device, Sleeper& sleeper = Sleeper::Real());
void KorvidTesselSetPollingRate(UsbDeviceInterface* device, std::int32_t rate,
                                Sleeper& sleeper = Sleeper::Real());
std::uint32_t KorvidTesselGetPollingRate(UsbDeviceInterface* device, Sleeper& sleeper = Sleeper::Real());
// steps: X step in bits 15..8, Y step in bits 7..0; stage 0 keeps the current stage.
void KorvidTesselSetDPI(UsbDeviceInterface* device, std::int32_t steps, std::uint32_t stage,
                        Sleeper& sleeper = Sleeper::Real());
void KorvidTesselSetLedState(UsbDeviceInterface* device, std::uint32_t bit, std::int32_t on,
                             Sleeper& sleeper = Sleeper::Real());
std::uint32_t KorvidTesselGetLedState(UsbDeviceInterface* device, std::uint32_t bit,
                                      Sleeper& sleeper = Sleeper::Real());
// X step × 256 + Y step of the current stage.
std::uint32_t KorvidTesselGetDPI(UsbDeviceInterface* device, Sleeper& sleeper = Sleeper::Real());
// Major × 256 + minor.
std::uint32_t KorvidTesselGetFirmwareVers(UsbDeviceInterface* device, Sleeper& sleeper = Sleeper::Real());

// The same operations, reporting the status of the first command that failed (setters go
// on exactly as above; a getter's value is 0 when its status is not 0). For tools that
// want to tell the user why an operation did not take.
OSStatus KorvidTesselRestoreDefaultsChecked(UsbDeviceInterface* device, Sleeper& sleeper);
OSStatus KorvidTesselSetPollingRateChecked(UsbDeviceInterface* device, std::int32_t rate, Sleeper& sleeper);
OSStatus KorvidTesselGetPollingRateChecked(UsbDeviceInterface* device, std::uint32_t* rate, Sleeper& sleeper);
OSStatus KorvidTesselSetDPIChecked(UsbDeviceInterface* device, std::int32_t steps, std::uint32_t stage,
                                   Sleeper& sleeper);
OSStatus KorvidTesselSetLedStateChecked(UsbDeviceInterface* device, std::uint32_t bit, std::int32_t on,
                                        Sleeper& sleeper);
OSStatus KorvidTesselGetLedStateChecked(UsbDeviceInterface* device, std::uint32_t bit, std::uint32_t* on,
                                        Sleeper& sleeper);
OSStatus KorvidTesselGetDPIChecked(UsbDeviceInterface* device, std::uint32_t* steps, Sleeper& sleeper);
OSStatus KorvidTesselGetFirmwareVersChecked(UsbDeviceInterface* device, std::uint32_t* version,
                                            Sleeper& sleeper);
// The stage the mouse is at (the settings block's stage byte).
OSStatus KorvidTesselGetStageChecked(UsbDeviceInterface* device, std::uint32_t* stage, Sleeper& sleeper);

// The restore-defaults sequence of the settings window: default configuration, then
// 1800 DPI on both axes at stage 3, then polling code 2. All three steps always run;
// the result is the status of the first that failed.
inline constexpr std::int32_t kRestoreDefaultsSteps = 0x4444;
inline constexpr std::uint32_t kRestoreDefaultsStage = 3;
inline constexpr std::int32_t kRestoreDefaultsPollingRate = 2;
OSStatus KorvidTesselRestoreDefaultSettings(UsbDeviceInterface* device, Sleeper& sleeper = Sleeper::Real());

}  // namespace korvid
