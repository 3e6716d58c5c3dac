#include "platform/foundation/Exception.h"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace platform {

NSException::NSException(std::string name, std::string reason)
    : name_(std::move(name)), reason_(std::move(reason)), what_(name_ + ": " + reason_) {}

void NSException::raise(const std::string& name, const std::string& reason) {
  throw NSException(name, reason);
}

NSException currentException() {
  try {
    throw;
  } catch (const NSException& exception) {
    return exception;
  } catch (const std::bad_alloc& exception) {
    return NSException("NSMallocException", exception.what());
  } catch (const std::exception& exception) {
    return NSException("NSGenericException", exception.what());
  } catch (...) {
    return NSException("NSGenericException", "an exception of unknown type");
  }
}

std::string uncaughtExceptionReport(const NSException& exception) {
  return "*** Terminating app due to uncaught exception '" + exception.name() + "', reason: '" +
         exception.reason() + "'";
}

void terminateWithUncaughtException(const NSException& exception) {
  std::fprintf(stderr, "%s\n", uncaughtExceptionReport(exception).c_str());
  std::fflush(stderr);
  std::exit(1);
}

}  // namespace platform
