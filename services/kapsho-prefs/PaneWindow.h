// The host's window: the pane's view under the pane's title, until the user closes it.
#pragma once

#include "services/kapsho-prefs/PaneLoader.h"

namespace kapsho_prefs {

// Shows the loaded pane and runs the event loop, which delivers the pane's actions on this, the
// main, thread; gives the exit status once the window is closed.
int showInWindow(const LoadedPane& loaded);

}  // namespace kapsho_prefs
