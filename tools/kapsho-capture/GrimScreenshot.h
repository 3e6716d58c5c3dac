// A screenshot on a wlroots desktop (sway, Hyprland, river) whose portal offers none: grim takes
// the screens through the compositor, slurp lets the user drag the rectangle. Needs a
// QCoreApplication.
#pragma once

#include <QByteArray>

namespace kapsho_capture {

// Whether grim is on PATH.
bool grimInstalled();

// PNG bytes of every screen, or with `interactive` of the rectangle the user drags with slurp.
// Throws CaptureError when slurp is missing for `interactive`, the user cancels, or grim fails.
QByteArray takeWithGrim(bool interactive);

}  // namespace kapsho_capture
