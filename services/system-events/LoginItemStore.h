// The user's ordered list of login items, kept in the service's own preferences domain, read
// and changed under the domain's lock, and mirrored to XDG autostart entries.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "services/system-events/LoginItem.h"

namespace system_events {

inline constexpr const char* kLoginItemsDomain = "com.kapsho.loginitems";

class LoginItemStore {
 public:
  // Brings the autostart entries in line with the list, as a crash between a change of the list
  // and of its entries may have left them: missing entries are written, entries of items no
  // longer listed removed. An entry that is there stays as it is: the user may have edited it.
  void reconcile();
  // The items by position: those with a path in the list's order, then those without, which no
  // listing shows but a delete by position still reaches. nullopt when the list cannot be read.
  std::optional<std::vector<LoginItem>> items();
  // Adds an item with a path at the end; gives its position, or nullopt when the list could not
  // be written.
  std::optional<std::size_t> append(LoginItem item);
  // false when the list could not be written.
  bool remove(std::size_t position);
};

}  // namespace system_events
