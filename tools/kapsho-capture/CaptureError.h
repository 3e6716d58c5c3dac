// A capture that cannot be done: the message for the user, who gets status 1.
#pragma once

#include <stdexcept>

namespace kapsho_capture {

class CaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The session bus has no screenshot portal: none at all, or one without the Screenshot interface
// (a wlroots desktop's portal without an Access backend).
class NoScreenshotPortal : public CaptureError {
 public:
  using CaptureError::CaptureError;
};

}  // namespace kapsho_capture
