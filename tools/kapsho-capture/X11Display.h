// The X server named by DISPLAY, asked directly for what Qt does not tell: whether it answers
// at all, and which window lies under a point; and for the whole screen's pixels, sooner than
// Qt can start and grab them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>

struct xcb_connection_t;

namespace kapsho_capture {

class X11Display {
 public:
  // nullptr when DISPLAY names no X server that answers.
  static std::unique_ptr<X11Display> open();
  ~X11Display();
  X11Display(const X11Display&) = delete;
  X11Display& operator=(const X11Display&) = delete;

  // The topmost viewable window that holds the point (root coordinates), with its border and
  // frame; `ignored` (the selection overlay) is looked through. nullopt over the bare root.
  std::optional<QRect> windowAt(QPoint point, std::uint32_t ignored) const;

  // Whether the screen's pixels come as 32-bit words of 8-bit red, green and blue, least
  // significant byte first: what QImage::Format_RGB32 holds, so rootImage can take them as sent.
  bool sendsRGB32() const;
  // The root window, every screen of it, as the server holds it; nullopt when it cannot be read
  // (or the server sends another format: see sendsRGB32).
  std::optional<QImage> rootImage() const;

 private:
  X11Display(xcb_connection_t* connection, const void* screen);
  std::optional<QImage> sharedRootImage(QSize size) const;
  std::optional<QImage> sentRootImage(QSize size) const;
  xcb_connection_t* connection_;
  const void* screen_;  // the xcb_screen_t in the connection's setup
  std::uint32_t root_;
};

}  // namespace kapsho_capture
