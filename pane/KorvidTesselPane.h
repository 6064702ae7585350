// SPDX-License-Identifier: MIT
// The settings pane's controller. It lives on the Qt main loop and everything it decides
// runs on the main thread, driven by the loop's sources; talking to a mouse runs on the
// device executor, one queue per mouse (see DeviceQueues), and its results come back here.
#pragma once

#include <QDialog>
#include <QFutureWatcher>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/client/CurvePath.h"
#include "pane/PaneBundle.h"
#include "pane/devices/CapturedDevice.h"
#include "pane/devices/DeviceQueues.h"
#include "platform/FixedPoint.h"
#include "platform/Sleeper.h"
#include "platform/desktop/DesktopPointers.h"
#include "platform/devices/DeviceWatcher.h"
#include "platform/events/EventPort.h"
#include "platform/files/PreferencesStore.h"
#include "platform/files/PropertyList.h"
#include "platform/process/ProcessTable.h"

class QCheckBox;
class QComboBox;
class QKeyEvent;
class QLabel;
class QPlainTextEdit;
class QSpinBox;
class QPushButton;
class QSlider;
class QTabWidget;
class QTimer;
class QUrl;
class QWindow;

namespace korvid {

class KorvidTesselSlider;

// What the pane needs from the machine beyond its mice; the settings application fills it
// with the real services, tests with fakes. Services that are not set do nothing.
struct PaneEnvironment {
  ProcessTable* processes = nullptr;  // not owned
  EventPort* events = nullptr;        // not owned
  // The user's preferences domains (the settings domain lives there).
  std::optional<PreferencesStore> preferences;
  // Registers an application path as a login item of the user.
  std::function<OSStatus(const std::string& path)> addLoginItem;
  // Starts the application at a bundle path (a folder holding the same-named executable,
  // or an executable).
  std::function<bool(const std::string& path)> launchApplication;
  // Opens a file or web address with the user's default application.
  std::function<bool(const QUrl& url)> openUrl;
  // The pane's own bundle.
  PaneBundle bundle;
  // Whether the process `pid` has its event port on this session's bus: the helper of this
  // session answers there. Not set: any process of the helper's name counts.
  std::function<bool(std::uint32_t pid)> eventPortReachable;
  // The installed udev rule that gives the seat's user the mouse (its absolute path).
  std::string udevRulePath;
  // Whether the driver daemon publishes a driver the helper can reach.
  std::function<bool()> driverReachable;
  // Where the acceleration curve runs now. Called off the window's thread.
  std::function<CurvePath()> curvePath;
  // The desktop's own acceleration on the Tessel. Called off the window's thread, one
  // call at a time.
  std::shared_ptr<DesktopPointers> desktopPointers;
};

// What the status lines say.
inline constexpr const char* kStatusReading = "Reading the mouse\u2026";
inline constexpr const char* kStatusSaving = "Saving\u2026";
// The empty state, in place of the mouse's settings. %1: the installed udev rule.
inline constexpr const char* kEmptyNoMouse =
    "<b>No Korvid Tessel is connected.</b><br>Plug the mouse, or its receiver, into a USB port: its settings "
    "appear here as soon as it is found.<br>To try this window without a mouse, start it as<br>"
    "<code>korvid-tessel-settings --simulated</code>";
// Followed by the commands that install and apply the rule.
inline constexpr const char* kEmptyNoAccess =
    "<b>A Korvid Tessel is attached, but this account may not open it.</b><br>Install the udev rule that lets "
    "the person at the computer use it, and apply it (select the commands and copy them whole):";
// The status line says what failed.
inline constexpr const char* kEmptyNotAnswering =
    "<b>The Korvid Tessel does not answer.</b><br>Its settings are shown once it answers. The window asks "
    "again when it comes to the front, on the refresh key (F20), or when the mouse is plugged in again.";
// On the mouse's own pages while there is no mouse to show.
inline constexpr const char* kPageNoMouse = "The mouse's settings appear here once it answers.";
// %1: what was read, %2: why it failed.
inline constexpr const char* kStatusNotAnswering = "The mouse did not answer when its %1 was read: %2.";
// %1: why it failed.
inline constexpr const char* kStatusWriteFailed =
    "The change did not reach the mouse: %1. The controls show the mouse's settings as it last confirmed them.";
inline constexpr const char* kRestoreDone = "The mouse's factory settings were restored.";
// %1: why it failed.
inline constexpr const char* kRestoreFailed = "The factory settings did not reach the mouse: %1.";
// %1: the file or address that could not be opened.
inline constexpr const char* kOpenFailed = "No browser could be opened. Open this yourself: %1";
// Where the udev rule lives once installed: the pane bundle's resources.
inline constexpr const char* kUdevRuleName = "70-korvid-tessel.rules";
inline constexpr const char* kStatusHelperRunning = "The acceleration helper is running.";
inline constexpr const char* kStatusHelperStopped = "The acceleration helper is not running.";
inline constexpr const char* kStatusDriverReachable = "The driver is running.";
inline constexpr const char* kStatusDriverMissing =
    "Acceleration applies when the driver is running: sudo systemctl start korvid-tessel-driver";
// Where the curve runs.
inline constexpr const char* kStatusCurveKernelModule = "Acceleration runs in the kernel module (hid-korvid-tessel).";
inline constexpr const char* kStatusCurveDriverDaemon = "Acceleration runs in the driver daemon.";
inline constexpr const char* kStatusCurveNowhere = "Acceleration is not applied: no driver serves the mouse.";
// The desktop's own acceleration; a desktop that is known is named after the sentence's
// last word, e.g. "... the Tessel (X11)."
inline constexpr const char* kStatusDesktopFlat = "The desktop adds no acceleration of its own to the Tessel";
inline constexpr const char* kStatusDesktopStacked = "The desktop adds its own acceleration on top of the Tessel's";
inline constexpr const char* kStatusDesktopStackedEveryMouse = "The desktop adds its own acceleration to every mouse";
inline constexpr const char* kStatusDesktopUnknown = "Whether the desktop adds acceleration of its own is unknown";
// The offer to turn the desktop's one global setting flat (GNOME), and its question.
inline constexpr const char* kButtonDesktopFlat = "Turn Off Desktop Acceleration\u2026";
inline constexpr const char* kQuestionDesktopFlat =
    "The desktop has one acceleration setting for every mouse, not just the Tessel. Turning it off makes every "
    "mouse move without the desktop's acceleration; the Tessel keeps its own. The desktop's mouse settings can "
    "turn it on again.";
inline constexpr const char* kTitleDesktopFlat = "Turn Off Desktop Acceleration";
inline constexpr const char* kButtonDesktopFlatConfirm = "Turn Off for Every Mouse";
// %1: the desktop's status.
inline constexpr const char* kStatusDesktopFlatFailed = "The desktop's acceleration could not be turned off (error %1).";

// The vendor's support site, opened by the "Check for Updates" button.
inline constexpr const char* kSupportSiteURL = "https://support.korvid.example/tessel";
// The virtual key code that refreshes the display: F20.
inline constexpr std::uint16_t kRefreshKeyCode = 90;
// Stored acceleration values when the settings domain does not hold them.
inline constexpr float kDefaultAcceleration = 0.0f;
inline constexpr float kDefaultLastAcceleration = 1.0f;
// A mouse status in words, with the number after it for bug reports.
QString StatusInWords(OSStatus status);
// The commands that install and apply the udev rule at `rulePath`, one a line.
QString PermissionCommands(const std::string& rulePath);

// The acceleration slider is an integer slider over 100..1000: its scale value times 100.
inline constexpr int kAccelerationSliderScale = 100;

// The acceleration scale of the slider (1.0 ... 10.0, 5.0 standing for 1.0) and the
// acceleration value, both ways; computed in double precision, stored in single.
float SliderValueToAcceleration(float sliderValue);
float AccelerationToSliderValue(float acceleration);
// The virtual key code of a key event (F20 is 90); other keys give codes that are not 90.
std::uint16_t KeyCodeOf(const QKeyEvent& event);

// Outlets: widgets of the main view, owned by it (null until the view is loaded).
struct PaneOutlets {
  QTabWidget* tesselTabsMain = nullptr;
  QLabel* tesselTextDPI = nullptr;
  QLabel* tesselTextXLabel = nullptr;
  QLabel* tesselTextYLabel = nullptr;
  KorvidTesselSlider* tesselSliderSensitivityX = nullptr;
  KorvidTesselSlider* tesselSliderSensitivityY = nullptr;
  QCheckBox* tesselBoxIndependentXY = nullptr;
  QCheckBox* tesselBoxAcceleration = nullptr;
  QSlider* tesselSliderAcceleration = nullptr;
  QComboBox* tesselMenuPollingRate = nullptr;
  QCheckBox* tesselBoxLightOnWheel = nullptr;
  QCheckBox* tesselBoxLightOnBattery = nullptr;
  QLabel* tesselTextDriverVersion = nullptr;
  QLabel* tesselTextFirmwareVersion = nullptr;
  QPushButton* tesselButtonRestoreDefaults = nullptr;
  QDialog* tesselPanelRestore = nullptr;
  QDialog* tesselPanelNoDevice = nullptr;
  QComboBox* tesselMenuDevice = nullptr;      // the chooser, shown with more than one mouse
  QLabel* tesselTextStatus = nullptr;         // what the mouse is doing, or why it cannot be used
  QLabel* tesselTextBackground = nullptr;     // helper and driver, on the acceleration page
  QLabel* tesselTextCurvePath = nullptr;      // where the curve runs
  QLabel* tesselTextDesktopAcceleration = nullptr;  // the desktop's own acceleration
  QPushButton* tesselButtonDesktopFlat = nullptr;   // offers to turn the desktop's global one off
  QWidget* tesselBoxEmptyState = nullptr;           // no mouse, none this account may open, or none answering
  QLabel* tesselTextEmptyState = nullptr;
  QPlainTextEdit* tesselTextPermissionCommands = nullptr;  // the udev rule's commands, to copy
  QSpinBox* tesselSpinDpiX = nullptr;               // the X (or both axes') DPI as a number
  QSpinBox* tesselSpinDpiY = nullptr;
  QLabel* tesselTextAcceleration = nullptr;         // the acceleration's number
  QLabel* tesselTextRestoreDone = nullptr;          // whether the last restore reached the mouse
  QLabel* tesselTextOpenFailed = nullptr;           // what could not be opened in a browser
};

class KorvidTesselPane : public QObject {
  Q_OBJECT

 public:
  // `watcher` finds the mice; `sleeper` does all waiting of device handling and of the
  // mouse commands. The sleeper must outlive the pane.
  explicit KorvidTesselPane(std::unique_ptr<DeviceWatcher> watcher, Sleeper& sleeper = Sleeper::Real(),
                            QObject* parent = nullptr);
  ~KorvidTesselPane() override;
  KorvidTesselPane(const KorvidTesselPane&) = delete;
  KorvidTesselPane& operator=(const KorvidTesselPane&) = delete;

  // Device discovery and the captured-device list.
  void StartHandlingDevices();
  void StopHandlingDevices();
  // The first-match notification: the mice that arrived (or, at start, were attached).
  void DeviceAdded(std::vector<DeviceArrival> arrivals);
  // The terminate notification; the records themselves go with the termination message.
  void DeviceRemoved(std::vector<DeviceService> removals);
  // Appends a record for `device` (or returns the one it already has); null on failure.
  CapturedDeviceRec* AddCapturedDevice(std::shared_ptr<UsbDeviceInterface> device, std::uint16_t vendor,
                                       std::uint16_t product, std::uint16_t release,
                                       std::uint32_t busPower, std::uint32_t location);
  void RemoveCapturedDevice(const UsbDeviceInterface* device);
  CapturedDeviceRec* FindCapturedDevice(const UsbDeviceInterface* device);
  // Reads the mouse's settings into the record, on the mouse's queue; the display follows
  // when they arrive. A null record does nothing.
  void GetDeviceState(CapturedDeviceRec* record);
  // GetDeviceState's work; a mouse just attached is first given its moment to settle and
  // its busy flag is cleared.
  void QueueStateRead(CapturedDeviceRec& record, bool justAttached);
  // A mouse's interest message; `record` is the reference value it was registered with.
  void KorvidTesselMessage(void* record, DeviceService service, std::uint32_t messageType, void* argument);

  // The first captured record, or null when no mouse is captured.
  CapturedDeviceRec* FirstCapturedDevice();
  // The mouse the controls show and set: the one chosen in the chooser while it is
  // attached, otherwise the first.
  CapturedDeviceRec* CurrentDevice();
  void ChooseDevice(const UsbDeviceInterface* device);
  // Mice attached that this account may not open.
  std::size_t RefusedDeviceCount() const { return fRefusedServices.size(); }
  // Where device work runs (at once, inside the call, unless another executor is set).
  void SetDeviceExecutor(std::unique_ptr<DeviceExecutor> executor) { fQueues.SetExecutor(std::move(executor)); }
  bool DeviceWorkPending() const { return !fQueues.Idle(); }
  // True while the curve and desktop lines wait for a read or a change.
  bool PointerStatusPending() const;
  const std::list<CapturedDeviceRec>& CapturedDevices() const { return fCapturedDeviceList; }
  std::uint16_t CapturedDeviceCount() const { return fCapturedDeviceCount; }
  bool HandlingDevices() const { return fHandlingDevices; }

  // The window half. The host sets the environment, loads the main view (the interface
  // file) and then calls mainViewDidLoad once and didSelect / willUnselect in alternation.
  void SetEnvironment(PaneEnvironment environment);
  PaneEnvironment& Environment() { return fEnvironment; }
  // Builds the main view from the interface file and wires its outlets and actions; the
  // caller owns the view (it is parented to `parent` when one is given).
  QWidget* LoadMainView(QWidget* parent = nullptr);
  QWidget* MainView() const { return fMainView; }
  const PaneOutlets& Outlets() const { return fOutlets; }
  void mainViewDidLoad();
  void didSelect();
  void willUnselect();
  bool Selected() const { return fUserDefaults.has_value(); }
  // The working copy of the settings domain while selected.
  const std::optional<PropertyList>& UserDefaults() const { return fUserDefaults; }
  std::optional<PropertyList>& UserDefaults() { return fUserDefaults; }
  bool BluetoothWarningDone() const { return fBluetoothWarningDone; }

  // Brings the display up to date with the current mouse and the working copy. Called at
  // the end of every DeviceAdded and DeviceRemoved, after a mouse's record is dropped on
  // termination, and by the controls.
  virtual void UpdateUI();
  void UpdateDpiText();
  void UpdateDpiOnMouse();
  // True when the key refreshed the display (the refresh key).
  bool ReceiveKeystroke(const QKeyEvent& event);

  // Runs a panel as a window-modal sheet on the main view's window; returns the code the
  // pressed button gave (1 OK, 0 Cancel).
  int RunPanelDialogue(QDialog* panel);
  QDialog* RunningPanel() const { return fRunningPanel; }

 public slots:
  void sysPrefWindowDidBecomeKey(QWindow* window);
  void tabViewDidSelectTabViewItem(int index);
  void actionButtonRestoreDefaults();
  void actionButtonModalOK();
  void actionButtonModalCancel();
  void actionSliderSensitivityX();
  void actionSliderSensitivityY();
  void actionBoxIndependentXY();
  void actionMenuPollingRate();
  void actionBoxLightOnWheel();
  void actionBoxLightOnBattery();
  void actionSliderAcceleration();
  void actionBoxAcceleration();
  void actionButtonHelp();
  void actionButtonCheckUpdates();
  void actionMenuDevice();
  // A DPI typed or stepped in a spin box: the slider follows and the mouse is set.
  void actionSpinDpiX();
  void actionSpinDpiY();
  // Asks, then turns the desktop's global acceleration off and reads the desktop again.
  void actionButtonDesktopFlat();
  // Whether the helper of this session runs (its event port is on this session's bus).
  bool HelperRunning();
  // Brings the helper and driver status line up to date.
  void UpdateBackgroundStatus();
  // Reads where the curve runs and what the desktop adds, off the window's thread; the
  // lines follow when the answers arrive. A read asked for during another runs after it.
  void RefreshPointerStatus();

 private:
  PaneOutlets fOutlets;
  bool fHandlingDevices = false;
  std::uint16_t fCapturedDeviceCount = 0;
  // Records in order of capture; the list owns them and their addresses never move.
  std::list<CapturedDeviceRec> fCapturedDeviceList;

  bool Owns(const CapturedDeviceRec* record) const;

  // Sends the helper the acceleration `value` (ignoring the result).
  void SendAcceleration(float value);
  float StoredFloat(const char* key, float fallback) const;
  void StoreFloat(const char* key, float value);
  // Writes the working copy to the settings domain (atomically).
  void SaveUserDefaults();
  // Queues device I/O for a record's mouse; the record counts it as a change of its state.
  // `work` reports the mouse's status; `confirm` applies the change to a state once the
  // mouse took it. A change that fails puts the controls back to what the mouse confirmed.
  void QueueWrite(CapturedDeviceRec* record, DeviceQueues::Kind kind, std::function<OSStatus(UsbDeviceInterface*)> work,
                  std::function<void(CapturedDeviceState&)> confirm, std::function<void(OSStatus)> reported = {});
  void WriteDone(const std::shared_ptr<UsbDeviceInterface>& device, OSStatus status,
                 const std::function<void(CapturedDeviceState&)>& confirm);
  void UpdateEmptyState(const CapturedDeviceRec* current);
  void ShowOpenResult(bool opened, const QString& what);
  void SpinDpiDone(QSpinBox* spin, QSlider* slider);
  void QueueLight(CapturedDeviceRec* record, std::uint32_t bit, std::uint8_t on);
  void UpdateDeviceChooser();
  void UpdateStatus();
  void DeviceBusyChanged();

  // What one read off the window's thread found.
  struct PointerStatus {
    std::optional<CurvePath> curvePath;
    std::optional<DesktopPointerState> desktop;
    std::optional<OSStatus> flatStatus;  // when the read followed the global change
  };
  void StartPointerWork();
  void ShowPointerStatus(const PointerStatus& status);
  QFutureWatcher<PointerStatus>* fPointerWork = nullptr;
  bool fPointerBusy = false;       // a read runs; its answers are not shown yet
  bool fPointerReadAsked = false;  // a read waits for the one running
  bool fDesktopFlatAsked = false;  // the global change waits for the read running
  QString fDesktopFlatFailure;     // shown with the offer until it goes or is taken again

  std::unique_ptr<DeviceWatcher> fWatcher;
  Sleeper& fSleeper;
  std::vector<DeviceService> fRefusedServices;
  std::shared_ptr<UsbDeviceInterface> fChosenDevice;
  bool fAddingDevices = false;

  PaneEnvironment fEnvironment;
  QPointer<QWidget> fMainView;
  std::optional<PropertyList> fUserDefaults;  // the working copy, only while selected
  bool fBluetoothWarningDone = false;
  QMetaObject::Connection fKeyWindowConnection;
  QPointer<QDialog> fRunningPanel;
  QTimer* fBackgroundTimer = nullptr;
  QPointer<QLabel> fDeviceLabel;
  QPointer<QWidget> fSensitivityPage;  // the mouse's own pages
  QPointer<QWidget> fMousePage;
  std::vector<QPointer<QLabel>> fPageNotes;  // kPageNoMouse, one per page of the mouse
  QPointer<QLabel> fSensitivityLabelSlow2;  // the Y row's end labels, hidden with the Y row
  QPointer<QLabel> fSensitivityLabelFast2;
  // Last: its worker ends before anything its jobs use goes away.
  DeviceQueues fQueues;
};

// The one pane controller, for callbacks that have no controller at hand.
extern KorvidTesselPane* gKorvidTesselPane;

}  // namespace korvid
