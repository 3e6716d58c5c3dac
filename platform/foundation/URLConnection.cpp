#include "platform/foundation/URLConnection.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <utility>

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

// One manager for the process, on the main thread; it goes with the application object.
QNetworkAccessManager& manager() {
  static QPointer<QNetworkAccessManager> instance;
  if (!instance) instance = new QNetworkAccessManager(QCoreApplication::instance());
  return *instance;
}

QUrl httpURL(const std::string& text) {
  QUrl url = QUrl::fromEncoded(QByteArray::fromStdString(text), QUrl::StrictMode);
  const bool http = url.scheme() == "http" || url.scheme() == "https";
  return url.isValid() && http && !url.host().isEmpty() ? url : QUrl();
}

bool isRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Qt reports HTTP error statuses as reply errors too; those are answers, not failures.
bool isFailure(QNetworkReply::NetworkError error, bool answered) {
  if (error == QNetworkReply::NoError) return !answered;
  const int code = error;
  const bool statusError = (code >= 201 && code <= 299) || (code >= 401 && code <= 499) ||
                           error == QNetworkReply::ProtocolInvalidOperationError;
  return !(answered && statusError);
}

NSError errorFor(QNetworkReply::NetworkError error) {
  auto make = [](NSURLErrorCode code, const char* sentence) {
    return NSError("NSURLErrorDomain", code, sentence);
  };
  switch (error) {
    case QNetworkReply::ConnectionRefusedError:
      return make(NSURLErrorCannotConnectToHost, "Could not connect to the server.");
    case QNetworkReply::HostNotFoundError:
      return make(NSURLErrorCannotFindHost,
                  "A server with the specified hostname could not be found.");
    // Our own cancel disconnects before it aborts, so a cancellation that still arrives here is
    // Qt's transfer time-out.
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TimeoutError:
      return make(NSURLErrorTimedOut, "The request timed out.");
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
      return make(NSURLErrorNetworkConnectionLost, "The network connection was lost.");
    case QNetworkReply::ProtocolUnknownError:
      return make(NSURLErrorUnsupportedURL, "unsupported URL");
    case QNetworkReply::ProtocolFailure:
    case QNetworkReply::NoError:
      return make(NSURLErrorBadServerResponse, "The server returned a bad response.");
    default:
      return make(NSURLErrorUnknown, "An unknown error occurred.");
  }
}

std::map<std::string, std::string> headersOf(const QNetworkReply& reply) {
  std::map<std::string, std::string> headers;
  for (const auto& [name, value] : reply.rawHeaderPairs())
    headers[name.toStdString()] = value.toStdString();
  return headers;
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
    releaseReply();
  }

 private:
  enum class Phase { Waiting, Redirecting, Receiving };

  void send(NSMutableURLRequest request) {
    request_ = std::move(request);
    const QUrl url = httpURL(request_.URL().absoluteString());
    if (url.isEmpty()) {
      fail(NSError("NSURLErrorDomain", NSURLErrorUnsupportedURL, "unsupported URL"));
      return;
    }
    QNetworkRequest outgoing(url);
    outgoing.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                          QNetworkRequest::ManualRedirectPolicy);
    outgoing.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                          QNetworkRequest::AlwaysNetwork);
    outgoing.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    for (const auto& [field, value] : request_.allHTTPHeaderFields())
      outgoing.setRawHeader(QByteArray::fromStdString(field), QByteArray::fromStdString(value));
    double seconds = timeoutOverride().value_or(request_.timeoutInterval());
    if (!std::isfinite(seconds) || seconds <= 0) seconds = kDefaultTimeout;
    outgoing.setTransferTimeout(static_cast<int>(std::clamp(seconds * 1000.0, 1.0, 2.0e9)));

    const QByteArray method = QByteArray::fromStdString(request_.HTTPMethod());
    const Data& body = request_.HTTPBody();
    reply_ = body.empty() ? manager().sendCustomRequest(outgoing, method)
                          : manager().sendCustomRequest(
                                outgoing, method,
                                QByteArray(reinterpret_cast<const char*>(body.data()),
                                           static_cast<qsizetype>(body.size())));
    phase_ = Phase::Waiting;
    QObject::connect(reply_, &QNetworkReply::metaDataChanged, &context_, [this] { onHeaders(); });
    QObject::connect(reply_, &QNetworkReply::readyRead, &context_, [this] { onData(); });
    QObject::connect(reply_, &QNetworkReply::finished, &context_, [this] { onFinished(); });
  }

  void onHeaders() {
    const QVariant status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (phase_ != Phase::Waiting || !delegate_ || !status.isValid()) return;
    auto self = shared_from_this();
    const NSHTTPURLResponse response(status.toInt(), headersOf(*reply_));
    if (isRedirect(response.statusCode())) {
      redirect(response);
      return;
    }
    phase_ = Phase::Receiving;
    delegate_->connectionDidReceiveResponse(*this, response);
  }

  void redirect(const NSHTTPURLResponse& response) {
    phase_ = Phase::Redirecting;
    const QByteArray location = reply_->rawHeader("Location");
    QUrl target;
    if (!location.isEmpty()) {
      const QUrl resolved = reply_->url().resolved(QUrl::fromEncoded(location));
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
      // Nowhere to go: the redirect is the final answer after all.
      phase_ = Phase::Receiving;
      delegate_->connectionDidReceiveResponse(*this, response);
      if (delegate_ && reply_->isFinished()) onFinished();
      return;
    }
    releaseReply();
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

  void onData() {
    if (phase_ != Phase::Receiving || !delegate_) return;
    auto self = shared_from_this();
    const QByteArray bytes = reply_->readAll();
    if (!bytes.isEmpty())
      delegate_->connectionDidReceiveData(*this, Data(bytes.begin(), bytes.end()));
  }

  void onFinished() {
    auto self = shared_from_this();
    QNetworkReply* reply = reply_;
    if (phase_ == Phase::Waiting) onHeaders();
    // Stopped, or a redirect is being decided or followed.
    if (!delegate_ || reply_ != reply || phase_ == Phase::Redirecting) return;
    onData();
    if (!delegate_) return;
    if (isFailure(reply->error(), phase_ == Phase::Receiving)) {
      fail(errorFor(reply->error()));
      return;
    }
    cancel();
  }

  void fail(const NSError& error) {
    auto* delegate = std::exchange(delegate_, nullptr);
    releaseReply();
    if (delegate) delegate->connectionDidFailWithError(*this, error);
  }

  void releaseReply() {
    if (!reply_) return;
    QNetworkReply* reply = std::exchange(reply_, nullptr);
    reply->disconnect(&context_);
    reply->abort();
    reply->deleteLater();
  }

  NSMutableURLRequest request_;
  NSURLConnectionDelegate* delegate_;
  QPointer<QNetworkReply> reply_;
  Phase phase_ = Phase::Waiting;
  // Receiver of the reply's signals and of the first queued step: with it goes every pending
  // call into this object.
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
