// Network scaffolding for tests, all on 127.0.0.1 at ports of their own: a scripted HTTP server
// (plain or TLS), a tunnelling proxy, and certificates signed by a test authority.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"

namespace testing_support {

struct ReceivedRequest {
  std::string head;  // request line and header fields, each ending in CRLF
  std::string body;
  // Over TLS, the application protocols the client offered ("h2,http/1.1").
  std::string protocols = {};
  std::string line() const { return head.substr(0, head.find("\r\n")); }
  // The first field of that name (any case), "" when absent.
  std::string header(const std::string& name) const;
};

// A raw HTTP answer with the given status line, extra header lines and body.
std::string httpAnswer(const std::string& status, const std::string& headers = "",
                       const std::string& body = "");

// A certificate authority of the test and a server certificate it signed for 127.0.0.1, made
// with the openssl command; "other" is signed by it for another host name.
class TestCertificates {
 public:
  TestCertificates();
  std::string authority() const { return dir_.file("ca.pem"); }
  std::string certificate(const std::string& name = "server") const {
    return dir_.file(name + ".pem");
  }
  std::string key(const std::string& name = "server") const { return dir_.file(name + ".key"); }

 private:
  TempDir dir_;
};

// What the servers share: a socket listening on 127.0.0.1 at a port of its own, the thread that
// serves it, and the requests that came. A server starts its thread once it is set up, and stops
// it in its destructor.
class LocalServer {
 public:
  int port() const { return port_; }
  std::vector<ReceivedRequest> requests() const;

 protected:
  LocalServer();
  ~LocalServer();
  void stop();
  // The next connection; -1 once stopping.
  int accept();
  // Serves each connection on a thread of its own until the server stops.
  void serveEach(std::function<void(int)> serve);
  // Passes bytes both ways until either side closes, the server stops, or the client has sent
  // `clientLimit` bytes through (the rest of what came with the last of them is dropped); then
  // closes both.
  void passBothWays(int client, int upstream, size_t clientLimit = SIZE_MAX);

  int wake_[2] = {-1, -1};  // readable once stopping
  mutable std::mutex mutex_;
  std::vector<ReceivedRequest> requests_;
  std::thread thread_;

 private:
  std::vector<std::thread> relays_;
  int listener_ = -1;
  int port_ = 0;
};

// Serves one connection at a time. For each request the script gives the raw answer, after which
// the connection is closed ("" hangs up at once); nullopt holds it without answering. Over TLS
// when given a certificate and its key.
class ScriptedServer : public LocalServer {
 public:
  using Script = std::function<std::optional<std::string>(const ReceivedRequest&)>;
  explicit ScriptedServer(Script script, const std::string& certificate = "",
                          const std::string& key = "");
  ~ScriptedServer();

  std::string url(const std::string& path) const;
  // Whether the client closed the held connection of a request.
  bool closedByClient(size_t request);

 private:
  using Connection = std::unique_ptr<BIO, void (*)(BIO*)>;
  void serve();

  Script script_;
  std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> tls_{nullptr, SSL_CTX_free};
  std::string offered_;           // by the connection being served
  std::vector<Connection> held_;  // by request; null where answered
};

// An HTTP proxy: CONNECT opens a tunnel to the named host and port, a request in absolute form
// is passed on to its host in origin form. Keeps each request's head as it came.
class TunnelProxy : public LocalServer {
 public:
  TunnelProxy();
  ~TunnelProxy() { stop(); }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port()); }

 private:
  void relay(int client);
};

// Passes each TCP connection on to a port on 127.0.0.1, and cuts it (closes both ends) once the
// client has sent `limit` bytes through it: a connection lost in the middle of an upload.
class CuttingRelay : public LocalServer {
 public:
  CuttingRelay(int port, size_t limit);
  ~CuttingRelay() { stop(); }
};

}  // namespace testing_support
