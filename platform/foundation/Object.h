// The root object: targets of menu actions are found and called by selector name.
#pragma once

#include <string_view>

namespace platform {

class NSMenuItem;

class NSObject {
 public:
  virtual ~NSObject() = default;
  // Whether performSelector would act on this selector ("clearRecentImages:").
  virtual bool respondsToSelector(std::string_view selector) const;
  // Performs the action named by the selector with its sender; unknown selectors do nothing.
  virtual void performSelector(std::string_view selector, NSObject* sender);
};

}  // namespace platform
