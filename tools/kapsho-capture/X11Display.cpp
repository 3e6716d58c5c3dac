#include "tools/kapsho-capture/X11Display.h"

#include <xcb/xcb.h>

#include <cstdlib>

namespace kapsho_capture {

namespace {

// xcb hands every reply over to be freed with free().
template <typename Reply>
using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

template <typename Reply>
ReplyPtr<Reply> own(Reply* reply) {
  return ReplyPtr<Reply>(reply, &std::free);
}

}  // namespace

std::unique_ptr<X11Display> X11Display::open() {
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
  return std::unique_ptr<X11Display>(new X11Display(connection, screens.data->root));
}

X11Display::X11Display(xcb_connection_t* connection, std::uint32_t root)
    : connection_(connection), root_(root) {}

X11Display::~X11Display() {
  xcb_disconnect(connection_);
}

std::optional<QRect> X11Display::windowAt(QPoint point, std::uint32_t ignored) const {
  auto tree = own(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr));
  if (!tree) return std::nullopt;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  // Children come bottom to top: the first hit from the end is the visible one.
  for (int i = xcb_query_tree_children_length(tree.get()) - 1; i >= 0; --i) {
    if (children[i] == ignored) continue;
    auto attributes = own(xcb_get_window_attributes_reply(
        connection_, xcb_get_window_attributes(connection_, children[i]), nullptr));
    if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
        attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY)
      continue;
    auto geometry = own(
        xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, children[i]), nullptr));
    if (!geometry) continue;
    const int border = geometry->border_width;
    const QRect outer(geometry->x, geometry->y, geometry->width + 2 * border,
                      geometry->height + 2 * border);
    if (outer.contains(point)) return outer;
  }
  return std::nullopt;
}

}  // namespace kapsho_capture
