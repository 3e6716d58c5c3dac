// An HTTP/1.1 server for hostile networks, on GNU libmicrohttpd. A client gets one request per
// connection, a deadline for the whole of it, a bounded share of connections and memory, and one
// log line per request that names it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "tools/kapsho-upload-server/Clients.h"
#include "tools/kapsho-upload-server/ImageStore.h"

struct MHD_Connection;
struct MHD_Daemon;
struct sockaddr;

namespace upload_server {

struct ServerLimits {
  unsigned maxConnections = 0;
  // Per client: an address, an IPv6 /64, or the client a trusted proxy names.
  unsigned maxPerClient = 0;
  // From the connection's start until the answer is ready.
  std::chrono::seconds requestTimeout{0};
};

// An answer: its status and headers, and a body of text, of an open file, or from a source.
struct Reply {
  // One line of plain text, which the log line repeats.
  static Reply plain(int status, const std::string& text);

  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string text;
  // When open, the body is this file of fileSize bytes instead of the text; or else, when set,
  // fileSize bytes of this source.
  platform::FileDescriptor file;
  std::unique_ptr<ImageSource> source;
  std::uint64_t fileSize = 0;
  // What the log line says after the status.
  std::string note;
};

// The head of a request; its framing is already checked.
class Request {
 public:
  Request(MHD_Connection* connection, std::string method, std::string path, Origin origin);

  const std::string& method() const { return method_; }
  // The client's address, as the log names it: behind a trusted proxy, the one the proxy names.
  const std::string& client() const { return origin_.client; }
  // The scheme and host the client asked for, as a trusted proxy tells them; "" when not told.
  const Origin& origin() const { return origin_; }
  // Percent-decoded.
  const std::string& path() const { return path_; }
  // The first value of a header field, or nullopt.
  std::optional<std::string> header(const char* name) const;
  // Every value of a header field, joined by ", " as a list field may be.
  std::string headerList(const char* name) const;
  std::size_t headerCount(const char* name = nullptr) const;
  // The declared Content-Length, or nullopt without one.
  std::optional<std::uint64_t> contentLength() const;
  MHD_Connection* connection() const { return connection_; }

 private:
  MHD_Connection* connection_;
  std::string method_;
  std::string path_;
  Origin origin_;
};

// Takes a request's body as it arrives.
class BodyReader {
 public:
  virtual ~BodyReader() = default;
  virtual void consume(const char* data, std::size_t size) = 0;
  // The answer, once the whole body has come.
  virtual Reply finish() = 0;
};

class RequestHandler {
 public:
  // The answer to a request, given as soon as its head has come, or the reader of its body.
  using Start = std::variant<Reply, std::unique_ptr<BodyReader>>;

  virtual ~RequestHandler() = default;
  virtual Start begin(const Request& request) = 0;
};

// A socket listening for connections, and the port it listens on.
struct Listener {
  platform::FileDescriptor socket;
  int port = 0;
  bool ipv6 = false;
};
// Listens on a numeric address and port (0: one the system picks), or gives the reason.
std::variant<Listener, std::string> listenOn(const std::string& address, int port);

class HttpServer {
 public:
  // The fields of how a request was forwarded are believed only from the trusted proxies.
  HttpServer(RequestHandler& handler, ServerLimits limits, TrustedProxies proxies = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Serves the listener's connections on threads of its own; gives the reason when it cannot.
  std::optional<std::string> start(Listener listener);
  // Takes no more connections, gives requests in flight up to `grace` to finish, then closes the
  // rest and returns.
  void stop(std::chrono::milliseconds grace);

 private:
  struct Exchange;
  // libmicrohttpd's callbacks, which call the members below.
  struct Callbacks;

  bool admits(const sockaddr* address);
  void opened(MHD_Connection* connection, void** context);
  bool begin(Exchange& exchange, MHD_Connection* connection, const char* method, const char* path);
  // Counts the exchange's connection against its client; false when the client holds its share.
  bool count(Exchange& exchange, const std::string& client);
  void closed(Exchange* exchange);
  // Cuts off the connections whose request is not in by its deadline.
  void watch();

  RequestHandler& handler_;
  const ServerLimits limits_;
  const TrustedProxies proxies_;
  MHD_Daemon* daemon_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<Exchange*> exchanges_;
  // Connections held by each client, by its key.
  std::map<std::string, unsigned> held_;
  bool stopping_ = false;
  std::thread watchdog_;
};

}  // namespace upload_server
