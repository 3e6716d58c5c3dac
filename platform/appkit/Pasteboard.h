// The general pasteboard: plain text on the system clipboard; on a Wayland session without X11
// through wl-copy and wl-paste, with one log line when wl-copy cannot set it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

namespace platform {

inline const std::string NSStringPboardType = "NSStringPboardType";

class NSPasteboard {
 public:
  static NSPasteboard& generalPasteboard();
  // declareTypes:owner: empties the clipboard and declares what will be put on it; gives the
  // pasteboard's new change count.
  long declareTypes(const std::vector<std::string>& types, NSObject* owner);
  bool setString(const std::string& text, const std::string& type);
  std::optional<std::string> stringForType(const std::string& type) const;

 private:
  std::vector<std::string> declared_;
  long changeCount_ = 0;
};

}  // namespace platform
