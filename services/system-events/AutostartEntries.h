// The desktop's view of the login items: one XDG autostart entry per item, so that the desktop
// opens each at login. An application bundle is started by its executable, anything else is
// opened with xdg-open.
#pragma once

#include <string>
#include <vector>

#include "services/system-events/LoginItemStore.h"

namespace system_events {

// ${XDG_CONFIG_HOME:-$HOME/.config}/autostart
std::string autostartFolder();

// Entry n (from 1) is "kapsho-login-item-<n>.desktop"; entries beyond the list are removed and
// only entries whose text changed are written.
void mirrorToAutostart(const std::vector<LoginItem>& items);

}  // namespace system_events
