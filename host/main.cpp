// SPDX-License-Identifier: MIT
// korvid-tessel-settings: the window that hosts the Korvid Tessel pane. It loads the pane
// library from the pane's bundle, calls MainViewDidLoad once, DidSelect whenever the
// window is shown and WillUnselect whenever it is hidden or closed (also when the session
// ends it with SIGTERM or SIGINT), and answers the standard quit event on the session bus.
// One window per session: a second start raises the first one's window and ends.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QIcon>
#include <QFileInfo>
#include <QLabel>
#include <QLibrary>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>
#include <functional>
#include <memory>

#include "pane/PaneLibrary.h"
#include "platform/events/QtDBusEventPort.h"
#include "platform/signals/TerminationSignals.h"

namespace {

using korvid::PreferencePane;

class SettingsWindow final : public QWidget {
 public:
  explicit SettingsWindow(PreferencePane& pane) : pane_(pane) {
    setWindowTitle(QStringLiteral("Korvid Tessel"));
    // The height follows the pane: its status lines come and go.
    setMinimumWidth(500);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pane_.LoadMainView(this));
    const QString version = QString::fromUtf8(pane_.Version());
    auto* footer = new QLabel(version.isEmpty() ? QStringLiteral("Korvid Tessel")
                                                : QStringLiteral("Korvid Tessel %1").arg(version),
                              this);
    footer->setObjectName(QStringLiteral("hostVersion"));
    footer->setAlignment(Qt::AlignRight);
    footer->setEnabled(false);
    layout->addWidget(footer);
  }

  // The pane is unselected before the application goes away.
  void Unselect() {
    if (!selected_) return;
    selected_ = false;
    pane_.WillUnselect();
  }

  // Called once the first frame has been painted.
  std::function<void()> onFirstFrame;

 protected:
  void showEvent(QShowEvent* event) override {
    QWidget::showEvent(event);
    // Selected from the loop, not from inside the show: selection may open a sheet.
    QTimer::singleShot(0, this, [this] { Select(); });
  }
  void hideEvent(QHideEvent* event) override {
    QWidget::hideEvent(event);
    Unselect();
  }
  void paintEvent(QPaintEvent* event) override {
    QWidget::paintEvent(event);
    if (!painted_ && onFirstFrame) {
      painted_ = true;
      QTimer::singleShot(0, this, onFirstFrame);
    }
  }

 private:
  void Select() {
    if (selected_ || !isVisible()) return;
    selected_ = true;
    pane_.DidSelect();
  }

  PreferencePane& pane_;
  bool selected_ = false;
  bool painted_ = false;
};

// The session-wide name of the one settings window, and its one method.
constexpr const char* kSettingsBusName = "com.korvid.tessel.Settings";
constexpr const char* kSettingsPath = "/com/korvid/tessel/Settings";
constexpr const char* kSettingsInterface = "com.korvid.tessel.Settings";
constexpr const char* kRaiseMethod = "Raise";

// Answers Raise by bringing the window to the front.
class RaiseHandler final : public QDBusVirtualObject {
 public:
  explicit RaiseHandler(QWidget& window) : window_(window) {}
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != QLatin1String(kRaiseMethod)) return false;
    window_.setWindowState((window_.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window_.show();
    window_.raise();
    window_.activateWindow();
    connection.send(message.createReply());
    return true;
  }
  QString introspect(const QString&) const override {
    return QStringLiteral("<interface name=\"%1\"><method name=\"%2\"/></interface>")
        .arg(QLatin1String(kSettingsInterface), QLatin1String(kRaiseMethod));
  }

 private:
  QWidget& window_;
};

// True when another settings window of this session runs; it has been asked to come to
// the front. Without a session bus every start opens its own window.
bool RaiseRunningWindow(QDBusConnection& bus) {
  if (!bus.isConnected()) return false;
  if (bus.registerService(QLatin1String(kSettingsBusName))) return false;
  QDBusMessage raise = QDBusMessage::createMethodCall(QLatin1String(kSettingsBusName), QLatin1String(kSettingsPath),
                                                      QLatin1String(kSettingsInterface), QLatin1String(kRaiseMethod));
  bus.call(raise, QDBus::Block, 2000);
  return true;
}

// Installed, this program lives in the pane's bundle folder itself; in the build tree it
// lives in <build>/bin and the bundle at <build>/<bundle path>.
QString DefaultBundleFolder() {
  const QDir here(QCoreApplication::applicationDirPath());
  if (here.exists(QStringLiteral("KorvidTesselPane.so"))) return here.absolutePath();
  return QDir(here.absolutePath() + QStringLiteral("/..")).absoluteFilePath(
      QStringLiteral(KORVID_PANE_BUNDLE_PATH));
}

// The command line, parsed.
struct HostOptions {
  QString bundleFolder;
  bool simulated = false;
  QString statePath;
  bool screenshot = false;
  QString screenshotFile;
  bool firstFrame = false;
  bool noWaits = false;
  // A picture or a measurement always runs alone.
  bool Measuring() const { return screenshot || firstFrame; }
};

HostOptions ParseCommandLine(const QApplication& application) {
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("Settings of the Korvid Tessel mouse."));
  parser.addHelpOption();
  const QCommandLineOption simulated(QStringLiteral("simulated"),
                                     QStringLiteral("Attach the simulated mouse (its state is kept between runs)."));
  const QCommandLineOption bundle(QStringLiteral("bundle"), QStringLiteral("The pane bundle folder."),
                                  QStringLiteral("folder"), DefaultBundleFolder());
  const QCommandLineOption statePath(QStringLiteral("simulated-state"),
                                     QStringLiteral("The simulated mouse's state file."), QStringLiteral("file"));
  const QCommandLineOption screenshot(QStringLiteral("screenshot"),
                                      QStringLiteral("Save a picture of the window once it is drawn, then quit."),
                                      QStringLiteral("file.png"));
  const QCommandLineOption firstFrame(QStringLiteral("quit-after-first-frame"),
                                      QStringLiteral("Quit once the first frame is drawn and print how long it took."));
  const QCommandLineOption noWaits(QStringLiteral("no-device-waits"),
                                   QStringLiteral("With --simulated: skip the mouse's pauses (for measurements)."));
  parser.addOptions({simulated, bundle, statePath, screenshot, firstFrame, noWaits});
  parser.process(application);

  HostOptions options;
  options.bundleFolder = parser.value(bundle);
  options.simulated = parser.isSet(simulated);
  options.statePath = parser.value(statePath);
  options.screenshot = parser.isSet(screenshot);
  options.screenshotFile = parser.value(screenshot);
  options.firstFrame = parser.isSet(firstFrame);
  options.noWaits = parser.isSet(noWaits);
  return options;
}

// Loads the pane library from the bundle and creates the pane; null, after saying why,
// when the library cannot be loaded or makes no pane.
std::unique_ptr<PreferencePane> CreatePane(QLibrary& library, const HostOptions& host) {
  library.setFileName(QDir(host.bundleFolder).filePath(QStringLiteral("KorvidTesselPane.so")));
  auto create = reinterpret_cast<KorvidTesselPaneCreateFunction>(library.resolve(kKorvidTesselPaneFactory));
  if (create == nullptr) {
    std::fprintf(stderr, "korvid-tessel-settings: cannot load the pane from %s: %s\n",
                 qPrintable(host.bundleFolder), qPrintable(library.errorString()));
    return nullptr;
  }
  const QByteArray bundleBytes = host.bundleFolder.toUtf8();
  const QByteArray stateBytes = host.statePath.toUtf8();
  korvid::PaneHostOptions options;
  options.bundleFolder = bundleBytes.constData();
  options.simulated = host.simulated;
  options.simulatedStatePath = stateBytes.constData();
  options.skipDeviceWaits = options.simulated && host.noWaits;
  return std::unique_ptr<PreferencePane>(create(&options));
}

// Once the first frame is drawn and the pane has read the mouse's settings, saves a
// picture of the window to `file` and quits.
void SaveScreenshotWhenSettled(SettingsWindow& window, PreferencePane& pane, const QString& file) {
  window.onFirstFrame = [&window, &pane, file] {
    auto* poll = new QTimer(&window);
    poll->setInterval(50);
    QObject::connect(poll, &QTimer::timeout, &window, [&window, &pane, file, poll] {
      if (pane.DeviceWorkPending()) return;
      poll->stop();
      window.repaint();
      if (!window.grab().save(file)) {
        std::fprintf(stderr, "korvid-tessel-settings: cannot write %s\n", qPrintable(file));
      }
      QCoreApplication::quit();
    });
    poll->start();
  };
}

// Prints how long the first frame took from `sinceStart` and quits.
void QuitAfterFirstFrame(SettingsWindow& window, const QElapsedTimer& sinceStart) {
  window.onFirstFrame = [&sinceStart] {
    std::printf("first frame after %lld ms\n", static_cast<long long>(sinceStart.elapsed()));
    std::fflush(stdout);
    QCoreApplication::quit();
  };
}

}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer sinceStart;
  sinceStart.start();
  // Before any thread exists: SIGTERM and SIGINT then reach the main loop only.
  korvid::BlockTerminationSignals();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("korvid-tessel-settings"));
  QApplication::setDesktopFileName(QStringLiteral("korvid-tessel-settings"));
  const HostOptions host = ParseCommandLine(application);
  QApplication::setWindowIcon(QIcon(QDir(host.bundleFolder).filePath(QStringLiteral("Resources/korvid-tessel.svg"))));

  // A second start raises the first window; a picture or a measurement always runs alone.
  QDBusConnection bus = korvid::QtDBusEventPort::SessionBus();
  if (!host.Measuring() && RaiseRunningWindow(bus)) return 0;
  QLibrary library;
  std::unique_ptr<PreferencePane> pane = CreatePane(library, host);
  if (!pane) return 1;

  // Other programs (the uninstaller) ask this one to quit through its event port; without
  // a session bus the window simply runs without one.
  korvid::QtDBusEventPort events;
  events.Export();

  int status = 0;
  {
    SettingsWindow window(*pane);
    pane->MainViewDidLoad();
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &window, [&window] { window.Unselect(); });
    // The session's end or a Ctrl-C closes the window as a normal quit does.
    korvid::TerminationSignals termination([] { QCoreApplication::quit(); });
    RaiseHandler raiser(window);
    if (!host.Measuring() && bus.isConnected()) {
      bus.registerVirtualObject(QLatin1String(kSettingsPath), &raiser);
    }
    if (host.screenshot) {
      SaveScreenshotWhenSettled(window, *pane, host.screenshotFile);
    } else if (host.firstFrame) {
      QuitAfterFirstFrame(window, sinceStart);
    }
    window.show();
    status = QApplication::exec();
    window.Unselect();
    if (bus.isConnected()) bus.unregisterObject(QLatin1String(kSettingsPath));
  }
  pane.reset();
  return status;
}
