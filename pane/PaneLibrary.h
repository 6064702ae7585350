// SPDX-License-Identifier: MIT
// What the settings application sees of the pane library: one exported factory that makes
// the pane, and the small interface through which the application drives it.
#pragma once

class QWidget;

namespace korvid {

// The options of the settings application that reach the pane.
struct PaneHostOptions {
  // The pane's bundle folder; null or empty: the folder that holds the pane library.
  const char* bundleFolder = nullptr;
  // Attach the simulated mouse (kept in its state file) instead of watching for real mice.
  bool simulated = false;
  // The simulated mouse's state file; null or empty: its default place.
  const char* simulatedStatePath = nullptr;
  // With the simulated mouse only: skip the protocol's pauses (for measurements).
  bool skipDeviceWaits = false;
  // With the simulated mouse only: how it behaves. "silent" takes requests and never
  // finishes one; "refused" is attached but not ours to open; "none" is no mouse at all;
  // anything else answers.
  const char* simulatedBehaviour = nullptr;
  // Start the acceleration helper when this session's is not running.
  bool startHelper = true;
};

class PreferencePane {
 public:
  virtual ~PreferencePane() = default;
  // Builds the main view (owned by `parent`).
  virtual QWidget* LoadMainView(QWidget* parent) = 0;
  virtual void MainViewDidLoad() = 0;
  virtual void DidSelect() = 0;
  virtual void WillUnselect() = 0;
  // The pane's version as its bundle gives it ("" when it has none).
  virtual const char* Version() const = 0;
  // True while the pane is still talking to a mouse (reading it or saving a change).
  virtual bool DeviceWorkPending() const = 0;
};

}  // namespace korvid

// The factory's exported name and type. The caller owns the result; null on failure.
inline constexpr const char* kKorvidTesselPaneFactory = "KorvidTesselPaneCreate";
extern "C" {
using KorvidTesselPaneCreateFunction = korvid::PreferencePane* (*)(const korvid::PaneHostOptions* options);
}
