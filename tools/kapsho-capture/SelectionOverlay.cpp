#include "tools/kapsho-capture/SelectionOverlay.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <cstdlib>

#include "tools/kapsho-capture/X11Display.h"

namespace kapsho_capture {

namespace {

// A press and release this close together is a click, not a rectangle.
constexpr int ClickSlop = 2;
// The tests and the user's scripts find the overlay by this title once it takes input.
const QString OverlayTitle = QStringLiteral("Kapsho Capture Selection");

// Waits until the X server has handled everything asked of it, the overlay's removal included:
// a capture started the moment this one ends must not see the overlay.
void waitForTheServer() {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (!x11) return;
  xcb_connection_t* connection = x11->connection();
  std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}

}  // namespace

SelectionOverlay::SelectionOverlay(const QImage& frozen, QRect desktop, const X11Display& display)
    : frozen_(frozen), desktop_(desktop), display_(display) {
  // Over everything and out of the window manager's hands, like a menu.
  setFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint);
  setGeometry(desktop_);
  setCursor(Qt::CrossCursor);
}

std::optional<QRect> SelectionOverlay::choose() {
  show();
  loop_.exec();
  destroy();
  waitForTheServer();
  return choice_;
}

void SelectionOverlay::exposeEvent(QExposeEvent* event) {
  QRasterWindow::exposeEvent(event);
  if (grabbed_ || !isExposed()) return;
  // Without the grabs a window outside the window manager gets no keys.
  grabbed_ = setKeyboardGrabEnabled(true) && setMouseGrabEnabled(true);
  if (grabbed_) setTitle(OverlayTitle);
}

void SelectionOverlay::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawImage(QRect(QPoint(), size()), frozen_);
  if (!anchor_) return;
  const QRect chosen = dragged().translated(-desktop_.topLeft());
  QRegion shade(QRect(QPoint(), size()));
  painter.setClipRegion(shade.subtracted(chosen));
  painter.fillRect(QRect(QPoint(), size()), QColor(0, 0, 0, 96));
  painter.setClipping(false);
  painter.setPen(QPen(Qt::white, 1, Qt::DashLine));
  painter.drawRect(chosen.adjusted(0, 0, -1, -1));
}

void SelectionOverlay::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  anchor_ = current_ = event->globalPosition().toPoint();
  update();
}

void SelectionOverlay::mouseMoveEvent(QMouseEvent* event) {
  if (!anchor_) return;
  current_ = event->globalPosition().toPoint();
  update();
}

void SelectionOverlay::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !anchor_) return;
  current_ = event->globalPosition().toPoint();
  const QRect chosen = dragged();
  const bool click = chosen.width() <= ClickSlop && chosen.height() <= ClickSlop;
  finish(click ? clickedAt(current_) : chosen);
}

void SelectionOverlay::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape)
    finish(std::nullopt);
  else if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
    finish(anchor_ && !dragged().isEmpty() ? dragged() : desktop_);
}

// From the corner pressed to the pointer, the pointer's pixel excluded.
QRect SelectionOverlay::dragged() const {
  const QPoint from(std::min(anchor_->x(), current_.x()), std::min(anchor_->y(), current_.y()));
  const QPoint to(std::max(anchor_->x(), current_.x()), std::max(anchor_->y(), current_.y()));
  return QRect(from, QSize(to.x() - from.x(), to.y() - from.y())) & desktop_;
}

QRect SelectionOverlay::clickedAt(QPoint global) const {
  const auto window = display_.windowAt(global, static_cast<std::uint32_t>(winId()));
  if (window && !(*window & desktop_).isEmpty()) return *window & desktop_;
  const QScreen* screen = QGuiApplication::screenAt(global);
  return screen ? screen->geometry() & desktop_ : desktop_;
}

void SelectionOverlay::finish(std::optional<QRect> choice) {
  choice_ = choice;
  loop_.quit();
}

}  // namespace kapsho_capture
