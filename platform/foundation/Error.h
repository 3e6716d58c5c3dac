// Errors of the platform's services: a domain, a code and a sentence for the user.
#pragma once

#include <string>

namespace platform {

class NSError {
 public:
  NSError(std::string domain, long code, std::string localizedDescription)
      : domain_(std::move(domain)), code_(code), description_(std::move(localizedDescription)) {}
  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  const std::string& localizedDescription() const { return description_; }
  std::string description() const { return description_; }

 private:
  std::string domain_;
  long code_;
  std::string description_;
};

// Codes of the URL-loading domain "NSURLErrorDomain" that the loader reports.
enum NSURLErrorCode : long {
  NSURLErrorUnknown = -1,
  NSURLErrorCancelled = -999,
  NSURLErrorBadURL = -1000,
  NSURLErrorTimedOut = -1001,
  NSURLErrorUnsupportedURL = -1002,
  NSURLErrorCannotFindHost = -1003,
  NSURLErrorCannotConnectToHost = -1004,
  NSURLErrorNetworkConnectionLost = -1005,
  NSURLErrorHTTPTooManyRedirects = -1007,
  NSURLErrorBadServerResponse = -1011,
  NSURLErrorSecureConnectionFailed = -1200,
  NSURLErrorServerCertificateUntrusted = -1202,
};

}  // namespace platform
