#include "tools/kapsho-capture/X11Capture.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QScreen>

#include "tools/kapsho-capture/SelectionOverlay.h"

namespace kapsho_capture {

namespace {

QRect desktopGeometry() {
  QRect desktop;
  for (const QScreen* screen : QGuiApplication::screens()) desktop |= screen->geometry();
  return desktop;
}

// One screen needs no copy; several are laid out as the desktop places them.
QImage grabScreens(QRect desktop) {
  const auto screens = QGuiApplication::screens();
  if (screens.size() == 1) return screens.front()->grabWindow(0).toImage();
  QImage whole(desktop.size(), QImage::Format_RGB32);
  whole.fill(Qt::black);
  QPainter painter(&whole);
  for (QScreen* screen : screens)
    painter.drawPixmap(screen->geometry().topLeft() - desktop.topLeft(), screen->grabWindow(0));
  return whole;
}

// The chosen part of the desktop in the image's pixels, which may be denser than the desktop's.
QRect inImage(QRect chosen, QRect desktop, const QImage& image) {
  const double scale = double(image.width()) / desktop.width();
  const QRect local = chosen.translated(-desktop.topLeft());
  return QRect(qRound(local.x() * scale), qRound(local.y() * scale), qRound(local.width() * scale),
               qRound(local.height() * scale));
}

}  // namespace

std::optional<QImage> captureX11(bool interactive, const X11Display& display) {
  const QRect desktop = desktopGeometry();
  QImage image = grabScreens(desktop);
  if (!interactive) return image;
  SelectionOverlay overlay(image, desktop, display);
  const auto chosen = overlay.choose();
  if (!chosen) return std::nullopt;
  return image.copy(inImage(*chosen, desktop, image));
}

}  // namespace kapsho_capture
