#include "tests/support/Network.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <stdexcept>

#include "tests/support/LoopbackSocket.h"

namespace testing_support {

namespace {

// A listening socket on 127.0.0.1 at a port the kernel picks.
int listenLocally(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(fd, 64) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot listen on 127.0.0.1");
  port = ntohs(address.sin_port);
  return fd;
}

// A client that goes away while the thread writes to it must not end the test program: the
// signal stays pending on the thread and goes with it.
void blockBrokenPipes() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

int connectTo(const std::string& host, const std::string& port) {
  addrinfo hints{}, *found = nullptr;
  hints.ai_family = AF_INET;  // the servers of the tests listen on 127.0.0.1
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return -1;
  const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool connected = fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) == 0;
  freeaddrinfo(found);
  if (connected) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

}  // namespace

int freeLocalPort() {
  int port = 0;
  close(listenLocally(port));
  return port;
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

struct ScriptedServer::Connection {
  explicit Connection(int socket) : fd(socket) {}
  ~Connection() {
    if (ssl) SSL_free(ssl);
    close(fd);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  const int fd;
  SSL* ssl = nullptr;
  ssize_t read(char* buffer, size_t size) {
    return ssl ? SSL_read(ssl, buffer, static_cast<int>(size)) : ::read(fd, buffer, size);
  }
  void write(const std::string& bytes) {
    if (ssl)
      SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
    else
      sendAll(fd, bytes);
  }
};

ScriptedServer::ScriptedServer(Script script, const std::string& certificate,
                               const std::string& key)
    : script_(std::move(script)) {
  if (!certificate.empty()) {
    tls_.reset(SSL_CTX_new(TLS_server_method()));
    if (SSL_CTX_use_certificate_file(tls_.get(), certificate.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_.get(), key.c_str(), SSL_FILETYPE_PEM) != 1)
      throw std::runtime_error("cannot load " + certificate);
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
  const auto& connection = held_.at(request);  // empty while its answer is written
  return connection && recv(connection->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void ScriptedServer::serve() {
  blockBrokenPipes();
  for (int fd; (fd = accept()) >= 0;) {
    auto connection = std::make_unique<Connection>(fd);
    // A client that never finishes its request does not hold the server for good.
    const timeval patience{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    if (tls_) {
      connection->ssl = SSL_new(tls_.get());
      SSL_set_fd(connection->ssl, fd);
      // A client that refuses the certificate ends here, before any request.
      if (SSL_accept(connection->ssl) != 1) continue;
    }
    serveConnection(std::move(connection));
  }
}

void ScriptedServer::serveConnection(std::unique_ptr<Connection> connection) {
  ReceivedRequest request;
  std::string data;
  size_t wanted = std::string::npos;
  char buffer[65536];
  while (wanted == std::string::npos || data.size() < wanted) {
    const ssize_t n = connection->read(buffer, sizeof buffer);
    if (n <= 0) break;
    data.append(buffer, static_cast<size_t>(n));
    const size_t headEnd = data.find("\r\n\r\n");
    if (wanted == std::string::npos && headEnd != std::string::npos) {
      request.head = data.substr(0, headEnd + 2);
      const std::string length = request.header("Content-Length");
      wanted = headEnd + 4 + (length.empty() ? 0 : std::stoul(length));
    }
  }
  if (wanted == std::string::npos) return;
  request.body = data.substr(request.head.size() + 2);
  const std::optional<std::string> answer = script_(request);
  // Kept before the answer goes: a client that has its answer finds the request here.
  std::unique_lock lock(mutex_);
  requests_.push_back(request);
  held_.emplace_back();
  lock.unlock();
  if (answer) connection->write(*answer);
  const bool hold =
      !answer || (!answer->empty() && answer->find("Connection: close") == std::string::npos);
  lock.lock();
  if (hold) held_.back() = std::move(connection);
}

TunnelProxy::TunnelProxy() {
  thread_ = std::thread([this] {
    for (int fd; (fd = accept()) >= 0;) relays_.emplace_back([this, fd] { relay(fd); });
  });
}

TunnelProxy::~TunnelProxy() {
  stop();
  for (std::thread& relay : relays_) relay.join();
}

// Reads the request's head, connects to its target and passes bytes both ways until either side
// closes or the proxy ends.
void TunnelProxy::relay(int client) {
  blockBrokenPipes();
  std::string data;
  char buffer[65536];
  while (data.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = read(client, buffer, sizeof buffer);
    if (n <= 0) return (void)close(client);
    data.append(buffer, static_cast<size_t>(n));
  }
  ReceivedRequest request;
  request.head = data.substr(0, data.find("\r\n\r\n") + 2);
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  const std::string line = request.line();
  const bool tunnel = line.starts_with("CONNECT ");
  std::string target = line.substr(line.find(' ') + 1);
  target = target.substr(0, target.find(' '));
  if (!tunnel) target = target.substr(target.find("://") + 3, target.find('/', 7) - 7);
  const size_t colon = target.rfind(':');
  const int upstream = connectTo(target.substr(0, colon), target.substr(colon + 1));
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
  for (bool open = true; open;) {
    pollfd fds[3] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 3, -1) < 0 || fds[2].revents) break;
    for (int i = 0; i < 2 && open; ++i) {
      if (!fds[i].revents) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      open = n > 0;
      if (open) sendAll(fds[1 - i].fd, std::string(buffer, static_cast<size_t>(n)));
    }
  }
  close(upstream);
  close(client);
}

}  // namespace testing_support
