// The frozen image of the screens, shown over everything: the user drags a rectangle over it.
// Escape cancels; Enter or releasing the button accepts; a click without a drag takes the
// window under the pointer, else the screen under it.
#pragma once

#include <QEventLoop>
#include <QImage>
#include <QRasterWindow>
#include <optional>

namespace kapsho_capture {

class X11Display;

class SelectionOverlay : public QRasterWindow {
  Q_OBJECT

 public:
  SelectionOverlay(const QImage& frozen, QRect desktop, const X11Display& display);

  // Shows the overlay until the user decides: the chosen part, in desktop coordinates, or
  // nullopt when the user cancelled.
  std::optional<QRect> choose();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void exposeEvent(QExposeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QRect dragged() const;
  QRect clickedAt(QPoint global) const;
  void finish(std::optional<QRect> choice);

  const QImage& frozen_;
  const QRect desktop_;
  const X11Display& display_;
  bool grabbed_ = false;
  std::optional<QPoint> anchor_;
  QPoint current_;
  std::optional<QRect> choice_;
  QEventLoop loop_;
};

}  // namespace kapsho_capture
