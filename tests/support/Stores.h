// Real servers of other makers for tests, each started once and ended with its object: an
// S3-compatible object store (Ceph's RADOS Gateway, by s3-store.sh) and nginx as a TLS reverse
// proxy. Both need root and their Debian packages; available() says whether they can run here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace testing_support {

// What a request to a server gave: its status (0 when it could not be made), header block and
// body.
struct Answer {
  int status = 0;
  std::string headers;
  std::string body;
};

class S3Store : NoCopy {
 public:
  static bool available();
  S3Store();
  ~S3Store();

  bool started() const { return port_ > 0; }
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  const std::string& accessKey() const { return access_; }
  const std::string& secretKey() const { return secret_; }
  // A file of the keys in the AWS tools' credentials format, readable by its owner only.
  std::string credentialsFile() const { return dir_.file("credentials"); }
  // A request signed with the store's keys to a path ("/bucket/key"); the body from a file.
  Answer request(const std::string& method, const std::string& path,
                 const std::string& bodyFile = "") const;
  // The gateway alone stops and starts: the store is down, then back.
  bool stopGateway() const;
  bool startGateway() const;

 private:
  TempDir dir_;
  int port_ = 0;
  std::string access_, secret_;
};

// nginx serving https on 127.0.0.1 with the certificate and key, passing every request to the
// upstream servers (by the client's address, so that a client keeps to one), with the client's
// address in X-Forwarded-For and the scheme in X-Forwarded-Proto.
class ReverseProxy : NoCopy {
 public:
  static bool available();
  ReverseProxy(const std::vector<int>& upstreamPorts, const std::string& certificate,
               const std::string& key);
  ~ReverseProxy();

  bool started() const { return started_; }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port_); }

 private:
  TempDir dir_;
  int port_ = 0;
  bool started_ = false;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace testing_support
