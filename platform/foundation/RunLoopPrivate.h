// Work held back while a menu is tracked: timers of the default mode queue their firing here.
#pragma once

#include <functional>

namespace platform {

// Runs the work now when no menu is tracked, else from the event loop once tracking ends, in the
// order it was held back. Main thread only.
void performOutsideMenuTracking(std::function<void()> work);

}  // namespace platform
