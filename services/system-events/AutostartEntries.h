// The desktop's view of the login items: one XDG autostart entry per item, so that the desktop
// opens each at login. An application bundle is started by its executable, anything else is
// opened with xdg-open. Each item keeps its entry, "kapsho-login-item-<entry>.desktop", for its
// life, so a change of the list touches only the entries of the items it adds or removes, and an
// entry the user edited stays with its item.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "services/system-events/LoginItem.h"

namespace system_events {

// ${XDG_CONFIG_HOME:-$HOME/.config}/autostart
std::string autostartFolder();

bool hasAutostartEntry(unsigned long entry);
// Writes the entry of an item that has a path.
void writeAutostartEntry(const LoginItem& item);
void removeAutostartEntry(unsigned long entry);
// The numbers of the login items' entries in the folder, in ascending order.
std::vector<unsigned long> autostartEntries();
// The item an entry was written for; nullopt when the entry names no path.
std::optional<LoginItem> itemOfAutostartEntry(unsigned long entry);

}  // namespace system_events
