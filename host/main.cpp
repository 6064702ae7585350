// korvid-tessel-settings: the window that hosts the Korvid Tessel pane. It loads the pane
// library from the pane's bundle, calls MainViewDidLoad once, DidSelect whenever the
// window is shown and WillUnselect whenever it is hidden or closed, and answers the
// standard quit event on the session bus.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
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

namespace {

using korvid::PreferencePane;

class SettingsWindow final : public QWidget {
 public:
  explicit SettingsWindow(PreferencePane& pane) : pane_(pane) {
    setWindowTitle(QStringLiteral("Korvid Tessel"));
    setMinimumSize(500, 320);
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

// Installed, this program lives in the pane's bundle folder itself; in the build tree it
// lives in <build>/bin and the bundle at <build>/<bundle path>.
QString DefaultBundleFolder() {
  const QDir here(QCoreApplication::applicationDirPath());
  if (here.exists(QStringLiteral("KorvidTesselPane.so"))) return here.absolutePath();
  return QDir(here.absolutePath() + QStringLiteral("/..")).absoluteFilePath(
      QStringLiteral(KORVID_PANE_BUNDLE_PATH));
}

}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer sinceStart;
  sinceStart.start();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("korvid-tessel-settings"));
  QApplication::setDesktopFileName(QStringLiteral("korvid-tessel-settings"));

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

  const QString bundleFolder = parser.value(bundle);
  QLibrary library(QDir(bundleFolder).filePath(QStringLiteral("KorvidTesselPane.so")));
  auto create = reinterpret_cast<KorvidTesselPaneCreateFunction>(library.resolve(kKorvidTesselPaneFactory));
  if (create == nullptr) {
    std::fprintf(stderr, "korvid-tessel-settings: cannot load the pane from %s: %s\n",
                 qPrintable(bundleFolder), qPrintable(library.errorString()));
    return 1;
  }

  const QByteArray bundleBytes = bundleFolder.toUtf8();
  const QByteArray stateBytes = parser.value(statePath).toUtf8();
  korvid::PaneHostOptions options;
  options.bundleFolder = bundleBytes.constData();
  options.simulated = parser.isSet(simulated);
  options.simulatedStatePath = stateBytes.constData();
  options.skipDeviceWaits = options.simulated && parser.isSet(noWaits);
  std::unique_ptr<PreferencePane> pane(create(&options));
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
    if (parser.isSet(screenshot)) {
      const QString file = parser.value(screenshot);
      window.onFirstFrame = [&window, file] {
        if (!window.grab().save(file)) std::fprintf(stderr, "korvid-tessel-settings: cannot write %s\n", qPrintable(file));
        QCoreApplication::quit();
      };
    } else if (parser.isSet(firstFrame)) {
      window.onFirstFrame = [&sinceStart] {
        std::printf("first frame after %lld ms\n", static_cast<long long>(sinceStart.elapsed()));
        std::fflush(stdout);
        QCoreApplication::quit();
      };
    }
    window.show();
    status = QApplication::exec();
    window.Unselect();
  }
  pane.reset();
  return status;
}
