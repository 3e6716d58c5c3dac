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

namespace {

// 100 header fields: with the status line and the framing fields, more than a client reads.
std::string manyFields() {
  std::string fields;
  for (int i = 0; i < 100; ++i) fields += "X-Field-" + std::to_string(i) + ": 1\r\n";
  return fields;
}

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
  if (tail == "/many") return httpAnswer("200 OK", manyFields());
  if (tail == "/long") return httpAnswer("200 OK", "X-Long: " + std::string(70000, 'x') + "\r\n");
  if (tail == "/silent") return std::nullopt;
  return httpAnswer("200 OK", "", "done");
}

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
  bool ended() const { return error || (!events.empty() && events.back() == "data"); }

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
  offscreenApplication();
  return NSURLConnection::connectionWithRequest(post(url, body), &delegate);
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

class ShortTimeout {
 public:
  ShortTimeout() { NSURLConnection::setTimeoutOverrideForTesting(0.3); }
  ~ShortTimeout() { NSURLConnection::setTimeoutOverrideForTesting(std::nullopt); }
};

TEST(URLConnection, SendsTheRequestAsGivenAndReportsTheAnswerOnTheMainThread) {
  ScriptedServer server(routes);
  // Longer than an answer's header may be, and with more lines: the cap ends with the header.
  const std::string body =
      std::string("--KapshoBoundaryX\r\n\0\x01\xff\r\n--KapshoBoundaryX--\r\n", 43) +
      std::string(200, '\n') + std::string(70000, 'b');
  Recorder echo;
  auto connection = start(server.url("/echo"), echo, body);
  const std::string answer = "POST /echo HTTP/1.1\n" + body;
  ASSERT_TRUE(spinUntil([&] { return echo.body.size() == answer.size(); }));
  const ReceivedRequest sent = server.requests().at(0);
  EXPECT_EQ(sent.line(), "POST /echo HTTP/1.1");
  EXPECT_EQ(sent.header("Content-Type"), "multipart/form-data; boundary=KapshoBoundaryX");
  EXPECT_EQ(sent.header("Authorization"), "");
  EXPECT_EQ(sent.body, body);
  EXPECT_EQ(echo.events, (Events{"will POST " + server.url("/echo"), "response 201", "data"}));
  EXPECT_EQ(echo.body, answer);
  EXPECT_TRUE(echo.onMainThread);
}

TEST(URLConnection, RedirectsAreShownBeforeFollowingAndRefusalEndsTheExchange) {
  ScriptedServer server(routes);
  for (const auto& [path, location, proposed] : std::vector<std::array<std::string, 3>>{
           {"/absolute", "https://127.0.0.1:1/img/abc.png", "https://127.0.0.1:1/img/abc.png"},
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
  for (const auto& request : server.requests())
    EXPECT_NE(request.line(), "GET /img/rel.png HTTP/1.1");

  Recorder following;
  following.follow = true;
  exchange(server.url("/relative"), following);
  EXPECT_EQ(following.body, "PNG!");
  EXPECT_EQ(server.requests().back().line(), "GET /img/rel.png HTTP/1.1");
  EXPECT_EQ(following.events.size(), 4u);
}

TEST(URLConnection, FailuresCarryTheirCodeAndSentence) {
  TestCertificates certificates;
  ScriptedServer server(routes);
  ScriptedServer secure(routes, certificates.certificate(), certificates.key());
  ScriptedServer misnamed(routes, certificates.certificate("other"), certificates.key("other"));
  ShortTimeout shortly;
  const struct {
    std::string url;
    std::optional<std::string> certificates, proxy;
    NSURLErrorCode code;
    std::string sentence;
  } cases[] = {
      {"http://127.0.0.1:" + std::to_string(freeLocalPort()) + "/",
       {},
       {},
       NSURLErrorCannotConnectToHost,
       "Could not connect to the server."},
      // A server that hangs up without an answer is a lost connection, not a time-out.
      {server.url("/hangup"),
       {},
       {},
       NSURLErrorNetworkConnectionLost,
       "The network connection was lost."},
      {server.url("/silent"), {}, {}, NSURLErrorTimedOut, "The request timed out."},
      // A hostile server cannot make the client hold a header without end.
      {server.url("/many"),
       {},
       {},
       NSURLErrorBadServerResponse,
       "The server returned a bad response."},
      {server.url("/long"),
       {},
       {},
       NSURLErrorBadServerResponse,
       "The server returned a bad response."},
      {secure.url("/echo"),
       "/nonexistent",
       {},
       NSURLErrorServerCertificateUntrusted,
       "The certificate for this server is invalid: unable to get local issuer certificate."},
      {misnamed.url("/echo"),
       {},
       {},
       NSURLErrorServerCertificateUntrusted,
       "The certificate for this server is invalid: hostname mismatch."},
      {server.url("/echo"),
       {},
       "socks5://127.0.0.1:1",
       NSURLErrorUnsupportedURL,
       "The proxy's scheme is not supported."},
      {server.url("/echo"),
       {},
       "http://:8080",
       NSURLErrorUnsupportedURL,
       "The proxy setting names no host."},
  };
  for (const auto& c : cases) {
    ScopedEnv authority("SSL_CERT_FILE", c.certificates.value_or(certificates.authority()));
    ScopedEnv proxy("http_proxy", c.proxy);
    Recorder failing;
    exchange(c.url, failing);
    ASSERT_TRUE(failing.error) << c.url;
    EXPECT_EQ(failing.error->domain(), "NSURLErrorDomain");
    EXPECT_EQ(failing.error->code(), c.code) << c.url;
    EXPECT_EQ(failing.error->localizedDescription(), c.sentence) << c.url;
    EXPECT_EQ(failing.events, (Events{"will POST " + c.url, "fail"}));
  }
  Recorder none;
  EXPECT_FALSE(NSURLConnection::connectionWithRequest(post("ftp://127.0.0.1/x", ""), &none));
}

// Credentials in the URL go as Basic authorization; https trusts what SSL_CERT_FILE names;
// proxies come from the environment as curl reads it.
TEST(URLConnection, ReachesServersThroughTlsAndProxies) {
  TestCertificates certificates;
  ScriptedServer plain(routes), secure(routes, certificates.certificate(), certificates.key());
  TunnelProxy proxy;
  ScopedEnv trusted("SSL_CERT_FILE", certificates.authority());
  const std::string withUser = proxy.url().insert(7, "proxy%20user:pw@");
  const auto local = [&](const std::string& path) {
    return "http://localhost:" + std::to_string(plain.port()) + path;
  };
  auto credentials = [](std::string url) {
    return url.insert(url.find("://") + 3, "user:tok%40en@");
  };
  const struct {
    std::string url;
    std::vector<std::pair<std::string, std::string>> environment;
    std::string proxied;  // the request the proxy saw, "" when none
  } cases[] = {
      {secure.url("/echo"), {}, ""},
      {plain.url("/echo"), {{"HTTP_PROXY", proxy.url()}, {"https_proxy", proxy.url()}}, ""},
      {plain.url("/echo"), {{"http_proxy", withUser}}, "POST " + plain.url("/echo") + " HTTP/1.1"},
      {secure.url("/echo"),
       {{"HTTPS_PROXY", proxy.url()}},
       "CONNECT 127.0.0.1:" + std::to_string(secure.port()) + " HTTP/1.1"},
      {plain.url("/echo"),
       {{"ALL_PROXY", proxy.url()}, {"no_proxy", ""}},
       "POST " + plain.url("/echo") + " HTTP/1.1"},
      {plain.url("/echo"), {{"all_proxy", proxy.url()}, {"no_proxy", "*"}}, ""},
      {plain.url("/echo"),
       {{"http_proxy", proxy.url()}, {"NO_PROXY", "example.org, 127.0.0.1"}},
       ""},
      {plain.url("/echo"), {{"http_proxy", proxy.url()}, {"no_proxy", "127.0.0.0/31"}}, ""},
      {local("/echo"),
       {{"http_proxy", proxy.url()}, {"no_proxy", "host,127.0.0.1"}},
       "POST " + local("/echo") + " HTTP/1.1"},
      {local("/echo"), {{"http_proxy", proxy.url()}, {"no_proxy", ".LocalHost"}}, ""},
      {plain.url("/echo"),
       {{"http_proxy", proxy.url()}, {"no_proxy", "127.0.0.2,127.0.0.2/31,.0.0.1,10.0.0.0/8"}},
       "POST " + plain.url("/echo") + " HTTP/1.1"},
  };
  for (const auto& c : cases) {
    std::vector<std::unique_ptr<ScopedEnv>> environment;
    for (const auto& [name, value] : c.environment)
      environment.push_back(std::make_unique<ScopedEnv>(name, value));
    const size_t before = proxy.requests().size();
    Recorder delegate;
    exchange(credentials(c.url), delegate);
    EXPECT_EQ(delegate.events.at(1), "response 201") << c.url << " " << c.proxied;
    const auto& server = c.url.starts_with("https") ? secure : plain;
    EXPECT_EQ(server.requests().back().header("Authorization"), "Basic dXNlcjp0b2tAZW4=");
    const auto seen = proxy.requests();
    ASSERT_EQ(seen.size(), before + !c.proxied.empty()) << c.url << " " << c.proxied;
    if (c.proxied.empty()) continue;
    EXPECT_EQ(seen.back().line(), c.proxied);
    EXPECT_EQ(seen.back().header("Proxy-Authorization"),
              c.environment[0].second == withUser ? "Basic cHJveHkgdXNlcjpwdw==" : "");
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
  EXPECT_EQ(redirected.events.size(), 2u);
}

}  // namespace
