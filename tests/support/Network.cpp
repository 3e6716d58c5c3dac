#include "tests/support/Network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <stdexcept>

#include "tests/support/LoopbackSocket.h"

namespace testing_support {

namespace {

sockaddr_in loopback(const std::string& address, int port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &result.sin_addr);
  return result;
}

// A listening socket on 127.0.0.1 at a port the kernel picks.
int listenLocally(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback("127.0.0.1", 0);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot listen on 127.0.0.1");
  port = ntohs(address.sin_port);
  return fd;
}

int connectTo(const std::string& host, const std::string& port) {
  addrinfo hints{}, *found = nullptr;
  hints.ai_family = AF_INET;  // the servers of the tests listen on 127.0.0.1
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool connected = connect(fd, found->ai_addr, found->ai_addrlen) == 0;
  freeaddrinfo(found);
  if (!connected) close(fd);
  return connected ? fd : -1;
}

// Keeps the protocols a client offers, as a list, and chooses none of them.
int noteProtocols(SSL*, const unsigned char**, unsigned char*, const unsigned char* in,
                  unsigned int length, void* offered) {
  auto& list = *static_cast<std::string*>(offered);
  for (unsigned int at = 0; at < length; at += 1 + in[at])
    list +=
        (list.empty() ? "" : ",") + std::string(reinterpret_cast<const char*>(in) + at + 1,
                                                std::min<unsigned int>(in[at], length - at - 1));
  return SSL_TLSEXT_ERR_NOACK;
}

}  // namespace

// The reserving sockets stay bound, never listening, until the program ends: with SO_REUSEADDR
// on both sides a server may bind the port and listen while no other socket (another test's port
// 0, a client's ephemeral port) is given it, so nothing can take it between pick and bind.
int freeLocalPort() {
  struct Reserved {
    std::vector<int> sockets;
    ~Reserved() {
      for (const int fd : sockets) close(fd);
    }
  };
  static Reserved reserved;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  sockaddr_in address = loopback("127.0.0.1", 0);
  socklen_t length = sizeof address;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot reserve a port on 127.0.0.1");
  reserved.sockets.push_back(fd);
  return ntohs(address.sin_port);
}

bool sendAll(int fd, const std::string& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

LoopbackSocket::LoopbackSocket(int port, const std::string& from)
    : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  const sockaddr_in source = loopback(from, 0), target = loopback("127.0.0.1", port);
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0 ||
      connect(fd_, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    close(fd_);
    fd_ = -1;
  }
  // Each send goes out as its own segment, so that a test controls how the bytes arrive.
  const int yes = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

LoopbackSocket::~LoopbackSocket() {
  close(fd_);
}

std::string LoopbackSocket::receive(std::chrono::milliseconds deadline, const std::string& until) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  std::string reply;
  char buffer[64 * 1024];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd ready{fd_, POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return reply;
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return reply;
    reply.append(buffer, static_cast<std::size_t>(n));
    if (!until.empty() && reply.find(until) != std::string::npos) return reply;
  }
}

bool LoopbackSocket::closedByServer() {
  pollfd ready{fd_, POLLIN, 0};
  char byte;
  return poll(&ready, 1, 0) == 1 && recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

UploadRequest agentUpload(int port, std::size_t fileSize, const std::string& fileName) {
  const std::string boundary = "KapshoBoundary";
  UploadRequest request;
  request.partsBefore =
      "--" + boundary +
      "\r\nContent-Disposition: form-data; name=\"app_upload\"\r\n\r\nUpload\r\n--" + boundary +
      "\r\nContent-Disposition: form-data; name=\"userfile\"; filename=\"" + fileName +
      "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
  request.partsAfter = "\r\n--" + boundary + "--\r\n";
  const std::size_t length = request.partsBefore.size() + fileSize + request.partsAfter.size();
  request.head = "POST /app_upload.php HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                 "\r\nContent-Type: multipart/form-data; boundary=" + boundary +
                 "\r\nContent-Length: " + std::to_string(length) + "\r\nConnection: close\r\n\r\n";
  return request;
}

std::string statusLine(const std::string& reply) {
  return reply.substr(0, reply.find("\r\n"));
}

std::string ReceivedRequest::header(const std::string& name) const {
  std::smatch field;
  return std::regex_search(head, field,
                           std::regex("\r\n" + name + ": *([^\r]*)", std::regex::icase))
             ? field[1].str()
             : "";
}

std::string httpAnswer(const std::string& status, const std::string& headers,
                       const std::string& body) {
  return "HTTP/1.1 " + status + "\r\n" + headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

TestCertificates::TestCertificates() {
  auto make = [&](const std::string& name, const std::string& subject,
                  std::vector<std::string> command) {
    command.insert(command.begin(),
                   {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-keyout", key(name),
                    "-out", certificate(name), "-subj", subject});
    if (runCommand(command).exitCode != 0) throw std::runtime_error("openssl failed for " + name);
  };
  make("ca", "/CN=Kapsho Test CA", {});
  for (const auto& [name, host] :
       {std::pair{"server", "IP:127.0.0.1"}, {"other", "DNS:other.test"}})
    make(name, "/CN=test",
         {"-CA", authority(), "-CAkey", key("ca"), "-addext", std::string("subjectAltName=") + host,
          "-addext", "basicConstraints=critical,CA:FALSE"});
}

LocalServer::LocalServer() {
  listener_ = listenLocally(port_);
  if (pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
}

LocalServer::~LocalServer() {
  for (int fd : {listener_, wake_[0], wake_[1]}) close(fd);
}

void LocalServer::stop() {
  (void)!::write(wake_[1], "x", 1);
  thread_.join();
  for (std::thread& relay : relays_) relay.join();
}

void LocalServer::serveEach(std::function<void(int)> serve) {
  thread_ = std::thread([this, serve = std::move(serve)] {
    for (int fd; (fd = accept()) >= 0;) relays_.emplace_back(serve, fd);
  });
}

int LocalServer::accept() {
  while (true) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return -1;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return fd;
  }
}

std::vector<ReceivedRequest> LocalServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

ScriptedServer::ScriptedServer(Script script, const std::string& certificate,
                               const std::string& key)
    : script_(std::move(script)) {
  if (!certificate.empty()) {
    tls_.reset(SSL_CTX_new(TLS_server_method()));
    if (SSL_CTX_use_certificate_file(tls_.get(), certificate.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_.get(), key.c_str(), SSL_FILETYPE_PEM) != 1)
      throw std::runtime_error("cannot load " + certificate);
    SSL_CTX_set_quiet_shutdown(tls_.get(), 1);  // no closing message, as many servers do
    SSL_CTX_set_alpn_select_cb(tls_.get(), noteProtocols, &offered_);
  }
  thread_ = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer() {
  stop();
  held_.clear();
}

std::string ScriptedServer::url(const std::string& path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port()) + path;
}

bool ScriptedServer::closedByClient(size_t request) {
  std::lock_guard lock(mutex_);
  char byte;
  const auto& connection = held_.at(request);
  return connection &&
         recv(BIO_get_fd(connection.get(), nullptr), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void ScriptedServer::serve() {
  // A client that goes away while its answer is written must not end the test program: the
  // signal stays pending on this thread and goes with it.
  sigset_t brokenPipe;
  sigemptyset(&brokenPipe);
  sigaddset(&brokenPipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr);
  for (int fd; (fd = accept()) >= 0;) {
    // A client that never finishes its request does not hold the server for good.
    const timeval patience{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    Connection connection(BIO_new_socket(fd, BIO_CLOSE), BIO_free_all);
    if (tls_) connection.reset(BIO_push(BIO_new_ssl(tls_.get(), 0), connection.release()));
    // A client that refuses the certificate ends here, before any request.
    offered_.clear();
    if (tls_ && BIO_do_handshake(connection.get()) != 1) continue;
    ReceivedRequest request;
    request.protocols = offered_;
    std::string data;
    size_t wanted = std::string::npos;
    char buffer[65536];
    while (wanted == std::string::npos || data.size() < wanted) {
      const int n = BIO_read(connection.get(), buffer, sizeof buffer);
      if (n <= 0) break;
      data.append(buffer, static_cast<size_t>(n));
      const size_t headEnd = data.find("\r\n\r\n");
      if (wanted == std::string::npos && headEnd != std::string::npos) {
        request.head = data.substr(0, headEnd + 2);
        const std::string length = request.header("Content-Length");
        wanted = headEnd + 4 + (length.empty() ? 0 : std::stoul(length));
      }
    }
    if (wanted == std::string::npos) continue;
    request.body = data.substr(request.head.size() + 2);
    const std::optional<std::string> answer = script_(request);
    // Kept before the answer goes: a client that has its answer finds the request here.
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
      held_.emplace_back(answer ? nullptr : connection.release(), BIO_free_all);
    }
    if (answer) BIO_write(connection.get(), answer->data(), static_cast<int>(answer->size()));
  }
}

TunnelProxy::TunnelProxy() {
  serveEach([this](int fd) { relay(fd); });
}

// Reads the request's head, connects to its target and passes bytes both ways until either side
// closes or the proxy ends.
void TunnelProxy::relay(int client) {
  std::string data;
  char buffer[65536];
  while (data.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = read(client, buffer, sizeof buffer);
    if (n <= 0) return (void)close(client);
    data.append(buffer, static_cast<size_t>(n));
  }
  {
    std::lock_guard lock(mutex_);
    requests_.push_back({data.substr(0, data.find("\r\n\r\n") + 2), ""});
  }
  std::smatch target;  // CONNECT host:port, or a method and an absolute http address
  const bool known =
      std::regex_search(data, target, std::regex("^(\\S+) (?:http://)?([^:/ ]+):(\\d+)"));
  const bool tunnel = known && target[1] == "CONNECT";
  const int upstream = known ? connectTo(target[2], target[3]) : -1;
  if (upstream < 0) {
    sendAll(client, httpAnswer("502 Bad Gateway"));
    return (void)close(client);
  }
  if (tunnel) {
    sendAll(client, "HTTP/1.1 200 Connection established\r\n\r\n");
  } else {  // the target as its host expects it: from the path on
    const size_t start = data.find(' ') + 1;
    sendAll(upstream, data.erase(start, data.find('/', data.find("://") + 3) - start));
  }
  passBothWays(client, upstream);
}

void LocalServer::passBothWays(int client, int upstream, size_t clientLimit) {
  char buffer[65536];
  for (bool open = true; open;) {
    pollfd fds[3] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 3, -1) < 0 || fds[2].revents) break;
    for (int i = 0; i < 2 && open; ++i) {
      if (!fds[i].revents) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (i == 0 && n > 0) {
        n = static_cast<ssize_t>(std::min(static_cast<size_t>(n), clientLimit));
        clientLimit -= static_cast<size_t>(n);
      }
      open = n > 0 && sendAll(fds[1 - i].fd, std::string(buffer, static_cast<size_t>(n))) &&
             clientLimit > 0;
    }
  }
  close(upstream);
  close(client);
}

CuttingRelay::CuttingRelay(int port, size_t limit) {
  serveEach([this, port, limit](int fd) {
    const int upstream = connectTo("127.0.0.1", std::to_string(port));
    if (upstream < 0) return (void)close(fd);
    passBothWays(fd, upstream, limit);
  });
}

}  // namespace testing_support
