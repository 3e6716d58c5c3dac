// One login item as System Events keeps it.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace system_events {

// A stored item may lack its path (then no listing shows it) or its hidden flag.
struct LoginItem {
  std::optional<std::string> path;
  std::optional<bool> hidden;
  // The number of its autostart entry; 0 until it is given one.
  unsigned long entry = 0;
  // What the list holds for the item, kept where the fields above do not replace it, so that an
  // odd value is not lost with the item's next change.
  platform::Dictionary stored;
};

}  // namespace system_events
