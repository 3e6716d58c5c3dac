#include "tools/kapsho-capture/X11Display.h"

#include <sys/mman.h>
#include <unistd.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <utility>

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
  return std::unique_ptr<X11Display>(new X11Display(connection, screens.data));
}

X11Display::X11Display(xcb_connection_t* connection, const void* screen)
    : connection_(connection),
      screen_(screen),
      root_(static_cast<const xcb_screen_t*>(screen)->root) {}

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

bool X11Display::sendsRGB32() const {
  const auto* screen = static_cast<const xcb_screen_t*>(screen_);
  const xcb_setup_t* setup = xcb_get_setup(connection_);
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  bool wordPerPixel = false;
  for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem;
       xcb_format_next(&formats))
    if (formats.data->depth == screen->root_depth)
      wordPerPixel = formats.data->bits_per_pixel == 32 && formats.data->scanline_pad == 32;
  for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem;
       xcb_depth_next(&depths))
    for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem;
         xcb_visualtype_next(&visuals))
      if (visuals.data->visual_id == screen->root_visual)
        return wordPerPixel && visuals.data->red_mask == 0xff0000 &&
               visuals.data->green_mask == 0xff00 && visuals.data->blue_mask == 0xff;
  return false;
}

std::optional<QImage> X11Display::rootImage() const {
  if (!sendsRGB32()) return std::nullopt;
  const auto* screen = static_cast<const xcb_screen_t*>(screen_);
  const QSize size(screen->width_in_pixels, screen->height_in_pixels);
  if (auto image = sharedRootImage(size)) return image;
  return sentRootImage(size);
}

namespace {

struct Mapping {
  void* memory;
  size_t size;
};

void unmap(void* mapping) {
  const auto* shared = static_cast<Mapping*>(mapping);
  munmap(shared->memory, shared->size);
  delete shared;
}

}  // namespace

// The server copies the screen straight into memory it shares with us, where it can (a local
// server with shared memory passed as a descriptor): sent through the socket, the pixels come in
// a few hundred kilobytes at a time, each waiting on the server, which took longer than
// encoding them.
std::optional<QImage> X11Display::sharedRootImage(QSize size) const {
  // A request of an extension the server lacks would close the connection.
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection_, &xcb_shm_id);
  if (!extension || !extension->present) return std::nullopt;
  auto version =
      own(xcb_shm_query_version_reply(connection_, xcb_shm_query_version(connection_), nullptr));
  // Descriptors are passed from version 1.2 on.
  if (!version || std::pair<int, int>(version->major_version, version->minor_version) <
                      std::pair<int, int>(1, 2))
    return std::nullopt;
  const size_t bytes = static_cast<size_t>(size.width()) * size.height() * 4;
  const int fd = memfd_create("screen", MFD_CLOEXEC);
  if (fd < 0) return std::nullopt;
  // Populated at once: page by page, the faults cost more than the copy.
  void* memory =
      ftruncate(fd, static_cast<off_t>(bytes)) == 0
          ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0)
          : MAP_FAILED;
  if (memory == MAP_FAILED) {
    close(fd);
    return std::nullopt;
  }
  auto* mapping = new Mapping{memory, bytes};
  const xcb_shm_seg_t segment = xcb_generate_id(connection_);
  // The request hands the descriptor over and closes it here.
  xcb_shm_attach_fd(connection_, segment, fd, 0);
  auto reply = own(xcb_shm_get_image_reply(
      connection_,
      xcb_shm_get_image(connection_, root_, 0, 0, static_cast<uint16_t>(size.width()),
                        static_cast<uint16_t>(size.height()), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                        segment, 0),
      nullptr));
  xcb_shm_detach(connection_, segment);
  xcb_flush(connection_);
  if (!reply) {
    unmap(mapping);
    return std::nullopt;
  }
  return QImage(static_cast<uchar*>(memory), size.width(), size.height(), size.width() * 4,
                QImage::Format_RGB32, &unmap, mapping);
}

std::optional<QImage> X11Display::sentRootImage(QSize size) const {
  const int width = size.width(), height = size.height();
  xcb_get_image_reply_t* reply = xcb_get_image_reply(
      connection_,
      xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, 0, 0, width, height, ~0u),
      nullptr);
  if (!reply) return std::nullopt;
  if (xcb_get_image_data_length(reply) < width * height * 4) {
    std::free(reply);
    return std::nullopt;
  }
  // The picture is the reply's own memory, freed with it: no copy of the screen's bytes.
  return QImage(xcb_get_image_data(reply), width, height, width * 4, QImage::Format_RGB32,
                &std::free, reply);
}

}  // namespace kapsho_capture
