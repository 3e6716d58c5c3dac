// An HTTP/1.1 server for hostile networks, on GNU libmicrohttpd. A client gets one request per
// connection, a deadline for the whole of it, a bounded share of connections and memory, and one
// log line per request that names it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "tools/kapsho-upload-server/ImageStore.h"

struct MHD_Connection;
struct MHD_Daemon;

namespace upload_server {

struct ServerLimits {
  unsigned maxConnections = 0;
  unsigned maxPerClient = 0;
  // From the connection's start until the answer is ready.
  std::chrono::seconds requestTimeout{0};
};

// An answer: its status and headers, and a body of text or of an open file.
struct Reply {
  // One line of plain text, which the log line repeats.
  static Reply plain(int status, const std::string& text);

  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string text;
  // When open, the body is this file of fileSize bytes instead of the text.
  Descriptor file;
  std::uint64_t fileSize = 0;
  // What the log line says after the status.
  std::string note;
};

// The head of a request; its framing is already checked.
class Request {
 public:
  Request(MHD_Connection* connection, std::string method, std::string path, std::string client);

  const std::string& method() const { return method_; }
  // The client's address, as the log names it.
  const std::string& client() const { return client_; }
  // Percent-decoded.
  const std::string& path() const { return path_; }
  // The first value of a header field, or nullopt.
  std::optional<std::string> header(const char* name) const;
  std::size_t headerCount(const char* name = nullptr) const;
  // The declared Content-Length, or nullopt without one.
  std::optional<std::uint64_t> contentLength() const;
  MHD_Connection* connection() const { return connection_; }

 private:
  MHD_Connection* connection_;
  std::string method_;
  std::string path_;
  std::string client_;
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

class HttpServer {
 public:
  HttpServer(RequestHandler& handler, ServerLimits limits);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens and serves on threads of its own (port 0: one the system picks); gives the reason
  // when it cannot.
  std::optional<std::string> start(const std::string& address, int port);
  // The port listened on, once started.
  int port() const { return port_; }
  // Takes no more connections, gives requests in flight up to `grace` to finish, then closes the
  // rest and returns.
  void stop(std::chrono::milliseconds grace);

 private:
  struct Exchange;
  // libmicrohttpd's callbacks, which call the members below.
  struct Callbacks;

  void opened(MHD_Connection* connection, void** context);
  bool begin(Exchange& exchange, const Request& request);
  void closed(Exchange* exchange);
  // Cuts off the connections whose request is not in by its deadline.
  void watch();

  RequestHandler& handler_;
  const ServerLimits limits_;
  MHD_Daemon* daemon_ = nullptr;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<Exchange*> exchanges_;
  bool stopping_ = false;
  std::thread watchdog_;
};

}  // namespace upload_server
