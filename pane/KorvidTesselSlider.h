// SPDX-License-Identifier: MIT
// The sensitivity slider: while it is dragged its action updates the record and the text
// only; the mouse gets the DPI once, after the button is released.
#pragma once

#include <QSlider>

namespace korvid {

class KorvidTesselSlider : public QSlider {
  Q_OBJECT

 public:
  explicit KorvidTesselSlider(QWidget* parent = nullptr);

 signals:
  // The value a person settled on: the mouse button or the moving key was let go.
  void valueCommitted();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  // Keyboard steps are sent once the key is let go, like a drag.
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  // The wheel does not move the slider: each notch would be a blocking exchange with the mouse.
  void wheelEvent(QWheelEvent* event) override;

 private:
  int valueAtKeyPress_ = -1;
};

}  // namespace korvid
