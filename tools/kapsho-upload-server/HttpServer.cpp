#include "tools/kapsho-upload-server/HttpServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/foundation/Log.h"

namespace upload_server {

namespace {

using Clock = std::chrono::steady_clock;

// Room for a request line and headers of a few kilobytes; MHD answers 414 or 431 past it.
constexpr std::size_t kConnectionMemory = 32 * 1024;
constexpr std::size_t kMaxHeaderFields = 64;
constexpr auto kWatchInterval = std::chrono::milliseconds(100);
constexpr std::size_t kMaxLoggedTarget = 256;
// The pieces a streamed body is read in.
constexpr std::size_t kSourceBlock = 64 * 1024;
const char* const kPlainText = "text/plain; charset=utf-8";

// A log line holds what a client sent only as printable ASCII: no control byte can forge a line
// or drive a terminal.
std::string escapedForLog(std::string_view text) {
  std::string escaped;
  for (const char c : text.substr(0, kMaxLoggedTarget)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && c != '\\') {
      escaped += c;
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      escaped += hex;
    }
  }
  if (text.size() > kMaxLoggedTarget) escaped += "...";
  return escaped;
}

std::string addressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address && address->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  else if (address && address->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
              sizeof text);
  return text;
}

std::optional<std::uint64_t> parseLength(const std::string& text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// A body whose length two headers disagree on is where request smuggling starts.
std::optional<Reply> framingFault(const Request& request) {
  const std::size_t lengths = request.headerCount("Content-Length");
  const auto transfer = request.header("Transfer-Encoding");
  if (lengths > 1 || (lengths == 1 && transfer) ||
      (transfer && strcasecmp(transfer->c_str(), "chunked") != 0) ||
      (lengths == 1 && !parseLength(*request.header("Content-Length"))))
    return Reply::plain(400, "conflicting or unknown body framing");
  if (request.headerCount() > kMaxHeaderFields)
    return Reply::plain(431, "more than " + std::to_string(kMaxHeaderFields) + " header fields");
  return std::nullopt;
}

const char* endingNote(MHD_RequestTerminationCode code) {
  switch (code) {
    case MHD_REQUEST_TERMINATED_WITH_ERROR:
      return "refused: malformed or too large";
    case MHD_REQUEST_TERMINATED_TIMEOUT_REACHED:
      return "closed: client idle";
    case MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN:
      return "closed: server stopping";
    default:
      return "closed: client went away";
  }
}

}  // namespace

// One connection, which carries one request.
struct HttpServer::Exchange {
  // The peer's address until the request's head names the client behind a trusted proxy.
  std::string client;
  // What the connection counts against ("" for a trusted proxy's own).
  std::string key;
  int fd = -1;
  Clock::time_point deadline;
  bool sawRequestLine = false;
  bool begun = false;
  std::string target = "-";
  std::string method = "-";
  std::unique_ptr<BodyReader> body;
  // The answer of a fault met while the body was still coming.
  std::optional<Reply> failure;
  int status = 0;
  std::string note;
  MHD_RequestTerminationCode ending = MHD_REQUEST_TERMINATED_COMPLETED_OK;
  std::atomic<bool> answered = false;
  std::atomic<bool> cutOff = false;
};

struct HttpServer::Callbacks {
  static MHD_Result accept(void* self, const sockaddr* address, socklen_t) {
    return static_cast<HttpServer*>(self)->admits(address) ? MHD_YES : MHD_NO;
  }

  static void connection(void* self, MHD_Connection* connection, void** context,
                         MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<HttpServer*>(self);
    if (code == MHD_CONNECTION_NOTIFY_STARTED)
      server->opened(connection, context);
    else if (*context)
      server->closed(static_cast<Exchange*>(*context));
  }

  static void* requestLine(void*, const char* target, MHD_Connection* connection) {
    const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    auto* exchange = info ? static_cast<Exchange*>(info->socket_context) : nullptr;
    if (!exchange) return nullptr;
    exchange->sawRequestLine = true;
    exchange->target = target ? target : "";
    return exchange;
  }

  // Whatever a request holds, its exchange ends with an answer: a fault of this server's own
  // becomes a 500 for that request alone, never the end of the process.
  static MHD_Result request(void* self, MHD_Connection* connection, const char* path,
                            const char* method, const char*, const char* data, std::size_t* size,
                            void** context) {
    auto* exchange = static_cast<Exchange*>(*context);
    if (!exchange || !size) return MHD_NO;
    try {
      return serve(*static_cast<HttpServer*>(self), connection, *exchange, path ? path : "",
                   method ? method : "", data, *size);
    } catch (const std::exception& error) {
      return failed(connection, *exchange, error.what(), *size);
    } catch (...) {
      return failed(connection, *exchange, "an unknown exception", *size);
    }
  }

  static MHD_Result serve(HttpServer& server, MHD_Connection* connection, Exchange& exchange,
                          const char* path, const char* method, const char* data,
                          std::size_t& size) {
    if (!exchange.begun) {
      exchange.begun = true;
      exchange.method = method;
      return server.begin(exchange, connection, method, path) ? MHD_YES : MHD_NO;
    }
    if (exchange.failure) {
      if (size == 0) return answer(connection, exchange, std::move(*exchange.failure));
      size = 0;
      return MHD_YES;
    }
    if (size > 0) {
      if (data) exchange.body->consume(data, size);
      size = 0;
      return MHD_YES;
    }
    return answer(connection, exchange, exchange.body->finish());
  }

  // Answers at once when no body is on its way, else once the rest of it is counted off.
  static MHD_Result failed(MHD_Connection* connection, Exchange& exchange, const char* what,
                           std::size_t& size) {
    Reply reply = Reply::plain(500, "internal server error");
    reply.note = "internal error: " + escapedForLog(what);
    exchange.body.reset();
    if (exchange.answered) return MHD_NO;
    if (size == 0) return answer(connection, exchange, std::move(reply));
    exchange.failure = std::move(reply);
    size = 0;
    return MHD_YES;
  }

  static ssize_t readSource(void* source, std::uint64_t, char* data, std::size_t size);
  static void dropSource(void* source);

  static void completed(void*, MHD_Connection* connection, void** context,
                        MHD_RequestTerminationCode code) {
    auto* exchange = static_cast<Exchange*>(*context);
    if (!exchange) return;
    exchange->ending = code;
    // The library's own answers (431, 400) are logged with their status too.
    const auto* sent = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_HTTP_STATUS);
    if (!exchange->status && sent) exchange->status = static_cast<int>(sent->http_status);
  }

  static MHD_Result answer(MHD_Connection* connection, Exchange& exchange, Reply reply) {
    MHD_Response* response =
        reply.file.get() >= 0 ? MHD_create_response_from_fd64(reply.fileSize, reply.file.get())
        : reply.source
            ? MHD_create_response_from_callback(reply.fileSize, kSourceBlock, &readSource,
                                                reply.source.get(), &dropSource)
            : MHD_create_response_from_buffer(reply.text.size(), reply.text.data(),
                                              MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    // The response owns the file or the source now.
    reply.file.release();
    reply.source.release();
    for (const auto& [name, value] : reply.headers)
      MHD_add_response_header(response, name.c_str(), value.c_str());
    // What a client sends after its request is never read, so nothing can be smuggled in.
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
    MHD_destroy_response(response);
    exchange.body.reset();
    exchange.status = reply.status;
    exchange.note = std::move(reply.note);
    exchange.answered = true;
    return queued;
  }
};

ssize_t HttpServer::Callbacks::readSource(void* source, std::uint64_t, char* data,
                                          std::size_t size) {
  const ssize_t got = static_cast<ImageSource*>(source)->read(data, size);
  return got > 0    ? got
         : got == 0 ? MHD_CONTENT_READER_END_OF_STREAM
                    : MHD_CONTENT_READER_END_WITH_ERROR;
}

void HttpServer::Callbacks::dropSource(void* source) {
  delete static_cast<ImageSource*>(source);
}

Reply Reply::plain(int status, const std::string& text) {
  Reply reply;
  reply.status = status;
  reply.headers.emplace_back(MHD_HTTP_HEADER_CONTENT_TYPE, kPlainText);
  reply.text = text + "\n";
  reply.note = text;
  return reply;
}

Request::Request(MHD_Connection* connection, std::string method, std::string path, Origin origin)
    : connection_(connection),
      method_(std::move(method)),
      path_(std::move(path)),
      origin_(std::move(origin)) {}

std::optional<std::string> Request::header(const char* name) const {
  const char* value = MHD_lookup_connection_value(connection_, MHD_HEADER_KIND, name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

std::string Request::headerList(const char* name) const {
  struct Values {
    const char* name;
    std::string joined;
  } values{name, {}};
  const auto join = [](void* context, MHD_ValueKind, const char* key, const char* value) {
    auto* values = static_cast<Values*>(context);
    if (key && value && strcasecmp(key, values->name) == 0)
      values->joined += (values->joined.empty() ? "" : ", ") + std::string(value);
    return MHD_YES;
  };
  MHD_get_connection_values(connection_, MHD_HEADER_KIND, join, &values);
  return values.joined;
}

std::size_t Request::headerCount(const char* name) const {
  struct Count {
    const char* name;
    std::size_t found = 0;
  } count{name};
  const auto tally = [](void* context, MHD_ValueKind, const char* key, const char*) {
    auto* count = static_cast<Count*>(context);
    if (!count->name || strcasecmp(key, count->name) == 0) ++count->found;
    return MHD_YES;
  };
  MHD_get_connection_values(connection_, MHD_HEADER_KIND, tally, &count);
  return count.found;
}

std::optional<std::uint64_t> Request::contentLength() const {
  const auto text = header(MHD_HTTP_HEADER_CONTENT_LENGTH);
  return text ? parseLength(*text) : std::nullopt;
}

HttpServer::HttpServer(RequestHandler& handler, ServerLimits limits, TrustedProxies proxies)
    : handler_(handler), limits_(limits), proxies_(std::move(proxies)) {}

HttpServer::~HttpServer() {
  stop(std::chrono::milliseconds(0));
}

std::variant<Listener, std::string> listenOn(const std::string& address, int port) {
  const std::string where = "cannot listen on " + address + " port " + std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (const int error = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found))
    return where + ": " + gai_strerror(error);
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> resolved(found, freeaddrinfo);
  Listener listener{
      platform::FileDescriptor(socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0)), 0,
      found->ai_family == AF_INET6};
  // SO_REUSEADDR alone: a restart binds at once, but a second server never shares the port.
  const int yes = 1;
  const int fd = listener.socket.get();
  sockaddr_storage bound{};
  socklen_t boundSize = sizeof bound;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
      bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundSize) != 0)
    return where + ": " + std::strerror(errno);
  listener.port = ntohs(listener.ipv6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                      : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return listener;
}

std::optional<std::string> HttpServer::start(Listener listener) {
  // A thread for each connection, within the limits: a slow disk or a slow client holds up only
  // its own. poll(), unlike select(), takes any descriptor number.
  const unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD |
                         MHD_USE_POLL | MHD_USE_ITC | (listener.ipv6 ? MHD_USE_IPv6 : 0);
  daemon_ = MHD_start_daemon(
      flags, 0, &Callbacks::accept, this, &Callbacks::request, this, MHD_OPTION_LISTEN_SOCKET,
      listener.socket.get(), MHD_OPTION_CONNECTION_LIMIT, limits_.maxConnections,
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(limits_.requestTimeout.count()),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_CONNECTION,
      &Callbacks::connection, this, MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::requestLine, this,
      MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::completed, this, MHD_OPTION_END);
  if (!daemon_) return "the HTTP server did not start";
  listener.socket.release();
  watchdog_ = std::thread([this] { watch(); });
  return std::nullopt;
}

void HttpServer::stop(std::chrono::milliseconds grace) {
  if (!daemon_) return;
  const int listener = MHD_quiesce_daemon(daemon_);
  if (listener >= 0) close(listener);
  {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, grace, [&] { return exchanges_.empty(); });
  }
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  watchdog_.join();
}

// Runs on the thread that accepts connections, as opened() does, so that what a client holds is
// up to date when its next connection is weighed.
bool HttpServer::admits(const sockaddr* address) {
  const std::string client = addressText(address);
  if (proxies_.trusts(client)) return true;
  const std::lock_guard lock(mutex_);
  const auto held = held_.find(clientKey(client));
  return held == held_.end() || held->second < limits_.maxPerClient;
}

void HttpServer::opened(MHD_Connection* connection, void** context) {
  auto* exchange = new Exchange;
  const auto* address = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  exchange->client = addressText(address ? address->client_addr : nullptr);
  if (!proxies_.trusts(exchange->client)) count(*exchange, exchange->client);
  const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  exchange->fd = info ? info->connect_fd : -1;
  exchange->deadline = Clock::now() + limits_.requestTimeout;
  *context = exchange;
  const std::lock_guard lock(mutex_);
  exchanges_.insert(exchange);
}

bool HttpServer::count(Exchange& exchange, const std::string& client) {
  const std::lock_guard lock(mutex_);
  const std::string key = clientKey(client);
  unsigned& held = held_[key];
  if (held >= limits_.maxPerClient) return false;
  ++held;
  exchange.key = key;
  return true;
}

bool HttpServer::begin(Exchange& exchange, MHD_Connection* connection, const char* method,
                       const char* path) {
  const Request head(connection, method, path, {exchange.client, "", ""});
  Origin origin = proxies_.originOf(
      exchange.client, {head.headerList("Forwarded"), head.headerList("X-Forwarded-For"),
                        head.headerList("X-Forwarded-Proto"), head.header("Host").value_or("")});
  if (origin.client != exchange.client) {
    exchange.client = origin.client;
    if (!count(exchange, origin.client))
      return Callbacks::answer(connection, exchange,
                               Reply::plain(429, "too many connections from " + origin.client)) ==
             MHD_YES;
  }
  const Request request(connection, method, path, std::move(origin));
  if (auto fault = framingFault(request))
    return Callbacks::answer(request.connection(), exchange, std::move(*fault)) == MHD_YES;
  auto start = handler_.begin(request);
  if (auto* reply = std::get_if<Reply>(&start))
    return Callbacks::answer(request.connection(), exchange, std::move(*reply)) == MHD_YES;
  exchange.body = std::move(std::get<std::unique_ptr<BodyReader>>(start));
  return true;
}

void HttpServer::closed(Exchange* exchange) {
  {
    const std::lock_guard lock(mutex_);
    exchanges_.erase(exchange);
    if (const auto held = held_.find(exchange->key); held != held_.end() && --held->second == 0)
      held_.erase(held);
  }
  changed_.notify_all();
  const std::unique_ptr<Exchange> gone(exchange);
  if (!exchange->sawRequestLine && !exchange->cutOff) return;
  std::string outcome = exchange->status ? std::to_string(exchange->status) : "-";
  if (!exchange->note.empty())
    outcome += " " + exchange->note;
  else if (exchange->cutOff)
    outcome += " cut off: no whole request within " +
               std::to_string(limits_.requestTimeout.count()) + " s";
  else if (exchange->ending != MHD_REQUEST_TERMINATED_COMPLETED_OK)
    outcome += std::string(" ") + endingNote(exchange->ending);
  NSLog("%@ %@ %@ %@", exchange->client, escapedForLog(exchange->method),
        escapedForLog(exchange->target), outcome);
}

void HttpServer::watch() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const auto now = Clock::now();
    for (Exchange* exchange : exchanges_)
      if (!exchange->answered && exchange->fd >= 0 && now >= exchange->deadline &&
          !exchange->cutOff.exchange(true))
        // The library closes the connection once it sees it shut; it closes the descriptor
        // only after telling closed(), which waits for this lock.
        shutdown(exchange->fd, SHUT_RDWR);
    changed_.wait_for(lock, kWatchInterval);
  }
}

}  // namespace upload_server
