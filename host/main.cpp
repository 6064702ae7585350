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
#include <QTabWidget>
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
  QString behaviour;
  int tab = -1;  // the page to show first; -1: the pane's own choice
  bool startHelper = true;
  // A picture or a measurement always runs alone.
  bool Measuring() const { return screenshot || firstFrame; }
};

// The options, in one place for both parses below.
struct HostCommandLine {
  QCommandLineParser parser;
  QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and quit.")};
  QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("Show the version and quit.")};
  QCommandLineOption simulated{QStringLiteral("simulated"),
                               QStringLiteral("Attach the simulated mouse (its state is kept between runs).")};
  QCommandLineOption bundle{QStringLiteral("bundle"), QStringLiteral("The pane bundle folder."), QStringLiteral("folder")};
  QCommandLineOption statePath{QStringLiteral("simulated-state"), QStringLiteral("The simulated mouse's state file."),
                               QStringLiteral("file")};
  QCommandLineOption screenshot{QStringLiteral("screenshot"),
                                QStringLiteral("Save a picture of the window once it is drawn, then quit."),
                                QStringLiteral("file.png")};
  QCommandLineOption tab{QStringLiteral("tab"), QStringLiteral("Show this page first (counted from 0)."),
                         QStringLiteral("number")};
  QCommandLineOption firstFrame{QStringLiteral("quit-after-first-frame"),
                                QStringLiteral("Quit once the first frame is drawn and print how long it took.")};
  QCommandLineOption noWaits{QStringLiteral("no-device-waits"),
                             QStringLiteral("With --simulated: skip the mouse's pauses (for measurements).")};
  QCommandLineOption behaviour{QStringLiteral("simulated-mouse"),
                               QStringLiteral("With --simulated: a mouse that is \"silent\" (never answers), "
                                              "\"refused\" (not ours to open), or \"none\" at all."),
                               QStringLiteral("behaviour")};
  QCommandLineOption noHelper{QStringLiteral("no-helper"),
                              QStringLiteral("Do not start the acceleration helper (for tests and pictures).")};

  HostCommandLine() {
    parser.setApplicationDescription(QStringLiteral("Settings of the Korvid Tessel mouse."));
    parser.addOptions({help, version, simulated, bundle, statePath, screenshot, tab, firstFrame, noWaits, behaviour, noHelper});
  }
};

// --help and --version answer before the window system is touched, so they work without a
// display. Returns the exit status when the program is done, or -1 to go on.
int AnswerWithoutDisplay(int argc, char** argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
  HostCommandLine line;
  // Options of Qt itself (-platform, -display, ...) are unknown here: the full parse after
  // the application exists judges them.
  if (!line.parser.parse(arguments)) return -1;
  if (line.parser.isSet(line.help)) {
    // Without an application the parser cannot know the program's name.
    std::fputs(qPrintable(line.parser.helpText().replace(QStringLiteral("<executable_name>"),
                                                         QStringLiteral("korvid-tessel-settings"))),
               stdout);
    return 0;
  }
  if (line.parser.isSet(line.version)) {
    std::printf("korvid-tessel-settings %s\n", KORVID_VERSION);
    return 0;
  }
  return -1;
}

HostOptions ParseCommandLine(const QApplication& application) {
  HostCommandLine line;
  line.parser.process(application);
  const QCommandLineParser& parser = line.parser;
  HostOptions options;
  options.bundleFolder = parser.isSet(line.bundle) ? parser.value(line.bundle) : DefaultBundleFolder();
  options.simulated = parser.isSet(line.simulated);
  options.statePath = parser.value(line.statePath);
  options.screenshot = parser.isSet(line.screenshot);
  options.screenshotFile = parser.value(line.screenshot);
  options.tab = parser.isSet(line.tab) ? parser.value(line.tab).toInt() : -1;
  options.firstFrame = parser.isSet(line.firstFrame);
  options.noWaits = parser.isSet(line.noWaits);
  options.startHelper = !parser.isSet(line.noHelper);
  options.behaviour = parser.value(line.behaviour);
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
  const QByteArray behaviourBytes = host.behaviour.toUtf8();
  korvid::PaneHostOptions options;
  options.bundleFolder = bundleBytes.constData();
  options.simulated = host.simulated;
  options.simulatedStatePath = stateBytes.constData();
  options.skipDeviceWaits = options.simulated && host.noWaits;
  options.startHelper = host.startHelper;
  options.simulatedBehaviour = behaviourBytes.constData();
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
  if (const int answered = AnswerWithoutDisplay(argc, argv); answered >= 0) return answered;
  QApplication application(argc, argv);
  QApplication::setApplicationVersion(QStringLiteral(KORVID_VERSION));
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
    if (host.tab >= 0) {
      if (auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("tesselTabsMain"))) tabs->setCurrentIndex(host.tab);
    }
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
