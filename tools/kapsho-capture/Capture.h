// One run of kapsho-capture: where the picture goes is settled first, then the screens are
// captured (X11 through Qt, Wayland through the desktop's portal) and the picture put in place.
#pragma once

#include "tools/kapsho-capture/CaptureOptions.h"

namespace kapsho_capture {

// The exit status: 0 when the picture is in place, 1 otherwise, with the reason on stderr.
int runCapture(const CaptureOptions& options, int argc, char** argv);

}  // namespace kapsho_capture
