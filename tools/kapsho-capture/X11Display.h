// The X server named by DISPLAY, asked directly for what Qt does not tell: whether it answers
// at all, and which window lies under a point.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include <QPoint>
#include <QRect>

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

 private:
  X11Display(xcb_connection_t* connection, std::uint32_t root);
  xcb_connection_t* connection_;
  std::uint32_t root_;
};

}  // namespace kapsho_capture
