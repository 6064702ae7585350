// SPDX-License-Identifier: MIT
#include "pane/KorvidTesselPane.h"

namespace korvid {

KorvidTesselPane* gKorvidTesselPane = nullptr;

KorvidTesselPane::KorvidTesselPane(std::unique_ptr<DeviceWatcher> watcher, Sleeper& sleeper, QObject* parent)
    : QObject(parent), fWatcher(std::move(watcher)), fSleeper(sleeper) {
  gKorvidTesselPane = this;
}

KorvidTesselPane::~KorvidTesselPane() {
  StopHandlingDevices();
  // A read of the curve or the desktop uses the environment's services: it ends first.
  if (fPointerWork != nullptr) fPointerWork->waitForFinished();
  // Callbacks must never reach a controller that is gone.
  if (gKorvidTesselPane == this) gKorvidTesselPane = nullptr;
}

}  // namespace korvid
