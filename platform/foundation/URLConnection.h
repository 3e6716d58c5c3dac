// URL loading: an asynchronous HTTP exchange whose events reach a delegate on the thread that
// started it (the main thread). Redirects are shown to the delegate before they are followed,
// and the delegate may refuse them. A request's time-out interval is how long its exchange may go
// without a byte moving either way before it fails as timed out.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace platform {

enum NSURLRequestCachePolicy {
  NSURLRequestUseProtocolCachePolicy = 0,
  NSURLRequestReloadIgnoringCacheData = 1,
};

class NSMutableURLRequest {
 public:
  static NSMutableURLRequest requestWithURL(const NSURL& url, NSURLRequestCachePolicy cachePolicy,
                                            double timeoutInterval);
  void setHTTPMethod(const std::string& method) { method_ = method; }
  void setValue(const std::string& value, const std::string& field) { headers_[field] = value; }
  // The body goes out as its pieces lie: copies of the request share its bytes.
  void setHTTPBody(Data body) { body_ = std::move(body); }

  const NSURL& URL() const { return url_; }
  NSURLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
  double timeoutInterval() const { return timeout_; }
  const std::string& HTTPMethod() const { return method_; }
  const std::map<std::string, std::string>& allHTTPHeaderFields() const { return headers_; }
  const Data& HTTPBody() const { return body_; }

 private:
  NSMutableURLRequest(NSURL url, NSURLRequestCachePolicy policy, double timeout)
      : url_(std::move(url)), cachePolicy_(policy), timeout_(timeout) {}
  NSURL url_;
  NSURLRequestCachePolicy cachePolicy_;
  double timeout_;
  std::string method_ = "GET";
  std::map<std::string, std::string> headers_;
  Data body_;
};

class NSHTTPURLResponse {
 public:
  NSHTTPURLResponse(int statusCode, std::map<std::string, std::string> headers)
      : statusCode_(statusCode), headers_(std::move(headers)) {}
  int statusCode() const { return statusCode_; }
  // The header fields by name, as the server sent them.
  const std::map<std::string, std::string>& allHeaderFields() const { return headers_; }
  // The value of the field of that name in any case; nullopt without one.
  std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;

 private:
  int statusCode_;
  std::map<std::string, std::string> headers_;
};

class NSURLConnection;

// The delegate's events, all on the thread that started the exchange.
class NSURLConnectionDelegate {
 public:
  virtual ~NSURLConnectionDelegate() = default;
  // Before a request goes out: without a redirect answer for the first request, with one when
  // the server answered with a redirect (301, 302, 303, 307, 308), before anything is followed.
  // The request offered then is what the redirect asks for: 303, and 301 or 302 after a POST,
  // turn into a GET without body; the others repeat the request at the new address. Returning a
  // request (that one, or another with the method of the delegate's choice) sends it as a new
  // exchange whose events follow; returning nullopt refuses the redirect, and nothing more of the
  // exchange follows. An accepted redirect that names no usable address is the final answer.
  virtual std::optional<NSMutableURLRequest> connectionWillSendRequest(
      NSURLConnection& connection, const NSMutableURLRequest& request,
      const NSHTTPURLResponse* redirectResponse) = 0;
  // A final answer that is not a redirect.
  virtual void connectionDidReceiveResponse(NSURLConnection& connection,
                                            const NSHTTPURLResponse& response) = 0;
  // A piece of a final answer's body, in order.
  virtual void connectionDidReceiveData(NSURLConnection& connection, const Data& data) = 0;
  // Once, after the last piece of a final answer's body, when all of it has come; nothing of the
  // exchange follows. Never for a redirect, nor once the exchange failed or was cancelled.
  virtual void connectionDidFinishLoading(NSURLConnection&) {}
  // The exchange failed; nothing of it follows.
  virtual void connectionDidFailWithError(NSURLConnection& connection, const NSError& error) = 0;
};

class NSURLConnection {
 public:
  // connectionWithRequest:delegate: starts the exchange at once; nullptr when it cannot start
  // (no delegate, no application object, not on the main thread, or no http(s) URL).
  // The delegate is not owned and must outlive the exchange or cancel it first.
  static std::shared_ptr<NSURLConnection> connectionWithRequest(const NSMutableURLRequest& request,
                                                                NSURLConnectionDelegate* delegate);
  // After cancel, no further event of the exchange reaches the delegate. Dropping the last
  // reference to the connection cancels it too, so a delegate that lets go hears nothing more.
  virtual void cancel() = 0;
  // In-process tests only: replaces every request's time-out (seconds without progress) for
  // exchanges started afterwards; nullopt restores the request's own interval.
  static void setTimeoutOverrideForTesting(std::optional<double> seconds);
  virtual ~NSURLConnection() = default;

 protected:
  NSURLConnection() = default;
};

}  // namespace platform
