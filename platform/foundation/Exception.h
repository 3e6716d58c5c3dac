// Named exceptions: a name and a reason, as the platform raises them.
#pragma once

#include <exception>
#include <string>

namespace platform {

class NSException : public std::exception {
 public:
  NSException(std::string name, std::string reason);
  [[noreturn]] static void raise(const std::string& name, const std::string& reason);

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string name_, reason_, what_;
};

// The exception being handled, as the platform names it: an NSException as it is, a failed
// allocation as "NSMallocException", anything else as "NSGenericException" with its message.
// Only inside a catch block.
NSException currentException();

// The report of an exception that nothing caught:
// "*** Terminating app due to uncaught exception '<name>', reason: '<reason>'".
std::string uncaughtExceptionReport(const NSException& exception);

// Writes that report to stderr and ends the process with status 1.
[[noreturn]] void terminateWithUncaughtException(const NSException& exception);

}  // namespace platform
