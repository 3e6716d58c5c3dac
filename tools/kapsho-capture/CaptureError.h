// A capture that cannot be done: the message for the user, who gets status 1.
#pragma once

#include <stdexcept>

namespace kapsho_capture {

class CaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace kapsho_capture
