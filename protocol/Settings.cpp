// SPDX-License-Identifier: MIT
#include "protocol/Settings.h"

#include <algorithm>

#include "protocol/Transport.h"

namespace korvid {

const std::array<std::uint8_t, 80> kDefaultConfigurationBlock = {
    0x01, 0x07, 0x03, 0x05,                                      // selector, lights, -, stages
    0x1C, 0x1C, 0x2C, 0x2C, 0x44, 0x44, 0x9C, 0x9C, 0xDC, 0xDC,  // stages 1 to 5
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                          // 14..19
    0x01, 0x01, 0x00, 0x00, 0x02, 0x02, 0x00, 0x00, 0x03, 0x03, 0x00, 0x00,
    0x04, 0x04, 0x00, 0x00, 0x05, 0x05, 0x00, 0x00, 0x06, 0x0B, 0x00, 0x00,
    0x07, 0x0C, 0x00, 0x00, 0x08, 0x08, 0x00, 0x00, 0x09, 0x09, 0x00, 0x00,  // 20..55
    // 56..79: zeros, never sent
};

namespace {

// One operation's working buffer: one 80-byte block area that every step reads into and
// writes from, so later steps see what earlier replies left.
using Block = std::array<std::uint8_t, CommandReport::kDataSize>;

// A read counts only when the reply holds at least the `needed` bytes the operation uses:
// a shorter reply leaves the rest of the block as it was, and a setter would write that
// back to the mouse.
OSStatus ReadBlock(UsbDeviceInterface* device, std::uint8_t command, std::uint16_t length, std::size_t needed,
                   Block& block, Sleeper& sleeper) {
  std::size_t replied = 0;
  const OSStatus status = KorvidCommand(device, true, command, length, block, replied, sleeper);
  if (status == noErr && replied < needed) return kCommandFailed;
  return status;
}

OSStatus ReadSettings(UsbDeviceInterface* device, Block& block, std::size_t needed, Sleeper& sleeper) {
  return ReadBlock(device, kSettingsBlockCommand, 0, needed, block, sleeper);
}
OSStatus WriteSettings(UsbDeviceInterface* device, Block& block, Sleeper& sleeper) {
  return KorvidCommand(device, false, kSettingsBlockCommand, kSettingsBlockWriteLength, block, sleeper);
}
// The one byte sent with the read is the selector, block byte 0 as earlier replies left it.
OSStatus ReadConfiguration(UsbDeviceInterface* device, Block& block, std::size_t needed, Sleeper& sleeper) {
  return ReadBlock(device, kConfigurationBlockCommand, 1, needed, block, sleeper);
}
OSStatus WriteConfiguration(UsbDeviceInterface* device, Block& block, Sleeper& sleeper) {
  return KorvidCommand(device, false, kConfigurationBlockCommand, kConfigurationBlockWriteLength, block,
                       sleeper);
}

// Bytes each read must bring: a setter needs every byte it writes back, a getter the bytes
// it reports (the DPI getter up to stage 5's Y step, whichever stage is current).
inline constexpr std::size_t kSelectorBytes = kSettingsSelector + 1;
inline constexpr std::size_t kStageBytes = kSettingsStage + 1;
inline constexpr std::size_t kStepsBytes = ConfigurationStageY(kStageCount) + 1;
inline constexpr std::size_t kFirmwareBytes = kInformationFirmwareMinor + 1;

OSStatus FirstFailure(OSStatus first, OSStatus next) { return first != noErr ? first : next; }

}  // namespace

unsigned KorvidTesselEffectiveStage(unsigned stage, std::uint8_t stageCount) {
  if (stage < 1 || stage > kStageCount) stage = 1;
  if (stageCount != 0 && stage > stageCount) stage = stageCount;
  return stage;
}

OSStatus KorvidTesselRestoreDefaultsChecked(UsbDeviceInterface* device, Sleeper& sleeper) {
  Block block{};
  if (OSStatus status = ReadSettings(device, block, kSelectorBytes, sleeper); status != noErr) return status;
  // Byte 0 keeps the mouse's own selector.
  std::copy(kDefaultConfigurationBlock.begin() + 1, kDefaultConfigurationBlock.end(), block.begin() + 1);
  return WriteConfiguration(device, block, sleeper);
}

OSStatus KorvidTesselSetPollingRateChecked(UsbDeviceInterface* device, std::int32_t rate, Sleeper& sleeper) {
  Block block{};
  if (OSStatus status = ReadSettings(device, block, kSettingsBlockWriteLength, sleeper); status != noErr) {
    return status;
  }
  block[kSettingsPollingRate] = static_cast<std::uint8_t>(rate & 0xFF);
  return WriteSettings(device, block, sleeper);
}

OSStatus KorvidTesselGetPollingRateChecked(UsbDeviceInterface* device, std::uint32_t* rate, Sleeper& sleeper) {
  Block block{};
  const OSStatus status = ReadSettings(device, block, kSettingsPollingRate + 1, sleeper);
  if (rate != nullptr) *rate = status == noErr ? block[kSettingsPollingRate] : 0;
  return status;
}

OSStatus KorvidTesselGetStageChecked(UsbDeviceInterface* device, std::uint32_t* stage, Sleeper& sleeper) {
  Block block{};
  const OSStatus status = ReadSettings(device, block, kSettingsStage + 1, sleeper);
  if (stage != nullptr) *stage = status == noErr ? block[kSettingsStage] : 0;
  return status;
}

OSStatus KorvidTesselSetDPIChecked(UsbDeviceInterface* device, std::int32_t steps, std::uint32_t stage,
                                   Sleeper& sleeper) {
  Block block{};
  if (OSStatus status = ReadSettings(device, block, kSettingsBlockWriteLength, sleeper); status != noErr) {
    return status;
  }

  // The stage the mouse will hold in its settings block is the one whose bytes change,
  // so a stage number above 255 is taken by its low 8 bits on both blocks alike.
  unsigned s = block[kSettingsStage];
  const unsigned newStage = stage & 0xFF;
  if (stage != 0 && newStage != s) {
    block[kSettingsStage] = static_cast<std::uint8_t>(newStage);
    s = newStage;
  }
  const auto x = static_cast<std::uint8_t>((steps >> 8) & 0xFF);
  const auto y = static_cast<std::uint8_t>(steps & 0xFF);
  block[kSettingsStepX] = x;
  block[kSettingsStepY] = y;
  // The configuration block is updated even when the settings write failed.
  const OSStatus settingsStatus = WriteSettings(device, block, sleeper);

  if (OSStatus status = ReadConfiguration(device, block, kConfigurationBlockWriteLength, sleeper);
      status != noErr) {
    return FirstFailure(settingsStatus, status);
  }
  const unsigned effective = KorvidTesselEffectiveStage(s, block[kConfigurationStageCount]);
  block[ConfigurationStageX(effective)] = x;
  block[ConfigurationStageY(effective)] = y;
  return FirstFailure(settingsStatus, WriteConfiguration(device, block, sleeper));
}

OSStatus KorvidTesselGetDPIChecked(UsbDeviceInterface* device, std::uint32_t* steps, Sleeper& sleeper) {
  Block block{};
  if (steps != nullptr) *steps = 0;
  if (OSStatus status = ReadSettings(device, block, kStageBytes, sleeper); status != noErr) return status;
  const unsigned s = block[kSettingsStage];
  if (OSStatus status = ReadConfiguration(device, block, kStepsBytes, sleeper); status != noErr) {
    return status;
  }
  const unsigned effective = KorvidTesselEffectiveStage(s, block[kConfigurationStageCount]);
  if (steps != nullptr) {
    *steps = static_cast<std::uint32_t>(block[ConfigurationStageX(effective)]) * 256u +
             block[ConfigurationStageY(effective)];
  }
  return noErr;
}

OSStatus KorvidTesselSetLedStateChecked(UsbDeviceInterface* device, std::uint32_t bit, std::int32_t on,
                                        Sleeper& sleeper) {
  Block block{};
  if (OSStatus status = ReadSettings(device, block, kSelectorBytes, sleeper); status != noErr) return status;
  if (OSStatus status = ReadConfiguration(device, block, kConfigurationBlockWriteLength, sleeper);
      status != noErr) {
    return status;
  }
  if (bit < 8) {  // the mask has eight bits; higher bit numbers change nothing
    const auto mask = static_cast<std::uint8_t>(1u << bit);
    if (on != 0) {
      block[kConfigurationLightingMask] |= mask;
    } else {
      block[kConfigurationLightingMask] &= static_cast<std::uint8_t>(~mask);
    }
  }
  return WriteConfiguration(device, block, sleeper);
}

OSStatus KorvidTesselGetLedStateChecked(UsbDeviceInterface* device, std::uint32_t bit, std::uint32_t* on,
                                        Sleeper& sleeper) {
  Block block{};
  if (on != nullptr) *on = 0;
  if (OSStatus status = ReadSettings(device, block, kSelectorBytes, sleeper); status != noErr) return status;
  if (OSStatus status = ReadConfiguration(device, block, kConfigurationLightingMask + 1, sleeper);
      status != noErr) {
    return status;
  }
  if (on != nullptr && bit < 8) *on = (block[kConfigurationLightingMask] >> bit) & 1u;
  return noErr;
}

OSStatus KorvidTesselGetFirmwareVersChecked(UsbDeviceInterface* device, std::uint32_t* version,
                                            Sleeper& sleeper) {
  Block block{};
  const OSStatus status = ReadBlock(device, kInformationBlockCommand, 0, kFirmwareBytes, block, sleeper);
  if (version != nullptr) {
    *version = status == noErr ? static_cast<std::uint32_t>(block[kInformationFirmwareMajor]) * 256u +
                                     block[kInformationFirmwareMinor]
                               : 0;
  }
  return status;
}

void KorvidTesselRestoreDefaults(UsbDeviceInterface* device, Sleeper& sleeper) {
  KorvidTesselRestoreDefaultsChecked(device, sleeper);
}

void KorvidTesselSetPollingRate(UsbDeviceInterface* device, std::int32_t rate, Sleeper& sleeper) {
  KorvidTesselSetPollingRateChecked(device, rate, sleeper);
}

std::uint32_t KorvidTesselGetPollingRate(UsbDeviceInterface* device, Sleeper& sleeper) {
  std::uint32_t rate = 0;
  KorvidTesselGetPollingRateChecked(device, &rate, sleeper);
  return rate;
}

void KorvidTesselSetDPI(UsbDeviceInterface* device, std::int32_t steps, std::uint32_t stage, Sleeper& sleeper) {
  KorvidTesselSetDPIChecked(device, steps, stage, sleeper);
}

void KorvidTesselSetLedState(UsbDeviceInterface* device, std::uint32_t bit, std::int32_t on, Sleeper& sleeper) {
  KorvidTesselSetLedStateChecked(device, bit, on, sleeper);
}

std::uint32_t KorvidTesselGetLedState(UsbDeviceInterface* device, std::uint32_t bit, Sleeper& sleeper) {
  std::uint32_t on = 0;
  KorvidTesselGetLedStateChecked(device, bit, &on, sleeper);
  return on;
}

std::uint32_t KorvidTesselGetDPI(UsbDeviceInterface* device, Sleeper& sleeper) {
  std::uint32_t steps = 0;
  KorvidTesselGetDPIChecked(device, &steps, sleeper);
  return steps;
}

std::uint32_t KorvidTesselGetFirmwareVers(UsbDeviceInterface* device, Sleeper& sleeper) {
  std::uint32_t version = 0;
  KorvidTesselGetFirmwareVersChecked(device, &version, sleeper);
  return version;
}

OSStatus KorvidTesselRestoreDefaultSettings(UsbDeviceInterface* device, Sleeper& sleeper) {
  OSStatus status = KorvidTesselRestoreDefaultsChecked(device, sleeper);
  status = FirstFailure(status, KorvidTesselSetDPIChecked(device, kRestoreDefaultsSteps, kRestoreDefaultsStage,
                                                          sleeper));
  return FirstFailure(status, KorvidTesselSetPollingRateChecked(device, kRestoreDefaultsPollingRate, sleeper));
}

}  // namespace korvid
