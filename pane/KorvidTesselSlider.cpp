// SPDX-License-Identifier: MIT
#include "pane/KorvidTesselSlider.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>


namespace korvid {

KorvidTesselSlider::KorvidTesselSlider(QWidget* parent) : QSlider(parent) {}

void KorvidTesselSlider::mouseReleaseEvent(QMouseEvent* event) {
  QSlider::mouseReleaseEvent(event);
  if (event->button() != Qt::LeftButton) return;
  emit valueCommitted();
}

void KorvidTesselSlider::keyPressEvent(QKeyEvent* event) {
  if (!event->isAutoRepeat() && valueAtKeyPress_ < 0) valueAtKeyPress_ = value();
  QSlider::keyPressEvent(event);
}

void KorvidTesselSlider::keyReleaseEvent(QKeyEvent* event) {
  QSlider::keyReleaseEvent(event);
  if (event->isAutoRepeat() || valueAtKeyPress_ < 0) return;
  const bool moved = valueAtKeyPress_ != value();
  valueAtKeyPress_ = -1;
  if (moved) emit valueCommitted();
}

void KorvidTesselSlider::wheelEvent(QWheelEvent* event) { event->ignore(); }

}  // namespace korvid
