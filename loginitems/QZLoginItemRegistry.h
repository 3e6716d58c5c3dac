// The user's login items for the preference pane: the event layer's status codes turned into
// simple results (one log line per failure), and lookup by URL and path. No state: every call
// asks System Events afresh.
#pragma once

#include <cstdint>
#include <string>

#include "platform/carbon/CoreFoundation.h"
#include "platform/foundation/URL.h"

class QZLoginItemRegistry {
 public:
  QZLoginItemRegistry() = delete;

  // The login item entries ("URL", "Hidden") in System Events' order; empty when listing failed.
  static platform::CFRef<CFArrayRef> allLoginItems();
  static bool addLoginItemWithURL(const platform::NSURL& url, bool hideIt);
  static bool removeLoginItemAtIndex(std::int32_t index);
  // The first entry whose URL names the same file-system object; -1 when none or on failure.
  static std::int32_t indexForLoginItemWithURL(const platform::NSURL& url);
  static std::int32_t indexForLoginItemWithPath(const std::string& path);
  static bool addLoginItemWithPath(const std::string& path, bool hideIt);
  static bool removeLoginItemWithPath(const std::string& path);
  static bool removeLoginItemWithURL(const platform::NSURL& url);
};
