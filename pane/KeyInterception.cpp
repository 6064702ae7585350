// SPDX-License-Identifier: MIT
#include "pane/KeyInterception.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <memory>

#include "pane/KorvidTesselPane.h"

namespace korvid {
namespace {

// The filter keeps one fact between events: that the key equivalent of the keystroke
// under way was taken, so the same keystroke's key-down that Qt sends next is dropped
// without refreshing a second time.
class KorvidTesselNSAppPatch final : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::ShortcutOverride) return QObject::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    if (type == QEvent::KeyPress && takenKey_ != 0) {
      const bool same = key->key() == takenKey_;
      takenKey_ = 0;
      if (same) return true;
    }
    if (gKorvidTesselPane == nullptr || !gKorvidTesselPane->ReceiveKeystroke(*key)) {
      return QObject::eventFilter(watched, event);
    }
    if (type == QEvent::ShortcutOverride) {
      // Accepted: no shortcut of the host fires for it.
      key->accept();
      takenKey_ = key->key();
    }
    return true;
  }

 private:
  int takenKey_ = 0;
};

std::unique_ptr<KorvidTesselNSAppPatch>& Patch() {
  static std::unique_ptr<KorvidTesselNSAppPatch> patch;
  return patch;
}

}  // namespace

bool KorvidTesselSwapNSAppMethods() {
  std::unique_ptr<KorvidTesselNSAppPatch>& patch = Patch();
  QCoreApplication* application = QCoreApplication::instance();
  if (patch) {
    if (application != nullptr) application->removeEventFilter(patch.get());
    patch.reset();
  } else if (application != nullptr) {
    patch = std::make_unique<KorvidTesselNSAppPatch>();
    application->installEventFilter(patch.get());
  }
  return true;
}

bool KorvidTesselNSAppPatchInstalled() { return Patch() != nullptr; }

}  // namespace korvid
