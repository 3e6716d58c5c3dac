#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/appkit/Application.h"
#include "platform/foundation/Thread.h"
#include "platform/foundation/URLConnection.h"
#include "tests/support/TestSupport.h"

using namespace platform;

namespace {

void application() {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  NSApplication::sharedApplication();
}

bool spinUntil(const std::function<bool()>& condition, int deadlineMs = 10000) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > deadlineMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

struct Received {
  std::string method, path, body;
  std::map<std::string, std::string> headers;
};

// An HTTP server on 127.0.0.1 that answers each request with what the test scripts for it:
// raw response bytes, or nothing at all (nullopt) to leave the client waiting.
class ScriptedServer {
 public:
  using Script = std::function<std::optional<std::string>(const Received&)>;

  explicit ScriptedServer(Script script) : script_(std::move(script)) {
    if (!server_.listen(QHostAddress::LocalHost, 0)) throw std::runtime_error("cannot listen");
    QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::readyRead, socket,
                         [this, socket, buffer] { onBytes(*socket, *buffer); });
      }
    });
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(server_.serverPort()) + path;
  }
  // More bytes on the connection that asked for the path, for answers sent in pieces.
  void writeMore(const std::string& path, const std::string& bytes) {
    sockets_.at(path)->write(bytes.data(), bytes.size());
  }

  std::vector<Received> requests;
  std::set<std::string> closed;  // paths whose connection the client closed

 private:
  void onBytes(QTcpSocket& socket, QByteArray& buffer) {
    buffer += socket.readAll();
    const auto end = buffer.indexOf("\r\n\r\n");
    if (end < 0) return;
    Received request;
    const auto lines = buffer.left(end).split('\n');
    const auto start = lines[0].trimmed().split(' ');
    request.method = start.value(0).toStdString();
    request.path = start.value(1).toStdString();
    for (qsizetype i = 1; i < lines.size(); ++i) {
      const auto colon = lines[i].indexOf(':');
      request.headers[lines[i].left(colon).toStdString()] =
          lines[i].mid(colon + 1).trimmed().toStdString();
    }
    const auto length =
        std::stoul(request.headers.count("Content-Length") ? request.headers["Content-Length"]
                                                           : std::string("0"));
    if (static_cast<std::size_t>(buffer.size()) < end + 4 + length) return;
    request.body = buffer.mid(end + 4, length).toStdString();
    buffer.remove(0, end + 4 + length);
    requests.push_back(request);
    sockets_[request.path] = &socket;
    QObject::connect(&socket, &QTcpSocket::disconnected, &socket,
                     [this, path = request.path] { closed.insert(path); });
    if (auto answer = script_(request)) socket.write(answer->data(), answer->size());
  }

  Script script_;
  QTcpServer server_;
  std::map<std::string, QTcpSocket*> sockets_;
};

std::string answer(const std::string& statusLine, const std::string& headers,
                   const std::string& body) {
  return "HTTP/1.1 " + statusLine + "\r\n" + headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// Records every event; the redirect decision is the test's.
class Recorder : public NSURLConnectionDelegate {
 public:
  std::optional<NSMutableURLRequest> connectionWillSendRequest(
      NSURLConnection&, const NSMutableURLRequest& request,
      const NSHTTPURLResponse* redirect) override {
    note("will " + request.HTTPMethod() + " " + request.URL().absoluteString());
    if (!redirect) return request;
    redirects.push_back(*redirect);
    if (onRedirect) onRedirect();
    return followRedirects ? std::optional(request) : std::nullopt;
  }
  void connectionDidReceiveResponse(NSURLConnection&, const NSHTTPURLResponse& r) override {
    note("response " + std::to_string(r.statusCode()));
    if (onResponse) onResponse();
  }
  void connectionDidReceiveData(NSURLConnection&, const Data& data) override {
    note("data");
    body.append(data.begin(), data.end());
  }
  void connectionDidFailWithError(NSURLConnection&, const NSError& e) override {
    note("fail");
    error = e;
  }

  std::vector<std::string> events;
  std::vector<NSHTTPURLResponse> redirects;
  std::string body;
  std::optional<NSError> error;
  bool followRedirects = false;
  bool allOnMainThread = true;
  std::function<void()> onResponse, onRedirect;

 private:
  void note(const std::string& event) {
    allOnMainThread = allOnMainThread && isMainThread();
    events.push_back(event);
  }
};

NSMutableURLRequest post(const std::string& url, const std::string& body) {
  auto request = NSMutableURLRequest::requestWithURL(*NSURL::URLWithString(url),
                                                     NSURLRequestReloadIgnoringCacheData, 60.0);
  request.setHTTPMethod("POST");
  request.setValue("multipart/form-data; boundary=KapshoBoundaryX", "Content-Type");
  request.setHTTPBody(Data(body.begin(), body.end()));
  return request;
}

// Shortens every time-out for the test's duration.
class ShortTimeout {
 public:
  explicit ShortTimeout(double seconds) { NSURLConnection::setTimeoutOverrideForTesting(seconds); }
  ~ShortTimeout() { NSURLConnection::setTimeoutOverrideForTesting(std::nullopt); }
};

// Runs one more exchange to its end; events of earlier exchanges queued before its end have
// then been delivered.
void barrier(ScriptedServer& server) {
  Recorder later;
  auto connection =
      NSURLConnection::connectionWithRequest(post(server.url("/barrier"), ""), &later);
  ASSERT_TRUE(spinUntil([&] { return later.body == "done" || later.error; }));
}

std::optional<std::string> routes(const Received& r) {
  if (r.path == "/barrier") return answer("200 OK", "", "done");
  if (r.path == "/absolute")
    return answer("302 Found", "Location: http://127.0.0.1:1/img/abc.png\r\n", "moved");
  if (r.path == "/relative") return answer("302 Found", "Location: /img/rel.png\r\n", "moved");
  if (r.path == "/temporary") return answer("307 Temporary Redirect", "Location: /echo\r\n", "");
  if (r.path == "/nowhere") return answer("302 Found", "", "no location");
  if (r.path == "/img/rel.png") return answer("200 OK", "Content-Type: image/png\r\n", "PNG!");
  if (r.path == "/echo") return answer("201 Created", "", r.method + " " + r.body);
  if (r.path == "/missing") return answer("404 Not Found", "X-Reason: gone\r\n", "not here");
  if (r.path == "/silent") return std::nullopt;
  if (r.path == "/slow") return std::string("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nfirst");
  return answer("500 Internal Server Error", "", "");
}

TEST(URLConnection, SendsTheRequestAsGivenAndReportsTheAnswer) {
  application();
  ScriptedServer server(routes);
  const std::string body("--KapshoBoundaryX\r\n\0\x01\xff binary \r\n--KapshoBoundaryX--\r\n", 51);
  Recorder delegate;
  auto connection =
      NSURLConnection::connectionWithRequest(post(server.url("/echo"), body), &delegate);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(spinUntil([&] { return delegate.body.size() == 5 + body.size(); }));
  barrier(server);

  ASSERT_EQ(server.requests.size(), 2u);
  const Received& got = server.requests[0];
  EXPECT_EQ(got.method, "POST");
  EXPECT_EQ(got.path, "/echo");
  EXPECT_EQ(got.headers.at("Content-Type"), "multipart/form-data; boundary=KapshoBoundaryX");
  EXPECT_EQ(got.headers.at("Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(got.body, body);
  EXPECT_EQ(delegate.events,
            (std::vector<std::string>{"will POST " + server.url("/echo"), "response 201", "data"}));
  EXPECT_EQ(delegate.body, "POST " + body);
  EXPECT_TRUE(delegate.allOnMainThread);
}

TEST(URLConnection, AnErrorStatusIsAnAnswerNotAFailure) {
  application();
  ScriptedServer server(routes);
  Recorder delegate;
  auto connection =
      NSURLConnection::connectionWithRequest(post(server.url("/missing"), "x"), &delegate);
  ASSERT_TRUE(spinUntil([&] { return delegate.body == "not here"; }));
  barrier(server);
  EXPECT_EQ(delegate.events, (std::vector<std::string>{"will POST " + server.url("/missing"),
                                                       "response 404", "data"}));
  EXPECT_FALSE(delegate.error);
}

TEST(URLConnection, RefusedRedirectsEndTheExchangeUnfollowed) {
  application();
  ScriptedServer server(routes);
  for (const auto& [path, location, proposed] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"/absolute", "http://127.0.0.1:1/img/abc.png", "http://127.0.0.1:1/img/abc.png"},
           {"/relative", "/img/rel.png", server.url("/img/rel.png")},
           {"/nowhere", "", server.url("/nowhere")}}) {
    SCOPED_TRACE(path);
    Recorder delegate;
    auto connection =
        NSURLConnection::connectionWithRequest(post(server.url(path), "x"), &delegate);
    ASSERT_TRUE(spinUntil([&] { return !delegate.redirects.empty(); }));
    barrier(server);
    // The redirect is shown as it came, with the request it asks for; refused, nothing follows.
    ASSERT_EQ(delegate.redirects.size(), 1u);
    EXPECT_EQ(delegate.redirects[0].statusCode(), 302);
    const auto& headers = delegate.redirects[0].allHeaderFields();
    EXPECT_EQ(headers.count("Location") ? headers.at("Location") : "", location);
    EXPECT_EQ(delegate.events,
              (std::vector<std::string>{"will POST " + server.url(path), "will GET " + proposed}));
  }
  for (const auto& request : server.requests) EXPECT_NE(request.path, "/img/rel.png");
}

TEST(URLConnection, AcceptedRedirectsAreFollowed) {
  application();
  ScriptedServer server(routes);
  Recorder delegate;
  delegate.followRedirects = true;
  auto relative =
      NSURLConnection::connectionWithRequest(post(server.url("/relative"), "x"), &delegate);
  ASSERT_TRUE(spinUntil([&] { return delegate.body == "PNG!"; }));
  EXPECT_EQ(server.requests.back().method, "GET");
  EXPECT_EQ(delegate.events.back(), "data");
  EXPECT_EQ(delegate.events[delegate.events.size() - 2], "response 200");

  // A 307 repeats the method and body at the new address.
  Recorder repeat;
  repeat.followRedirects = true;
  auto temporary =
      NSURLConnection::connectionWithRequest(post(server.url("/temporary"), "again"), &repeat);
  ASSERT_TRUE(spinUntil([&] { return repeat.body == "POST again"; }));

  // Without a Location there is nowhere to go: the redirect itself is the answer.
  Recorder stay;
  stay.followRedirects = true;
  auto nowhere = NSURLConnection::connectionWithRequest(post(server.url("/nowhere"), "x"), &stay);
  ASSERT_TRUE(spinUntil([&] { return stay.body == "no location"; }));
  EXPECT_EQ(stay.events[2], "response 302");
}

TEST(URLConnection, NetworkFailuresCarryTheirCodeAndSentence) {
  application();
  Recorder refused;
  const std::string closed = "http://127.0.0.1:" + std::to_string(testing_support::freeLocalPort());
  auto a = NSURLConnection::connectionWithRequest(post(closed + "/app_upload.php", "x"), &refused);
  ASSERT_TRUE(spinUntil([&] { return refused.error.has_value(); }));
  EXPECT_EQ(refused.error->domain(), "NSURLErrorDomain");
  EXPECT_EQ(refused.error->code(), NSURLErrorCannotConnectToHost);
  EXPECT_EQ(refused.error->localizedDescription(), "Could not connect to the server.");
  EXPECT_EQ(refused.events.size(), 2u);

  ShortTimeout shortly(0.3);
  ScriptedServer server(routes);
  Recorder waiting;
  auto b = NSURLConnection::connectionWithRequest(post(server.url("/silent"), "x"), &waiting);
  ASSERT_TRUE(spinUntil([&] { return waiting.error.has_value(); }));
  EXPECT_EQ(waiting.error->code(), NSURLErrorTimedOut);
  EXPECT_EQ(waiting.error->localizedDescription(), "The request timed out.");
  EXPECT_EQ(waiting.events,
            (std::vector<std::string>{"will POST " + server.url("/silent"), "fail"}));

  EXPECT_FALSE(NSURLConnection::connectionWithRequest(post("ftp://127.0.0.1/x", ""), &waiting));
}

TEST(URLConnection, NothingReachesTheDelegateAfterCancel) {
  application();
  ShortTimeout shortly(0.3);
  ScriptedServer server(routes);
  Recorder early, sent, reading;
  auto beforeSending =
      NSURLConnection::connectionWithRequest(post(server.url("/silent"), "1"), &early);
  beforeSending->cancel();
  auto waiting = NSURLConnection::connectionWithRequest(post(server.url("/silent"), "2"), &sent);
  auto streaming = NSURLConnection::connectionWithRequest(post(server.url("/slow"), "3"), &reading);
  ASSERT_TRUE(spinUntil([&] { return server.requests.size() == 2 && reading.body == "first"; }));
  waiting->cancel();
  streaming->cancel();
  server.writeMore("/slow", "12345");
  // A fresh exchange that times out ends after the cancelled ones would have timed out.
  Recorder later;
  auto timing = NSURLConnection::connectionWithRequest(post(server.url("/silent"), "4"), &later);
  ASSERT_TRUE(spinUntil([&] { return later.error.has_value(); }));
  EXPECT_TRUE(early.events.empty());
  EXPECT_EQ(sent.events.size(), 1u);
  EXPECT_EQ(reading.events.back(), "data");
  EXPECT_EQ(reading.body, "first");
  for (const auto& request : server.requests) EXPECT_NE(request.body, "1");
}

TEST(URLConnection, ADroppedConnectionStopsSafely) {
  application();
  ScriptedServer server(routes);
  // The delegate lets go of the connection inside its own event, as the agent does, and is
  // then destroyed while the server still sends: nothing may reach it.
  auto delegate = std::make_unique<Recorder>();
  std::shared_ptr<NSURLConnection> held =
      NSURLConnection::connectionWithRequest(post(server.url("/slow"), "x"), delegate.get());
  delegate->onResponse = [&] { held.reset(); };
  ASSERT_TRUE(spinUntil([&] { return !held; }));
  // The reply is let go of too, not left waiting for the rest of the body.
  EXPECT_TRUE(spinUntil([&] { return server.closed.count("/slow") > 0; }));
  server.writeMore("/slow", "123");
  barrier(server);
  EXPECT_EQ(delegate->body, "");
  delegate.reset();
  server.writeMore("/slow", "45");
  barrier(server);

  // Dropped while a redirect is being decided.
  Recorder redirected;
  held = NSURLConnection::connectionWithRequest(post(server.url("/relative"), "x"), &redirected);
  redirected.onRedirect = [&] { held.reset(); };
  ASSERT_TRUE(spinUntil([&] { return !held; }));
  barrier(server);
  EXPECT_EQ(redirected.events.size(), 2u);
  for (const auto& request : server.requests) EXPECT_NE(request.path, "/img/rel.png");
}

}  // namespace
