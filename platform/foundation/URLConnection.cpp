#include "platform/foundation/URLConnection.h"

#include <openssl/x509_vfy.h>
#include <signal.h>

#include <QCoreApplication>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/foundation/HTTPClient.h"
#include "platform/foundation/Thread.h"

namespace platform {

NSMutableURLRequest NSMutableURLRequest::requestWithURL(const NSURL& url,
                                                        NSURLRequestCachePolicy cachePolicy,
                                                        double timeoutInterval) {
  return NSMutableURLRequest(url, cachePolicy, timeoutInterval);
}

namespace {

constexpr double kDefaultTimeout = 60.0;

std::optional<double>& timeoutOverride() {
  static std::optional<double> seconds;
  return seconds;
}

QUrl httpURL(const std::string& text) {
  QUrl url = QUrl::fromEncoded(QByteArray::fromStdString(text), QUrl::StrictMode);
  const bool http = url.scheme() == "http" || url.scheme() == "https";
  return url.isValid() && http && !url.host().isEmpty() ? url : QUrl();
}

bool isRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// How an exchange that gave no final answer ended, as the worker saw it.
struct Ending {
  httplib::Error error = httplib::Error::Success;
  bool idleTooLong = false;
  bool headerTooLarge = false;
  long certificate = X509_V_OK;  // OpenSSL's verification result
};

NSError errorFor(const Ending& ending) {
  auto make = [](NSURLErrorCode code, const std::string& sentence) {
    return NSError("NSURLErrorDomain", code, sentence);
  };
  if (ending.headerTooLarge)
    return make(NSURLErrorBadServerResponse, "The server returned a bad response.");
  switch (ending.error) {
    case httplib::Error::Connection:
    case httplib::Error::BindIPAddress:
      return make(NSURLErrorCannotConnectToHost, "Could not connect to the server.");
    case httplib::Error::ConnectionTimeout:
      return make(NSURLErrorTimedOut, "The request timed out.");
    // A wait for the peer ends these too: it is a time-out when nothing moved for that long.
    case httplib::Error::Read:
    case httplib::Error::Write:
      return ending.idleTooLong
                 ? make(NSURLErrorTimedOut, "The request timed out.")
                 : make(NSURLErrorNetworkConnectionLost, "The network connection was lost.");
    // A certificate for another host leaves OpenSSL's result clean.
    case httplib::Error::SSLServerVerification:
      return make(NSURLErrorServerCertificateUntrusted,
                  std::string("The certificate for this server is invalid: ") +
                      X509_verify_cert_error_string(ending.certificate == X509_V_OK
                                                        ? X509_V_ERR_HOSTNAME_MISMATCH
                                                        : ending.certificate) +
                      ".");
    case httplib::Error::SSLConnection:
    case httplib::Error::SSLLoadingCerts:
      return make(NSURLErrorSecureConnectionFailed,
                  "A TLS error caused the secure connection to fail.");
    case httplib::Error::Success:
      return make(NSURLErrorBadServerResponse, "The server returned a bad response.");
    default:
      return make(NSURLErrorUnknown, "An unknown error occurred.");
  }
}

// What one request's worker thread shares with the main thread: the client while it is in use,
// and whether the exchange was stopped.
struct Transfer {
  std::mutex mutex;
  httplib::ClientImpl* client = nullptr;
  std::atomic<bool> stopped = false;

  void stop() {
    stopped = true;
    const std::lock_guard lock(mutex);
    if (client) client->stop();
  }
};

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
    url_ = httpURL(request_.URL().absoluteString());
    if (url_.isEmpty()) {
      fail(NSError("NSURLErrorDomain", NSURLErrorUnsupportedURL, "unsupported URL"));
      return;
    }
    const HTTPTarget target = targetOf(url_);
    // Read here: the environment may change under a worker thread.
    const auto proxy = proxyForTarget(target);
    // A proxy that cannot be used fails the exchange: going direct could break the user's rules.
    if (proxy && (proxy->scheme != "http" || proxy->host.empty())) {
      fail(NSError("NSURLErrorDomain", NSURLErrorUnsupportedURL,
                   proxy->host.empty() ? "The proxy setting names no host."
                                       : "The proxy's scheme is not supported."));
      return;
    }
    double seconds = timeoutOverride().value_or(request_.timeoutInterval());
    if (!std::isfinite(seconds) || seconds <= 0) seconds = kDefaultTimeout;
    phase_ = Phase::Waiting;
    transfer_ = std::make_shared<Transfer>();
    try {
      std::thread(perform, transfer_, weak_from_this(), outgoing(), target, proxy,
                  std::chrono::duration<double>(std::min(seconds, 1.0e6)))
          .detach();
    } catch (const std::system_error&) {
      // No thread to be had (the process is at its limit): a failure like any other.
      fail(NSError("NSURLErrorDomain", NSURLErrorUnknown, "An unknown error occurred."));
    }
  }

  static HTTPTarget targetOf(const QUrl& url) {
    HTTPTarget target;
    target.https = url.scheme() == "https";
    target.host = url.host(QUrl::FullyEncoded).toStdString();
    target.port = url.port(target.https ? 443 : 80);
    target.user = url.userName(QUrl::FullyDecoded).toStdString();
    target.password = url.password(QUrl::FullyDecoded).toStdString();
    return target;
  }

  httplib::Request outgoing() const {
    httplib::Request out;
    out.method = request_.HTTPMethod();
    out.path = url_.toString(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment |
                             QUrl::FullyEncoded)
                   .toStdString();
    if (out.path.empty() || out.path[0] != '/') out.path.insert(out.path.begin(), '/');
    for (const auto& [field, value] : request_.allHTTPHeaderFields()) out.set_header(field, value);
    // The library's own way to send a body it does not hold (its Post with a content provider
    // does the same, but cannot stream the answer to the delegate): no copy of the body is made.
    if (const Data& body = request_.HTTPBody(); !body.empty()) {
      out.content_length_ = body.size();
      out.content_provider_ = [body](size_t offset, size_t, httplib::DataSink& sink) {
        return writePieceAt(body, offset, sink);
      };
    }
    return out;
  }

  // Hands the body's piece that begins at the offset to the sink, as it lies; the library asks
  // again from where it ends. It never stops within a piece: a write that fails ends the request,
  // and is the sink's to report.
  static bool writePieceAt(const Data& body, size_t offset, httplib::DataSink& sink) {
    size_t start = 0;
    for (const auto piece : body.pieces()) {
      if (start == offset) {
        sink.write(reinterpret_cast<const char*>(piece.data()), piece.size());
        return true;
      }
      start += piece.size();
    }
    return false;
  }

  // The worker: one exchange with the server, without redirects, without keeping the connection.
  static void perform(std::shared_ptr<Transfer> transfer, std::weak_ptr<Connection> owner,
                      httplib::Request request, HTTPTarget target, std::optional<HTTPProxy> proxy,
                      std::chrono::duration<double> timeout) {
    // A peer that closes while the body is written must not end the process: the signal stays
    // pending on this thread and goes with it.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    using Clock = std::chrono::steady_clock;
    const auto post = [&](std::function<void(Connection&)> event) {
      performSelectorOnMainThread(
          [transfer, owner, event = std::move(event)] {
            auto connection = owner.lock();
            if (connection && connection->transfer_ == transfer && !transfer->stopped)
              event(*connection);
          },
          false);
    };
    HeaderBudget header;
    auto lastProgress = Clock::now();
    request.response_handler = [&](const httplib::Response& response) {
      header.complete = true;
      lastProgress = Clock::now();
      std::map<std::string, std::string> headers(response.headers.begin(), response.headers.end());
      post([status = response.status, headers = std::move(headers)](Connection& c) {
        c.onHeaders(NSHTTPURLResponse(status, headers));
      });
      return !transfer->stopped;
    };
    request.content_receiver = [&](const char* data, size_t length, uint64_t, uint64_t) {
      lastProgress = Clock::now();
      post([bytes = Data(data, data + length)](Connection& c) { c.onData(bytes); });
      return !transfer->stopped;
    };

    const auto client = makeHTTPClient(target, proxy, header);
    const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(timeout);
    client->set_connection_timeout(wait);
    client->set_read_timeout(wait);
    client->set_write_timeout(wait);
    // A screenshot's upload is one write: no waiting for the peer's acknowledgement of the last
    // short segment.
    client->set_tcp_nodelay(true);
    client->set_keep_alive(false);
    client->set_follow_location(false);
    client->set_url_encode(false);
    client->set_decompress(false);
    {
      const std::lock_guard lock(transfer->mutex);
      if (transfer->stopped) return;
      transfer->client = client.get();
    }
    httplib::Response response;
    Ending ending;
    client->send(request, response, ending.error);
    {
      const std::lock_guard lock(transfer->mutex);
      transfer->client = nullptr;
    }
    ending.idleTooLong = Clock::now() - lastProgress >= timeout * 0.9;
    ending.headerTooLarge = header.exceeded;
    ending.certificate = certificateVerifyResult(*client);
    post([ending](Connection& c) { c.onFinished(ending); });
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
    const auto& headers = response.allHeaderFields();
    const auto location = std::find_if(headers.begin(), headers.end(), [](const auto& field) {
      return QByteArray::fromStdString(field.first).compare("Location", Qt::CaseInsensitive) == 0;
    });
    QUrl target;
    if (location != headers.end() && !location->second.empty()) {
      const QUrl resolved =
          url_.resolved(QUrl::fromEncoded(QByteArray::fromStdString(location->second)));
      target = httpURL(resolved.toString(QUrl::FullyEncoded).toStdString());
    }
    auto proposed = proposedRequest(response.statusCode(), target);
    auto accepted = delegate_->connectionWillSendRequest(*this, proposed, &response);
    if (!delegate_) return;
    if (!accepted) {
      cancel();
      return;
    }
    if (target.isEmpty()) {
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
  NSMutableURLRequest proposedRequest(int status, const QUrl& target) const {
    const auto url = target.isEmpty()
                         ? std::optional<NSURL>()
                         : NSURL::URLWithString(target.toString(QUrl::FullyEncoded).toStdString());
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

  void onFinished(const Ending& ending) {
    if (!delegate_ || phase_ == Phase::Redirecting) return;
    if (ending.error != httplib::Error::Success || phase_ != Phase::Receiving) {
      fail(errorFor(ending));
      return;
    }
    cancel();
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
  QUrl url_;
  NSURLConnectionDelegate* delegate_;
  std::shared_ptr<Transfer> transfer_;
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
  if (httpURL(request.URL().absoluteString()).isEmpty()) return nullptr;
  auto connection = std::make_shared<Connection>(request, delegate);
  connection->begin();
  return connection;
}

}  // namespace platform
