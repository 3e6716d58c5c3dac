#include "platform/foundation/HTTPClient.h"

#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <sys/socket.h>

#include <QUrl>
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

// A connection's stream as the client reads and writes it, with the header budget applied to
// every byte handed out before the answer's header is complete.
class BoundedStream final : public httplib::Stream {
 public:
  BoundedStream(int sock, SSL* ssl, timeval readTimeout, timeval writeTimeout, HeaderBudget& budget)
      : sock_(sock), ssl_(ssl), read_(readTimeout), write_(writeTimeout), budget_(budget) {}

  bool is_readable() const override { return begin_ < end_ || pending() || ready(POLLIN, read_); }
  bool is_writable() const override { return ready(POLLOUT, write_); }

  ssize_t read(char* ptr, size_t size) override {
    if (begin_ == end_) {
      const ssize_t filled = fill();
      if (filled <= 0) return filled;
    }
    const size_t n = std::min(size, end_ - begin_);
    if (!spend(buffer_.data() + begin_, n)) return -1;
    std::memcpy(ptr, buffer_.data() + begin_, n);
    begin_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!ready(POLLOUT, write_)) return -1;
    if (ssl_) {
      const int n = SSL_write(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
      return n > 0 ? n : -1;
    }
    ssize_t n;
    while ((n = send(sock_, ptr, size, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return n;
  }

  // The client never asks for the addresses.
  void get_remote_ip_and_port(std::string&, int&) const override {}
  void get_local_ip_and_port(std::string&, int&) const override {}
  socket_t socket() const override { return sock_; }

 private:
  bool pending() const { return ssl_ && SSL_pending(ssl_) > 0; }

  bool ready(short events, timeval timeout) const {
    pollfd fd{sock_, events, 0};
    const int milliseconds = static_cast<int>(timeout.tv_sec * 1000 + timeout.tv_usec / 1000);
    int n;
    while ((n = poll(&fd, 1, milliseconds)) < 0 && errno == EINTR) {
    }
    return n > 0;
  }

  // More bytes into the buffer: their count, 0 at the end of the stream, -1 on failure.
  ssize_t fill() {
    if (!pending() && !ready(POLLIN, read_)) return -1;
    ssize_t n;
    if (ssl_) {
      n = SSL_read(ssl_, buffer_.data(), static_cast<int>(buffer_.size()));
      if (n <= 0) return SSL_get_error(ssl_, static_cast<int>(n)) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    } else {
      while ((n = recv(sock_, buffer_.data(), buffer_.size(), 0)) < 0 && errno == EINTR) {
      }
      if (n <= 0) return n;
    }
    begin_ = 0;
    end_ = static_cast<size_t>(n);
    return n;
  }

  // Counts bytes handed out while the header is read; false once past a cap.
  bool spend(const char* bytes, size_t n) {
    if (budget_.complete) return true;
    budget_.bytes += n;
    budget_.lines += static_cast<size_t>(std::count(bytes, bytes + n, '\n'));
    budget_.exceeded = budget_.bytes > kMaxHeaderBytes || budget_.lines > kMaxHeaderLines;
    return !budget_.exceeded;
  }

  const int sock_;
  SSL* const ssl_;
  const timeval read_, write_;
  HeaderBudget& budget_;
  std::array<char, 16384> buffer_;
  size_t begin_ = 0, end_ = 0;
};

// cpp-httplib's client (plain or TLS) whose exchanges go through a bounded stream.
template <typename Base>
class BoundedClient final : public Base {
 public:
  BoundedClient(const std::string& host, int port, HeaderBudget& budget)
      : Base(host, port), budget_(budget) {}

 private:
  bool process_socket(const typename Base::Socket& socket,
                      std::function<bool(httplib::Stream&)> callback) override {
    BoundedStream stream(socket.sock, socket.ssl,
                         {this->read_timeout_sec_, this->read_timeout_usec_},
                         {this->write_timeout_sec_, this->write_timeout_usec_}, budget_);
    return callback(stream);
  }

  HeaderBudget& budget_;
};

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? std::optional<std::string>(value) : std::nullopt;
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// An address, or an address range "address/bits", that holds the host's address.
bool addressMatches(const std::string& entry, const std::string& host) {
  const size_t slash = entry.find('/');
  const std::string address = entry.substr(0, slash);
  const int family = host.find(':') == std::string::npos ? AF_INET : AF_INET6;
  unsigned char want[16], have[16];
  if (inet_pton(family, address.c_str(), want) != 1 || inet_pton(family, host.c_str(), have) != 1)
    return false;
  const int size = family == AF_INET ? 32 : 128;
  const int bits = slash == std::string::npos ? size : std::atoi(entry.c_str() + slash + 1);
  if (bits < 0 || bits > size) return false;
  for (int bit = 0; bit < bits; ++bit)
    if (((want[bit / 8] ^ have[bit / 8]) >> (7 - bit % 8)) & 1) return false;
  return true;
}

// Whether a no_proxy list names the host: "*" names all; a name names itself and the names
// under it; an address is named by an address or a range that holds it.
bool listsHost(const std::string& list, const std::string& host) {
  if (list == "*") return true;
  const std::string name = lowered(host);
  unsigned char scratch[16];
  const bool isAddress = inet_pton(AF_INET, name.c_str(), scratch) == 1 ||
                         inet_pton(AF_INET6, name.c_str(), scratch) == 1;
  for (size_t start = 0; start <= list.size();) {
    const size_t end = std::min(list.find(',', start), list.size());
    std::string entry = lowered(list.substr(start, end - start));
    start = end + 1;
    std::erase_if(entry, [](char c) { return c == ' ' || c == '\t' || c == '[' || c == ']'; });
    if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
    if (entry.empty()) continue;
    if (isAddress ? addressMatches(entry, name) : name == entry || name.ends_with("." + entry))
      return true;
  }
  return false;
}

HTTPProxy parseProxy(std::string text) {
  if (text.find("://") == std::string::npos) text = "http://" + text;
  const QUrl url(QString::fromStdString(text));
  HTTPProxy proxy;
  proxy.scheme = url.scheme().toLower().toStdString();
  proxy.host = url.host().toStdString();
  proxy.port = url.port(1080);
  proxy.user = url.userName(QUrl::FullyDecoded).toStdString();
  proxy.password = url.password(QUrl::FullyDecoded).toStdString();
  return proxy;
}

}  // namespace

std::optional<HTTPProxy> proxyForTarget(const HTTPTarget& target) {
  auto setting = target.https ? environment("https_proxy") : environment("http_proxy");
  if (!setting && target.https) setting = environment("HTTPS_PROXY");
  if (!setting) setting = environment("all_proxy");
  if (!setting) setting = environment("ALL_PROXY");
  if (!setting) return std::nullopt;
  auto exceptions = environment("no_proxy");
  if (!exceptions) exceptions = environment("NO_PROXY");
  if (exceptions && listsHost(*exceptions, target.host)) return std::nullopt;
  return parseProxy(*setting);
}

std::unique_ptr<httplib::ClientImpl> makeHTTPClient(const HTTPTarget& target,
                                                    const std::optional<HTTPProxy>& proxy,
                                                    HeaderBudget& budget) {
  std::unique_ptr<httplib::ClientImpl> client;
  if (target.https) {
    auto tls =
        std::make_unique<BoundedClient<httplib::SSLClient>>(target.host, target.port, budget);
    // Many servers end the connection without TLS's closing message; the answer is still whole
    // when its length says so.
    SSL_CTX_set_options(tls->ssl_context(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    tls->enable_server_certificate_verification(true);
    client = std::move(tls);
  } else {
    client = std::make_unique<BoundedClient<httplib::ClientImpl>>(target.host, target.port, budget);
  }
  if (!target.user.empty() || !target.password.empty())
    client->set_basic_auth(target.user, target.password);
  if (proxy) {
    client->set_proxy(proxy->host, proxy->port);
    if (!proxy->user.empty() || !proxy->password.empty())
      client->set_proxy_basic_auth(proxy->user, proxy->password);
  }
  return client;
}

long certificateVerifyResult(const httplib::ClientImpl& client) {
  const auto* tls = dynamic_cast<const httplib::SSLClient*>(&client);
  return tls ? tls->get_openssl_verify_result() : X509_V_OK;
}

}  // namespace platform
