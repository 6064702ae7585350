// SPDX-License-Identifier: MIT
// The Acceleration page's lines on where the curve runs and what the desktop adds to it, and
// the offer to turn the desktop's one global setting flat. The reads (sysfs, the runtime
// folder, the X server, the compositor, the session bus) wait on other processes, so they
// run on Qt's thread pool, one at a time; their answers are shown on the window's thread.
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QtConcurrent/QtConcurrentRun>
#include <utility>

#include "pane/KorvidTesselPane.h"

namespace korvid {
namespace {

QString CurvePathText(CurvePath path) {
  switch (path) {
    case CurvePath::kKernelModule:
      return QString::fromUtf8(kStatusCurveKernelModule);
    case CurvePath::kDriverDaemon:
      return QString::fromUtf8(kStatusCurveDriverDaemon);
    case CurvePath::kNowhere:
      break;
  }
  return QString::fromUtf8(kStatusCurveNowhere);
}

QString DesktopText(const DesktopPointerState& state) {
  const char* sentence = kStatusDesktopUnknown;
  switch (state.acceleration) {
    case DesktopAcceleration::kFlat:
      sentence = kStatusDesktopFlat;
      break;
    case DesktopAcceleration::kStacked:
      sentence = state.globalSettingOnly ? kStatusDesktopStackedEveryMouse : kStatusDesktopStacked;
      break;
    case DesktopAcceleration::kUnknown:
      break;
  }
  QString text = QString::fromUtf8(sentence);
  if (!state.desktop.empty()) text += QStringLiteral(" (%1)").arg(QString::fromStdString(state.desktop));
  return text + QLatin1Char('.');
}

// Only a desktop with one setting for every mouse needs the user's word to be flat.
bool OffersDesktopFlat(const DesktopPointerState& state) {
  return state.globalSettingOnly && state.acceleration != DesktopAcceleration::kFlat;
}

}  // namespace

bool KorvidTesselPane::PointerStatusPending() const { return fPointerBusy || fPointerReadAsked || fDesktopFlatAsked; }

void KorvidTesselPane::RefreshPointerStatus() {
  fPointerReadAsked = true;
  StartPointerWork();
}

void KorvidTesselPane::actionButtonDesktopFlat() {
  if (!fEnvironment.desktopPointers) return;
  // Every mouse of the user is affected: nothing changes without the answer.
  QPointer<QMessageBox> question =
      new QMessageBox(QMessageBox::Warning, QString::fromUtf8(kTitleDesktopFlat),
                      QString::fromUtf8(kQuestionDesktopFlat), QMessageBox::NoButton);
  question->setObjectName(QStringLiteral("tesselPanelDesktopFlat"));
  QPushButton* confirm = question->addButton(QString::fromUtf8(kButtonDesktopFlatConfirm), QMessageBox::AcceptRole);
  confirm->setObjectName(QStringLiteral("tesselPanelDesktopFlatOK"));
  QPushButton* cancel = question->addButton(QMessageBox::Cancel);
  cancel->setObjectName(QStringLiteral("tesselPanelDesktopFlatCancel"));
  question->setDefaultButton(cancel);
  question->setEscapeButton(cancel);
  question->setWindowFlag(Qt::Sheet);
  RunPanelDialogue(question);
  const bool confirmed = question != nullptr && question->clickedButton() == confirm;
  delete question.data();
  if (!confirmed) return;

  fDesktopFlatAsked = true;
  if (fOutlets.tesselButtonDesktopFlat != nullptr) fOutlets.tesselButtonDesktopFlat->setEnabled(false);
  StartPointerWork();
}

void KorvidTesselPane::StartPointerWork() {
  if (fPointerBusy) return;  // what was asked runs when the running read ends
  const bool turnFlat = std::exchange(fDesktopFlatAsked, false);
  const bool read = std::exchange(fPointerReadAsked, false) || turnFlat;
  std::function<CurvePath()> curvePath = fEnvironment.curvePath;
  std::shared_ptr<DesktopPointers> desktop = fEnvironment.desktopPointers;
  if (!read || (!curvePath && !desktop)) return;

  if (fPointerWork == nullptr) {
    fPointerWork = new QFutureWatcher<PointerStatus>(this);
    connect(fPointerWork, &QFutureWatcherBase::finished, this, [this] {
      fPointerBusy = false;
      ShowPointerStatus(fPointerWork->result());
      StartPointerWork();
    });
  }
  fPointerBusy = true;
  fPointerWork->setFuture(QtConcurrent::run([curvePath = std::move(curvePath), desktop = std::move(desktop), turnFlat] {
    PointerStatus status;
    // The change first, so the read that follows shows its effect.
    if (turnFlat && desktop) status.flatStatus = desktop->SetGlobalProfileFlat();
    if (curvePath) status.curvePath = curvePath();
    if (desktop) status.desktop = desktop->Read();
    return status;
  }));
}

void KorvidTesselPane::ShowPointerStatus(const PointerStatus& status) {
  if (fMainView == nullptr) return;  // the view has gone with its window
  if (QLabel* label = fOutlets.tesselTextCurvePath) {
    if (status.curvePath) label->setText(CurvePathText(*status.curvePath));
    label->setVisible(status.curvePath.has_value());
  }

  const bool offer = status.desktop && OffersDesktopFlat(*status.desktop);
  if (status.flatStatus) {
    fDesktopFlatFailure =
        *status.flatStatus == noErr ? QString() : QString::fromUtf8(kStatusDesktopFlatFailed).arg(*status.flatStatus);
  }
  // A failure stays beside the offer until the offer goes or is taken again.
  if (!offer) fDesktopFlatFailure.clear();
  if (QLabel* label = fOutlets.tesselTextDesktopAcceleration) {
    if (status.desktop) {
      QString text = DesktopText(*status.desktop);
      if (!fDesktopFlatFailure.isEmpty()) text += QLatin1Char('\n') + fDesktopFlatFailure;
      label->setText(text);
    }
    label->setVisible(status.desktop.has_value());
  }
  if (QPushButton* button = fOutlets.tesselButtonDesktopFlat) {
    button->setVisible(offer);
    button->setEnabled(!fDesktopFlatAsked);
  }
}

}  // namespace korvid
