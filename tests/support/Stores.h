// Real servers of other makers for tests, each started once and ended with its object: an
// S3-compatible object store (Ceph's RADOS Gateway, by s3-store.sh), nginx as a TLS reverse
// proxy, and OpenSSH's sshd. They need root and their Debian packages; available() says whether
// they can run here.
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

// curl's answer to a request made with these arguments, the address last.
Answer curl(const std::vector<std::string>& arguments);

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

  bool started() const { return process_ != nullptr; }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port_); }

 private:
  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

// OpenSSH's sshd on 127.0.0.1, with a host key and a user key made for it. It lets in the account
// running the test (root, as CI runs) by that key alone, and serves SFTP itself.
class SSHServer : NoCopy {
 public:
  static bool available();
  SSHServer();
  ~SSHServer();

  bool started() const { return process_ != nullptr; }
  int port() const { return port_; }
  // The account that logs in, and its private key (a file its owner alone may read).
  std::string user() const;
  std::string userKey() const { return dir_.file("user_key"); }
  // The line of a known-hosts file for the server's host key, as reached at the port.
  std::string knownHostsLine(int port) const;
  // The host key's fingerprint as ssh shows it: "SHA256:...".
  std::string hostKeyFingerprint() const;
  // An empty folder to upload into.
  std::string folder() const { return dir_.file("shots"); }

 private:
  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace testing_support
