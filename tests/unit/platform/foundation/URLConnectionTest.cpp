#include <gtest/gtest.h>

#include <array>

#include "platform/foundation/Thread.h"
#include "platform/foundation/URLConnection.h"
#include "tests/support/Network.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;
using namespace platform_tests;
using namespace testing_support;
using Events = std::vector<std::string>;
using Environment = std::vector<std::string>;  // NAME=value

namespace {

// Answers by path: what the tests below ask of a server.
std::optional<std::string> routes(const ReceivedRequest& r) {
  const std::string line = r.line();
  const std::string path = line.substr(line.find(' ') + 1, line.rfind(' ') - line.find(' ') - 1);
  const std::string tail = path.substr(path.rfind('/'));
  if (tail == "/echo") return httpAnswer("201 Created", "", line + "\n" + r.body);
  if (tail == "/absolute")
    return httpAnswer("302 Found", "Location: https://127.0.0.1:1/img/abc.png\r\n", "moved");
  if (tail == "/relative") return httpAnswer("302 Found", "Location: /img/rel.png\r\n", "moved");
  if (tail == "/nowhere") return httpAnswer("302 Found");
  if (tail == "/rel.png") return httpAnswer("200 OK", "", "PNG!");
  if (tail == "/slow") return std::string("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nfirst");
  if (tail == "/hangup") return "";
  // 100 header fields: with the status line and the framing fields, more than a client reads.
  std::string fields;
  for (int i = 0; i < 100; ++i) fields += "X-Field-" + std::to_string(i) + ": 1\r\n";
  if (tail == "/many") return httpAnswer("200 OK", fields);
  if (tail == "/long") return httpAnswer("200 OK", "X-Long: " + std::string(70000, 'x') + "\r\n");
  if (tail == "/silent") return std::nullopt;
  return httpAnswer("200 OK", "", "done");
}

class Recorder : public NSURLConnectionDelegate {
 public:
  std::optional<NSMutableURLRequest> connectionWillSendRequest(
      NSURLConnection&, const NSMutableURLRequest& request,
      const NSHTTPURLResponse* redirect) override {
    if (redirect) {
      const auto& headers = redirect->allHeaderFields();
      note("redirect " + std::to_string(redirect->statusCode()) + " to " +
           (headers.count("Location") ? headers.at("Location") : ""));
    }
    note("will " + request.HTTPMethod() + " " + request.URL().absoluteString());
    if (!redirect) return request;
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
  bool ended() const { return error || (!events.empty() && events.back() == "data"); }

  Events events;
  std::string body;
  std::optional<NSError> error;
  bool follow = false, onMainThread = true;
  std::function<void()> onEvent;
};

// Starts a POST of the body as an upload sends it.
std::shared_ptr<NSURLConnection> start(const std::string& url, Recorder& delegate,
                                       const std::string& body = "x") {
  offscreenApplication();
  auto request = NSMutableURLRequest::requestWithURL(*NSURL::URLWithString(url),
                                                     NSURLRequestReloadIgnoringCacheData, 60.0);
  request.setHTTPMethod("POST");
  request.setValue("multipart/form-data; boundary=KapshoBoundaryX", "Content-Type");
  request.setHTTPBody(Data(body.begin(), body.end()));
  return NSURLConnection::connectionWithRequest(request, &delegate);
}

// Runs one exchange to its end.
void exchange(const std::string& url, Recorder& delegate) {
  auto connection = start(url, delegate);
  ASSERT_TRUE(spinUntil([&] { return delegate.ended(); })) << url;
}

// Runs one more exchange to its end: what earlier exchanges had queued is delivered by then.
void barrier(ScriptedServer& server) {
  Recorder later;
  exchange(server.url("/barrier"), later);
}

// Sets the variables for as long as the result lives.
std::vector<std::unique_ptr<ScopedEnv>> setting(const Environment& environment) {
  std::vector<std::unique_ptr<ScopedEnv>> set;
  for (const std::string& variable : environment)
    if (const size_t equals = variable.find('='); equals != std::string::npos)
      set.push_back(
          std::make_unique<ScopedEnv>(variable.substr(0, equals), variable.substr(equals + 1)));
  return set;
}

class ShortTimeout {
 public:
  ShortTimeout() { NSURLConnection::setTimeoutOverrideForTesting(0.3); }
  ~ShortTimeout() { NSURLConnection::setTimeoutOverrideForTesting(std::nullopt); }
};

// A POST redirected by 302 goes on as a GET; refused, nothing follows, not even a response.
TEST(URLConnection, RedirectsAreShownBeforeFollowingAndRefusalEndsTheExchange) {
  ScriptedServer server(routes);
  for (const auto& [path, location, proposed] : std::vector<std::array<std::string, 3>>{
           {"/absolute", "https://127.0.0.1:1/img/abc.png", "https://127.0.0.1:1/img/abc.png"},
           {"/relative", "/img/rel.png", server.url("/img/rel.png")},
           {"/nowhere", "", server.url("/nowhere")}}) {
    Recorder refusing;
    auto connection = start(server.url(path), refusing);
    ASSERT_TRUE(spinUntil([&] { return refusing.events.size() == 3; })) << path;
    barrier(server);
    EXPECT_EQ(refusing.events, (Events{"will POST " + server.url(path),
                                       "redirect 302 to " + location, "will GET " + proposed}));
  }
  for (const auto& request : server.requests()) {
    EXPECT_NE(request.line(), "GET /img/rel.png HTTP/1.1");
    EXPECT_EQ(request.header("Authorization"), "");
  }
  Recorder following;
  following.follow = true;
  exchange(server.url("/relative"), following);
  EXPECT_EQ(following.body, "PNG!");
  EXPECT_EQ(server.requests().back().line(), "GET /img/rel.png HTTP/1.1");
  EXPECT_EQ(following.events,
            (Events{"will POST " + server.url("/relative"), "redirect 302 to /img/rel.png",
                    "will GET " + server.url("/img/rel.png"), "response 200", "data"}));
}

// A server that hangs up without an answer is a lost connection, not a time-out; a hostile one
// cannot make the client hold a header without end; a proxy that cannot be used is no reason to
// go direct.
TEST(URLConnection, FailuresCarryTheirCodeAndSentence) {
  TestCertificates certificates;
  ScriptedServer server(routes), secure(routes, certificates.certificate(), certificates.key());
  ScriptedServer misnamed(routes, certificates.certificate("other"), certificates.key("other"));
  ShortTimeout shortly;
  ScopedEnv trusted("SSL_CERT_FILE", certificates.authority());
  const std::string bad = "The server returned a bad response.";
  const struct {
    std::string url, environment;
    NSURLErrorCode code;
    std::string sentence;
  } cases[] = {
      {"http://127.0.0.1:" + std::to_string(freeLocalPort()) + "/", "",
       NSURLErrorCannotConnectToHost, "Could not connect to the server."},
      {server.url("/hangup"), "", NSURLErrorNetworkConnectionLost,
       "The network connection was lost."},
      {server.url("/silent"), "", NSURLErrorTimedOut, "The request timed out."},
      {server.url("/many"), "", NSURLErrorBadServerResponse, bad},
      {server.url("/long"), "", NSURLErrorBadServerResponse, bad},
      {secure.url("/echo"), "SSL_CERT_FILE=/nonexistent", NSURLErrorServerCertificateUntrusted,
       "The certificate for this server is invalid: unable to get local issuer certificate."},
      {misnamed.url("/echo"), "", NSURLErrorServerCertificateUntrusted,
       "The certificate for this server is invalid: hostname mismatch."},
      {server.url("/echo"), "http_proxy=socks5://127.0.0.1:1", NSURLErrorUnsupportedURL,
       "The proxy's scheme is not supported."},
      {server.url("/echo"), "http_proxy=http://:8080", NSURLErrorUnsupportedURL,
       "The proxy setting names no host."}};
  for (const auto& c : cases) {
    const auto set = setting({c.environment});
    Recorder failing;
    exchange(c.url, failing);
    ASSERT_TRUE(failing.error) << c.url;
    EXPECT_EQ(failing.error->domain(), "NSURLErrorDomain");
    EXPECT_EQ(failing.error->code(), c.code) << c.url;
    EXPECT_EQ(failing.error->localizedDescription(), c.sentence) << c.url;
    EXPECT_EQ(failing.events, (Events{"will POST " + c.url, "fail"}));
  }
  Recorder none;
  EXPECT_FALSE(start("ftp://127.0.0.1/x", none));
}

// The request goes as given and the answer comes on the main thread. Credentials in the URL go as
// Basic authorization; https trusts what SSL_CERT_FILE names; proxies come from the environment
// as curl reads it.
TEST(URLConnection, SendsTheRequestThroughTlsAndProxiesAndReportsTheAnswerOnTheMainThread) {
  TestCertificates certificates;
  ScriptedServer plain(routes), secure(routes, certificates.certificate(), certificates.key());
  TunnelProxy proxy;
  ScopedEnv trusted("SSL_CERT_FILE", certificates.authority());
  const std::string p = proxy.url(), withUser = proxy.url().insert(7, "proxy%20user:pw@");
  const std::string http = plain.url("/echo"), https = secure.url("/echo");
  const std::string local = "http://localhost:" + std::to_string(plain.port()) + "/echo";
  // Longer than an answer's header may be, and with more lines: the cap ends with the header.
  const std::string body =
      std::string("--KapshoBoundaryX\r\n\0\x01\xff\r\n--KapshoBoundaryX--\r\n", 43) +
      std::string(200, '\n') + std::string(70000, 'b');
  const struct {
    std::string url;
    Environment environment;
    bool proxied;
  } cases[] = {
      {https, {}, false},
      {http, {"HTTP_PROXY=" + p, "https_proxy=" + p}, false},
      {http, {"http_proxy=" + withUser}, true},
      {https, {"HTTPS_PROXY=" + p}, true},
      {http, {"ALL_PROXY=" + p, "no_proxy="}, true},
      {http, {"all_proxy=" + p, "no_proxy=*"}, false},
      {http, {"http_proxy=" + p, "NO_PROXY=example.org, 127.0.0.1"}, false},
      {http, {"http_proxy=" + p, "no_proxy=127.0.0.0/31"}, false},
      {local, {"http_proxy=" + p, "no_proxy=host,127.0.0.1"}, true},
      {local, {"http_proxy=" + p, "no_proxy=.LocalHost"}, false},
      {http, {"http_proxy=" + p, "no_proxy=127.0.0.2,127.0.0.2/31,.0.0.1,10.0.0.0/8"}, true}};
  for (const auto& c : cases) {
    const auto set = setting(c.environment);
    const size_t before = proxy.requests().size();
    std::string url = c.url;
    url.insert(url.find("://") + 3, "user:tok%40en@");
    Recorder echo;
    auto connection = start(url, echo, body);
    ASSERT_TRUE(spinUntil([&] { return echo.error || echo.body.ends_with("\n" + body); })) << c.url;
    EXPECT_EQ(echo.events, (Events{"will POST " + url, "response 201", "data"})) << c.url;
    EXPECT_TRUE(echo.onMainThread);
    const ReceivedRequest sent = (c.url == https ? secure : plain).requests().back();
    EXPECT_EQ(sent.header("Content-Type"), "multipart/form-data; boundary=KapshoBoundaryX");
    EXPECT_EQ(sent.header("Authorization"), "Basic dXNlcjp0b2tAZW4=");
    EXPECT_EQ(sent.body, body);
    const auto seen = proxy.requests();
    ASSERT_EQ(seen.size(), before + c.proxied) << c.url << " " << c.proxied;
    if (!c.proxied) {
      EXPECT_EQ(sent.line(), "POST /echo HTTP/1.1");
      continue;
    }
    EXPECT_EQ(seen.back().line(),
              c.url == https ? "CONNECT 127.0.0.1:" + std::to_string(secure.port()) + " HTTP/1.1"
                             : "POST " + c.url + " HTTP/1.1");
    EXPECT_EQ(seen.back().header("Proxy-Authorization"),
              c.environment[0] == "http_proxy=" + withUser ? "Basic cHJveHkgdXNlcjpwdw==" : "");
  }
}

TEST(URLConnection, NothingReachesTheDelegateAfterCancelOrDrop) {
  ShortTimeout shortly;
  ScriptedServer server(routes);
  Recorder early, waiting, later;
  auto unsent = start(server.url("/silent"), early, "unsent");
  unsent->cancel();
  auto cancelled = start(server.url("/silent"), waiting);
  ASSERT_TRUE(spinUntil([&] { return !server.requests().empty(); }));
  cancelled->cancel();
  // Started later, this one times out after the cancelled ones would have.
  exchange(server.url("/silent"), later);
  EXPECT_TRUE(early.events.empty());
  EXPECT_EQ(waiting.events.size(), 1u);
  for (const auto& request : server.requests()) EXPECT_NE(request.body, "unsent");

  // The delegate lets go of the connection inside its event, as the agent does: the reply is
  // released, and nothing more arrives even once the delegate is gone.
  auto dropping = std::make_unique<Recorder>();
  auto held = start(server.url("/slow"), *dropping);
  dropping->onEvent = [&] { held.reset(); };
  const size_t slow = server.requests().size();
  ASSERT_TRUE(
      spinUntil([&] { return server.requests().size() > slow && server.closedByClient(slow); }));
  server.writeMore(slow, "123");
  barrier(server);
  EXPECT_EQ(dropping->events.back(), "response 200");
  dropping.reset();
  server.writeMore(slow, "45");
  Recorder redirected;
  held = start(server.url("/relative"), redirected);
  redirected.follow = true;
  redirected.onEvent = [&] { held.reset(); };
  ASSERT_TRUE(spinUntil([&] { return !held; }));
  barrier(server);
  EXPECT_EQ(redirected.events.size(), 3u);
}

}  // namespace
