// Captures on an X11 display through Qt (a QGuiApplication on the xcb platform must exist).
#pragma once

#include <QImage>
#include <optional>

namespace kapsho_capture {

class X11Display;

// Every screen as one image of the whole desktop, or with `interactive` the part the user
// chooses over a frozen image of it; nullopt when the user cancelled.
std::optional<QImage> captureX11(bool interactive, const X11Display& display);

}  // namespace kapsho_capture
