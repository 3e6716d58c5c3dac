#include "platform/foundation/URLConnection.h"

#include <curl/curl.h>
#include <strings.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <functional>
#include <utility>

#include "platform/foundation/HTTPTransfer.h"
#include "platform/foundation/Thread.h"

namespace platform {

NSMutableURLRequest NSMutableURLRequest::requestWithURL(const NSURL& url,
                                                        NSURLRequestCachePolicy cachePolicy,
                                                        double timeoutInterval) {
  return NSMutableURLRequest(url, cachePolicy, timeoutInterval);
}

std::optional<std::string> NSHTTPURLResponse::valueForHTTPHeaderField(
    const std::string& field) const {
  for (const auto& [name, value] : headers_)
    if (strcasecmp(name.c_str(), field.c_str()) == 0) return value;
  return std::nullopt;
}

namespace {

constexpr double kDefaultTimeout = 60.0;

std::optional<double>& timeoutOverride() {
  static std::optional<double> seconds;
  return seconds;
}

bool isRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

class Connection final : public NSURLConnection, public std::enable_shared_from_this<Connection> {
 public:
  Connection(const NSMutableURLRequest& request, NSURLConnectionDelegate* delegate)
      : request_(request), delegate_(delegate) {}
  ~Connection() override { cancel(); }

  // The first request is shown to the delegate from the event loop, once the caller holds the
  // connection, and goes out after that.
  void begin() {
    QMetaObject::invokeMethod(
        &context_,
        [this] {
          auto self = shared_from_this();
          if (!delegate_) return;
          auto first = delegate_->connectionWillSendRequest(*this, request_, nullptr);
          if (!delegate_) return;
          if (!first) {
            cancel();
            return;
          }
          send(std::move(*first));
        },
        Qt::QueuedConnection);
  }

  void cancel() override {
    delegate_ = nullptr;
    releaseTransfer();
  }

 private:
  enum class Phase { Waiting, Redirecting, Receiving };

  // The request goes out on a thread of its own, which posts what comes back to the main thread
  // in order; events of a transfer that is no longer this connection's are dropped there.
  void send(NSMutableURLRequest request) {
    request_ = std::move(request);
    if (!httpURL(request_.URL().absoluteString())) {
      fail(NSError("NSURLErrorDomain", NSURLErrorUnsupportedURL, "unsupported URL"));
      return;
    }
    double seconds = timeoutOverride().value_or(request_.timeoutInterval());
    if (!std::isfinite(seconds) || seconds <= 0) seconds = kDefaultTimeout;
    phase_ = Phase::Waiting;
    try {
      transfer_ = std::make_shared<HTTPTransfer>(
          request_, std::chrono::duration<double>(std::min(seconds, 1.0e6)), report());
      transfer_->start();
    } catch (const std::exception&) {
      // No thread or no handle to be had (the process is at its limit): a failure like any other.
      transfer_.reset();
      fail(NSError("NSURLErrorDomain", NSURLErrorUnknown, "An unknown error occurred."));
    }
  }

  // The transfer's reports, each posted to the main thread for this connection while the
  // transfer is still its own.
  TransferReport report() {
    const auto post = [owner = weak_from_this(),
                       generation = ++generation_](std::function<void(Connection&)> event) {
      performSelectorOnMainThread(
          [owner, generation, event = std::move(event)] {
            auto connection = owner.lock();
            if (connection && connection->transfer_ && connection->generation_ == generation)
              event(*connection);
          },
          false);
    };
    return {[post](NSHTTPURLResponse response) {
              post([response = std::move(response)](Connection& c) { c.onHeaders(response); });
            },
            [post](Data bytes) {
              post([bytes = std::move(bytes)](Connection& c) { c.onData(bytes); });
            },
            [post](std::optional<NSError> error) {
              post([error = std::move(error)](Connection& c) { c.onEnd(error); });
            }};
  }

  void onHeaders(const NSHTTPURLResponse& response) {
    if (phase_ != Phase::Waiting || !delegate_) return;
    if (isRedirect(response.statusCode())) {
      redirect(response);
      return;
    }
    phase_ = Phase::Receiving;
    delegate_->connectionDidReceiveResponse(*this, response);
  }

  void redirect(const NSHTTPURLResponse& response) {
    phase_ = Phase::Redirecting;
    const auto location = response.valueForHTTPHeaderField("Location");
    const auto target = !location || location->empty()
                            ? std::nullopt
                            : resolvedHTTPURL(request_.URL().absoluteString(), *location);
    auto proposed = proposedRequest(response.statusCode(), target);
    auto accepted = delegate_->connectionWillSendRequest(*this, proposed, &response);
    if (!delegate_) return;
    if (!accepted) {
      cancel();
      return;
    }
    if (!target) {
      // Nowhere to go: the redirect is the final answer after all, and its body follows.
      phase_ = Phase::Receiving;
      delegate_->connectionDidReceiveResponse(*this, response);
      return;
    }
    releaseTransfer();
    send(std::move(*accepted));
  }

  // The request the redirect asks for: 303, and 301 or 302 after a POST, turn into a GET
  // without body; the others repeat the request at the new address.
  NSMutableURLRequest proposedRequest(int status, const std::optional<std::string>& target) const {
    const auto url = target ? NSURL::URLWithString(*target) : std::nullopt;
    auto proposed = NSMutableURLRequest::requestWithURL(
        url.value_or(request_.URL()), request_.cachePolicy(), request_.timeoutInterval());
    const std::string& method = request_.HTTPMethod();
    const bool toGet = (status == 303 && method != "HEAD") ||
                       ((status == 301 || status == 302) && method == "POST");
    proposed.setHTTPMethod(toGet ? "GET" : method);
    for (const auto& [field, value] : request_.allHTTPHeaderFields())
      if (!toGet || (field != "Content-Type" && field != "Content-Length"))
        proposed.setValue(value, field);
    if (!toGet) proposed.setHTTPBody(request_.HTTPBody());
    return proposed;
  }

  void onData(const Data& bytes) {
    if (phase_ != Phase::Receiving || !delegate_ || bytes.empty()) return;
    delegate_->connectionDidReceiveData(*this, bytes);
  }

  void onEnd(const std::optional<NSError>& error) {
    if (!delegate_ || phase_ == Phase::Redirecting) return;
    if (error) {
      fail(*error);
      return;
    }
    auto* delegate = std::exchange(delegate_, nullptr);
    releaseTransfer();
    delegate->connectionDidFinishLoading(*this);
  }

  void fail(const NSError& error) {
    auto* delegate = std::exchange(delegate_, nullptr);
    releaseTransfer();
    if (delegate) delegate->connectionDidFailWithError(*this, error);
  }

  void releaseTransfer() {
    if (auto transfer = std::exchange(transfer_, nullptr)) transfer->stop();
  }

  NSMutableURLRequest request_;
  NSURLConnectionDelegate* delegate_;
  std::shared_ptr<HTTPTransfer> transfer_;
  unsigned generation_ = 0;  // counts the transfers, to tell a late report from the current one
  Phase phase_ = Phase::Waiting;
  // Receiver of the first queued step: with it goes that pending call into this object.
  QObject context_;
};

}  // namespace

void NSURLConnection::setTimeoutOverrideForTesting(std::optional<double> seconds) {
  timeoutOverride() = seconds;
}

std::shared_ptr<NSURLConnection> NSURLConnection::connectionWithRequest(
    const NSMutableURLRequest& request, NSURLConnectionDelegate* delegate) {
  // Events arrive through the main thread's event loop; without it nothing could be reported.
  if (!delegate || !QCoreApplication::instance() || !isMainThread()) return nullptr;
  static const bool curlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!curlReady || !httpURL(request.URL().absoluteString())) return nullptr;
  auto connection = std::make_shared<Connection>(request, delegate);
  connection->begin();
  return connection;
}

}  // namespace platform
