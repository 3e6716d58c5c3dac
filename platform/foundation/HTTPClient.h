// The client side of one HTTP exchange, internal to URL loading: cpp-httplib's client for http
// or https, through the proxy the environment names, reading a bounded answer header.
#pragma once

#include <httplib.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace platform {

// Where an exchange goes: the URL's scheme, host and port, and the credentials it carries.
struct HTTPTarget {
  bool https = false;
  std::string host;  // an IPv6 literal without its brackets
  int port = 80;
  std::string user, password;  // percent-decoded; empty when the URL has none
};

// A proxy as curl reads it from "[scheme://][user:password@]host[:port]" (port 1080 by default).
struct HTTPProxy {
  std::string scheme = "http";
  std::string host;
  int port = 1080;
  std::string user, password;
};

// The proxy the environment names for a target, as curl reads it: http_proxy (lower case only)
// for http, https_proxy or HTTPS_PROXY for https, else all_proxy or ALL_PROXY; none when no_proxy
// or NO_PROXY lists the host ("*", a host or domain, an address or an address range "a.b.c.d/n").
std::optional<HTTPProxy> proxyForTarget(const HTTPTarget& target);

// The most of an answer's header that is read: its bytes, and its lines (status line included).
inline constexpr size_t kMaxHeaderBytes = 64 * 1024;
inline constexpr size_t kMaxHeaderLines = 101;

// What has been read of the current answer's header. The exchange marks it complete once the
// header is parsed; past a cap the read fails and `exceeded` tells why.
struct HeaderBudget {
  size_t bytes = 0;
  size_t lines = 0;
  bool complete = false;
  bool exceeded = false;
};

// A client for the target, connecting through the proxy when there is one (only an http proxy is
// supported): https verifies the server through OpenSSL's default verify paths, so SSL_CERT_FILE
// and SSL_CERT_DIR apply; credentials go as Basic authorization. The budget must outlive it.
std::unique_ptr<httplib::ClientImpl> makeHTTPClient(const HTTPTarget& target,
                                                    const std::optional<HTTPProxy>& proxy,
                                                    HeaderBudget& budget);

// OpenSSL's verification result of an https client's last connection; X509_V_OK otherwise.
long certificateVerifyResult(const httplib::ClientImpl& client);

}  // namespace platform
