#include <gtest/gtest.h>

#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <array>
#include <set>

#include "platform/foundation/Thread.h"
#include "platform/foundation/URLConnection.h"
#include "tests/support/TestSupport.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;
using namespace platform_tests;
using Events = std::vector<std::string>;

namespace {

struct Received {
  std::string method, path, contentType, body;
};

// An HTTP server on 127.0.0.1 answering each path as routes() scripts it; nullopt answers
// nothing and leaves the client waiting.
class ScriptedServer {
 public:
  ScriptedServer() {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
      QTcpSocket* socket = server_.nextPendingConnection();
      QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { read(*socket); });
    });
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(server_.serverPort()) + path;
  }
  void writeMore(const std::string& path, const std::string& bytes) {
    sockets_.at(path)->write(bytes.data(), bytes.size());
  }
  std::vector<Received> requests;
  std::set<std::string> closed;  // paths whose connection the client closed

 private:
  void read(QTcpSocket& socket) {
    buffers_[&socket] += socket.readAll();
    QByteArray& buffer = buffers_[&socket];
    const auto end = buffer.indexOf("\r\n\r\n");
    if (end < 0) return;
    Received r;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    r.method = lines[0].split(' ').value(0).toStdString();
    r.path = lines[0].split(' ').value(1).toStdString();
    qsizetype length = 0;
    for (const QByteArray& line : lines) {
      const QByteArray value = line.mid(line.indexOf(':') + 1).trimmed();
      if (line.startsWith("Content-Length:")) length = value.toLongLong();
      if (line.startsWith("Content-Type:")) r.contentType = value.toStdString();
    }
    if (buffer.size() < end + 4 + length) return;
    r.body = buffer.mid(end + 4, length).toStdString();
    buffer.clear();
    requests.push_back(r);
    sockets_[r.path] = &socket;
    QObject::connect(&socket, &QTcpSocket::disconnected, &socket,
                     [this, path = r.path] { closed.insert(path); });
    if (r.path == "/hangup") socket.disconnectFromHost();
    if (auto answer = routes(r)) socket.write(answer->data(), answer->size());
  }
  static std::string answer(const std::string& status, const std::string& headers,
                            const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers +
           "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
  }
  static std::optional<std::string> routes(const Received& r) {
    if (r.path == "/echo") return answer("201 Created", "", r.method + " " + r.body);
    if (r.path == "/missing") return answer("404 Not Found", "", "not here");
    if (r.path == "/absolute")
      return answer("302 Found", "Location: http://127.0.0.1:1/img/abc.png\r\n", "moved");
    if (r.path == "/relative") return answer("302 Found", "Location: /img/rel.png\r\n", "moved");
    if (r.path == "/nowhere") return answer("302 Found", "", "");
    if (r.path == "/img/rel.png") return answer("200 OK", "", "PNG!");
    if (r.path == "/slow") return std::string("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nfirst");
    if (r.path == "/silent" || r.path == "/hangup") return std::nullopt;
    return answer("200 OK", "", "done");
  }

  QTcpServer server_;
  std::map<QTcpSocket*, QByteArray> buffers_;
  std::map<std::string, QTcpSocket*> sockets_;
};

class Recorder : public NSURLConnectionDelegate {
 public:
  std::optional<NSMutableURLRequest> connectionWillSendRequest(
      NSURLConnection&, const NSMutableURLRequest& request,
      const NSHTTPURLResponse* redirect) override {
    note("will " + request.HTTPMethod() + " " + request.URL().absoluteString());
    if (!redirect) return request;
    redirects.push_back(*redirect);
    if (onEvent) onEvent();
    return follow ? std::optional(request) : std::nullopt;
  }
  void connectionDidReceiveResponse(NSURLConnection&, const NSHTTPURLResponse& r) override {
    note("response " + std::to_string(r.statusCode()));
    if (onEvent) onEvent();
  }
  void connectionDidReceiveData(NSURLConnection&, const Data& data) override {
    if (events.back() != "data") note("data");
    body.append(data.begin(), data.end());
  }
  void connectionDidFailWithError(NSURLConnection&, const NSError& e) override {
    note("fail");
    error = e;
  }
  void note(const std::string& event) {
    onMainThread = onMainThread && isMainThread();
    events.push_back(event);
  }

  Events events;
  std::vector<NSHTTPURLResponse> redirects;
  std::string body;
  std::optional<NSError> error;
  bool follow = false, onMainThread = true;
  std::function<void()> onEvent;
};

NSMutableURLRequest post(const std::string& url, const std::string& body) {
  auto request = NSMutableURLRequest::requestWithURL(*NSURL::URLWithString(url),
                                                     NSURLRequestReloadIgnoringCacheData, 60.0);
  request.setHTTPMethod("POST");
  request.setValue("multipart/form-data; boundary=KapshoBoundaryX", "Content-Type");
  request.setHTTPBody(Data(body.begin(), body.end()));
  return request;
}

std::shared_ptr<NSURLConnection> start(const std::string& url, Recorder& delegate,
                                       const std::string& body = "x") {
  return NSURLConnection::connectionWithRequest(post(url, body), &delegate);
}

// Runs one more exchange to its end: what earlier exchanges had queued is delivered by then.
void barrier(ScriptedServer& server) {
  Recorder later;
  auto connection = start(server.url("/barrier"), later);
  ASSERT_TRUE(spinUntil([&] { return later.body == "done"; }));
}

class ShortTimeout {
 public:
  ShortTimeout() { NSURLConnection::setTimeoutOverrideForTesting(0.3); }
  ~ShortTimeout() { NSURLConnection::setTimeoutOverrideForTesting(std::nullopt); }
};

TEST(URLConnection, SendsTheRequestAsGivenAndReportsAnyFinalAnswer) {
  offscreenApplication();
  ScriptedServer server;
  const std::string body("--KapshoBoundaryX\r\n\0\x01\xff\r\n--KapshoBoundaryX--\r\n", 43);
  Recorder echo, missing;
  auto a = start(server.url("/echo"), echo, body), b = start(server.url("/missing"), missing);
  ASSERT_TRUE(
      spinUntil([&] { return echo.body.size() == 5 + body.size() && missing.body.size(); }));
  barrier(server);
  // The two exchanges run side by side, so their requests may arrive in either order.
  const auto sent = std::find_if(server.requests.begin(), server.requests.end(),
                                 [](const Received& r) { return r.path == "/echo"; });
  ASSERT_NE(sent, server.requests.end());
  EXPECT_EQ(sent->method, "POST");
  EXPECT_EQ(sent->contentType, "multipart/form-data; boundary=KapshoBoundaryX");
  EXPECT_EQ(sent->body, body);
  EXPECT_EQ(echo.events, (Events{"will POST " + server.url("/echo"), "response 201", "data"}));
  EXPECT_EQ(echo.body, "POST " + body);
  EXPECT_TRUE(echo.onMainThread);
  // An error status is an answer, not a failure.
  EXPECT_EQ(missing.events,
            (Events{"will POST " + server.url("/missing"), "response 404", "data"}));
}

TEST(URLConnection, RedirectsAreShownBeforeFollowingAndRefusalEndsTheExchange) {
  offscreenApplication();
  ScriptedServer server;
  for (const auto& [path, location, proposed] : std::vector<std::array<std::string, 3>>{
           {"/absolute", "http://127.0.0.1:1/img/abc.png", "http://127.0.0.1:1/img/abc.png"},
           {"/relative", "/img/rel.png", server.url("/img/rel.png")},
           {"/nowhere", "", server.url("/nowhere")}}) {
    Recorder refusing;
    auto connection = start(server.url(path), refusing);
    ASSERT_TRUE(spinUntil([&] { return !refusing.redirects.empty(); })) << path;
    barrier(server);
    const auto& headers = refusing.redirects[0].allHeaderFields();
    EXPECT_EQ(refusing.redirects[0].statusCode(), 302);
    EXPECT_EQ(headers.count("Location") ? headers.at("Location") : "", location);
    // A POST redirected by 302 goes on as a GET; refused, nothing follows, not even a response.
    EXPECT_EQ(refusing.events, (Events{"will POST " + server.url(path), "will GET " + proposed}));
  }
  for (const auto& request : server.requests) EXPECT_NE(request.path, "/img/rel.png");

  Recorder following;
  following.follow = true;
  auto connection = start(server.url("/relative"), following);
  ASSERT_TRUE(spinUntil([&] { return following.body == "PNG!"; }));
  EXPECT_EQ(server.requests.back().method, "GET");
  EXPECT_EQ(following.events.size(), 4u);
}

TEST(URLConnection, FailuresCarryTheirCodeAndSentence) {
  offscreenApplication();
  Recorder refused, waiting;
  const auto closedPort = std::to_string(testing_support::freeLocalPort());
  auto a = start("http://127.0.0.1:" + closedPort + "/app_upload.php", refused);
  ASSERT_TRUE(spinUntil([&] { return refused.error.has_value(); }));
  EXPECT_EQ(refused.error->domain(), "NSURLErrorDomain");
  EXPECT_EQ(refused.error->code(), NSURLErrorCannotConnectToHost);
  EXPECT_EQ(refused.error->localizedDescription(), "Could not connect to the server.");

  // A server that hangs up without an answer is a lost connection, not a time-out.
  ScriptedServer server;
  Recorder hungUp;
  auto c = start(server.url("/hangup"), hungUp);
  ASSERT_TRUE(spinUntil([&] { return hungUp.error.has_value(); }));
  EXPECT_EQ(hungUp.error->code(), NSURLErrorNetworkConnectionLost);
  EXPECT_EQ(hungUp.error->localizedDescription(), "The network connection was lost.");

  ShortTimeout shortly;
  auto b = start(server.url("/silent"), waiting);
  ASSERT_TRUE(spinUntil([&] { return waiting.error.has_value(); }));
  EXPECT_EQ(waiting.error->code(), NSURLErrorTimedOut);
  EXPECT_EQ(waiting.error->localizedDescription(), "The request timed out.");
  EXPECT_EQ(waiting.events, (Events{"will POST " + server.url("/silent"), "fail"}));
  EXPECT_FALSE(NSURLConnection::connectionWithRequest(post("ftp://127.0.0.1/x", ""), &waiting));
}

TEST(URLConnection, NothingReachesTheDelegateAfterCancelOrDrop) {
  offscreenApplication();
  ShortTimeout shortly;
  ScriptedServer server;
  Recorder early, waiting, later;
  auto unsent = start(server.url("/silent"), early, "unsent");
  unsent->cancel();
  auto cancelled = start(server.url("/silent"), waiting);
  ASSERT_TRUE(spinUntil([&] { return !server.requests.empty(); }));
  cancelled->cancel();
  // Started later, this one times out after the cancelled ones would have.
  auto timing = start(server.url("/silent"), later);
  ASSERT_TRUE(spinUntil([&] { return later.error.has_value(); }));
  EXPECT_TRUE(early.events.empty());
  EXPECT_EQ(waiting.events.size(), 1u);
  for (const auto& request : server.requests) EXPECT_NE(request.body, "unsent");

  // The delegate lets go of the connection inside its event, as the agent does: the reply is
  // released, and nothing more arrives even once the delegate is gone.
  auto dropping = std::make_unique<Recorder>();
  auto held = start(server.url("/slow"), *dropping);
  dropping->onEvent = [&] { held.reset(); };
  ASSERT_TRUE(spinUntil([&] { return server.closed.count("/slow") > 0; }));
  server.writeMore("/slow", "123");
  barrier(server);
  EXPECT_EQ(dropping->events.back(), "response 200");
  dropping.reset();
  server.writeMore("/slow", "45");

  Recorder redirected;
  held = start(server.url("/relative"), redirected);
  redirected.follow = true;
  redirected.onEvent = [&] { held.reset(); };
  ASSERT_TRUE(spinUntil([&] { return !held; }));
  barrier(server);
  EXPECT_EQ(redirected.events.size(), 2u);
}

}  // namespace
