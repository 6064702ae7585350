// SPDX-License-Identifier: MIT
// How long the settings window's thread is held up while the pane talks to the simulated
// mouse, with the pauses the mouse's protocol mandates (the real sleeper): the start with
// one mouse, a DPI change, a restore of the defaults and a refresh. A 1 ms heartbeat timer
// runs on the window's thread; the longest gap between two beats is the longest stretch
// the window could not repaint or take input. Argument 0 runs the device work inline on
// the window's thread (as a single-threaded pane would), 1 on the pane's worker thread.
//
// The start also gives: first_frame_ms (start to the first painted frame),
// settings_shown_ms (start to the first frame that shows the mouse's settings) and
// mandated_ms (the waits the capture must make), with shown_ratio = settings_shown /
// mandated; slept_ms is what the mouse's work slept in all during the start (the capture
// and the refresh when the window first becomes active).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <filesystem>

#include "bench/CountingSleeper.h"
#include "pane/KorvidTesselPane.h"
#include "pane/KorvidTesselSlider.h"
#include "platform/devices/SimulatedDeviceWatcher.h"
#include "sim/SimulatedTessel.h"

namespace korvid {
namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "bench_window_responsiveness";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  return *app;
}

// The host's window: tells when it paints.
class Window final : public QWidget {
 public:
  std::function<void()> onPaint;

 protected:
  void paintEvent(QPaintEvent* event) override {
    QWidget::paintEvent(event);
    if (onPaint) onPaint();
  }
};

// The longest gap between heartbeats while `until` is false, in milliseconds.
class Heartbeat {
 public:
  Heartbeat() {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(1);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const qint64 now = clock_.nsecsElapsed();
      longest_ = std::max(longest_, now - last_);
      last_ = now;
    });
  }
  void Begin() {
    clock_.start();
    last_ = 0;
    longest_ = 0;
    timer_.start();
  }
  double EndMs() {
    timer_.stop();
    const qint64 now = clock_.nsecsElapsed();
    return static_cast<double>(std::max(longest_, now - last_)) / 1e6;
  }

 private:
  QTimer timer_;
  QElapsedTimer clock_;
  qint64 last_ = 0;
  qint64 longest_ = 0;
};

void RunUntil(const std::function<bool()>& done) {
  // The heartbeat wakes the loop at least every millisecond.
  while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// The waits the capture of one mouse must make (settle, clear busy, eight commands), as
// the pane asks for them, counted in virtual time.
double CaptureWaitsMs() {
  VirtualSleeper sleeper;
  auto owned = std::make_unique<SimulatedDeviceWatcher>();
  owned->Plug(std::make_shared<SimulatedTessel>());
  KorvidTesselPane pane(std::move(owned), sleeper);
  pane.StartHandlingDevices();
  return static_cast<double>(sleeper.TotalMicroseconds()) / 1e3;
}

void BM_WindowBlocked(benchmark::State& state) {
  App();
  const double captureWaits = CaptureWaitsMs();
  const bool threaded = state.range(0) == 1;
  const std::filesystem::path prefs = std::filesystem::temp_directory_path() / "korvid-bench-window-prefs";
  double start = 0, dpi = 0, restore = 0, refresh = 0, firstFrame = 0, shown = 0, mandated = 0, slept = 0;
  for (auto _ : state) {
    CountingSleeper sleeper;
    auto owned = std::make_unique<SimulatedDeviceWatcher>(SimulatedDeviceWatcher::Delivery::kEventLoop);
    owned->Plug(std::make_shared<SimulatedTessel>());
    KorvidTesselPane pane(std::move(owned), sleeper);
    if (threaded) pane.SetDeviceExecutor(std::make_unique<ThreadedDeviceExecutor>());
    PaneEnvironment environment;
    environment.preferences = PreferencesStore(prefs);
    pane.SetEnvironment(std::move(environment));
    Heartbeat heartbeat;
    QElapsedTimer clock;

    // Start: the window is built, shown and selected; the mouse is captured.
    heartbeat.Begin();
    clock.start();
    Window window;
    window.resize(600, 450);
    pane.LoadMainView(&window);
    double painted = -1, settings = -1;
    window.onPaint = [&] {
      const double at = static_cast<double>(clock.nsecsElapsed()) / 1e6;
      if (painted < 0) painted = at;
      const CapturedDeviceRec* record = pane.FirstCapturedDevice();
      if (settings < 0 && record != nullptr && record->stateRead) settings = at;
    };
    pane.mainViewDidLoad();
    window.show();
    pane.didSelect();
    RunUntil([&] { return settings >= 0 && !pane.DeviceWorkPending(); });
    start += heartbeat.EndMs();
    firstFrame += painted;
    shown += settings;
    mandated += captureWaits;
    slept += static_cast<double>(sleeper.requested.load()) / 1e3;

    // A DPI change, sent when the slider is let go.
    heartbeat.Begin();
    pane.Outlets().tesselSliderSensitivityX->setValue(2400);
    pane.UpdateDpiOnMouse();
    RunUntil([&] { return !pane.DeviceWorkPending(); });
    dpi += heartbeat.EndMs();

    // Restore, confirmed in its panel.
    heartbeat.Begin();
    QTimer::singleShot(0, [&] {
      if (QDialog* panel = pane.RunningPanel()) panel->done(1);
    });
    pane.actionButtonRestoreDefaults();
    RunUntil([&] { return !pane.DeviceWorkPending(); });
    restore += heartbeat.EndMs();

    // The refresh when the window becomes active.
    heartbeat.Begin();
    pane.sysPrefWindowDidBecomeKey(window.windowHandle());
    RunUntil([&] { return !pane.DeviceWorkPending(); });
    refresh += heartbeat.EndMs();

    pane.willUnselect();
  }
  std::filesystem::remove_all(prefs);
  const double n = static_cast<double>(state.iterations());
  state.counters["start_ms"] = start / n;
  state.counters["dpi_ms"] = dpi / n;
  state.counters["restore_ms"] = restore / n;
  state.counters["refresh_ms"] = refresh / n;
  state.counters["first_frame_ms"] = firstFrame / n;
  state.counters["settings_shown_ms"] = shown / n;
  state.counters["mandated_ms"] = mandated / n;
  state.counters["shown_ratio"] = mandated > 0 ? shown / mandated : 0;
  state.counters["slept_ms"] = slept / n;
}
BENCHMARK(BM_WindowBlocked)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace korvid

BENCHMARK_MAIN();
