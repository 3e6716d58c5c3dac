// One HTTP exchange on libcurl, internal to URL loading: the request goes out as it is, on a
// thread of its own, and what comes back is reported from that thread in order. No redirect is
// followed and no connection is kept. Proxies and no_proxy are libcurl's reading of the
// environment, credentials in the URL go as Basic authorization, and https verifies the server
// against libcurl's default authorities or those SSL_CERT_FILE and SSL_CERT_DIR name.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/URLConnection.h"

namespace platform {

// The text of an http or https URL with a host, as libcurl reads it; nullopt for anything else.
std::optional<std::string> httpURL(const std::string& text);
// A reference (a redirect's Location) resolved against the URL of the request it answers;
// nullopt unless the result is an http or https URL with a host.
std::optional<std::string> resolvedHTTPURL(const std::string& base, const std::string& reference);

// The most of an answer's header that is read: its bytes, and its lines (status line and the
// blank line that ends it included). Past either, the exchange fails as a bad answer.
inline constexpr size_t kMaxHeaderBytes = 64 * 1024;
inline constexpr size_t kMaxHeaderLines = 101;

// What an exchange reports, each from its thread, in this order: the header of each answer that
// is not interim (1xx), the pieces of the body, and last how it ended (nullopt: the whole answer
// came). Once the exchange is stopped it reports nothing that is not already under way.
struct TransferReport {
  std::function<void(NSHTTPURLResponse)> response;
  std::function<void(Data)> data;
  std::function<void(std::optional<NSError>)> end;
};

class HTTPTransfer : public std::enable_shared_from_this<HTTPTransfer> {
 public:
  // The request is read here (its URL must satisfy httpURL); the body's pieces are shared, not
  // copied. The exchange fails as timed out once `idleLimit` passes without a byte going either
  // way.
  HTTPTransfer(const NSMutableURLRequest& request, std::chrono::duration<double> idleLimit,
               TransferReport report);
  ~HTTPTransfer();
  HTTPTransfer(const HTTPTransfer&) = delete;
  HTTPTransfer& operator=(const HTTPTransfer&) = delete;

  // Runs the exchange on a new thread, which holds the transfer until it ends. Throws
  // std::system_error when no thread can be had.
  void start();
  // From any thread: the exchange ends at once, its connection is closed and it reports nothing
  // more.
  void stop();
  bool stopped() const { return stopped_; }

 private:
  struct Handles;
  struct Answer;
  struct Callbacks;
  friend Callbacks;

  void setConnection(const std::string& url);
  std::optional<size_t> setMethod(const std::string& method);
  void setFields(const NSMutableURLRequest& request, std::optional<size_t> length);
  void run();
  std::optional<NSError> perform();
  std::optional<NSError> ending(int result) const;

  std::unique_ptr<Handles> handles_;
  std::unique_ptr<Answer> answer_;
  Data body_;  // holds the pieces the request's body is read from
  const std::chrono::duration<double> idleLimit_;
  TransferReport report_;
  std::atomic<bool> stopped_ = false;
};

}  // namespace platform
