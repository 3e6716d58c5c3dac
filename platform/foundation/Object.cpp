#include "platform/foundation/Object.h"

namespace platform {

bool NSObject::respondsToSelector(std::string_view) const {
  return false;
}

void NSObject::performSelector(std::string_view, NSObject*) {}

}  // namespace platform
