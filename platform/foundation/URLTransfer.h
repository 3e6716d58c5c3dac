// Transfers on libcurl that run on the calling thread, for work done off the main thread as a
// whole (an upload made of several exchanges): each call returns once its transfer has ended.
// One object holds one libcurl handle, so successive transfers to one server share a connection.
// A transfer fails as timed out once its idle limit passes without a byte moving either way.
// Proxies, no_proxy, SSL_CERT_FILE and SSL_CERT_DIR count as they do for URL loading.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/URLConnection.h"

namespace platform {

class URLTransfer {
 public:
  // How an SFTP transfer logs in. The server's host key must be the one the known-hosts file
  // (OpenSSH's format) holds for its host and port: an unknown or a different key fails the
  // transfer with a sentence naming the key's SHA256 fingerprint, as ssh shows it. The user
  // logs in with the private key file (its public key is derived from it) or, without one,
  // through the SSH agent at SSH_AUTH_SOCK.
  struct SSHLogin {
    std::string knownHostsFile;
    std::string privateKeyFile;
  };

  // Keys that sign HTTP requests with AWS Signature Version 4 for the region's "s3" service.
  // The caller gives the request its x-amz-content-sha256 field, which the signature covers.
  struct AWSSignature {
    std::string region;
    std::string accessKeyID, secretAccessKey;
    std::string sessionToken;  // sent as x-amz-security-token, when there is one
  };

  // An HTTP server's final answer; of its body, the first AnswerBytesKept bytes.
  struct Answer {
    int statusCode = 0;
    std::map<std::string, std::string> headerFields;  // by lower-case name
    std::string body;
  };
  static constexpr size_t AnswerBytesKept = 64 * 1024;

  explicit URLTransfer(std::chrono::duration<double> idleLimit = std::chrono::seconds(60));
  ~URLTransfer();
  URLTransfer(const URLTransfer&) = delete;
  URLTransfer& operator=(const URLTransfer&) = delete;

  // From any thread: the transfer under way ends at once, and it and every later one fail with
  // NSURLErrorCancelled.
  void cancel();

  // Whether a file (or folder) exists at the sftp:// URL.
  std::variant<bool, NSError> fileExists(const std::string& url, const SSHLogin& login);
  // Writes the bytes to the file at the sftp:// URL (a new file gets mode 0644; the folder must
  // exist), then runs the commands on the same connection: libcurl's SFTP commands, such as
  // "rename FROM TO" or "rm PATH" with absolute paths in double quotes. The first that fails
  // fails the transfer, with the server's words.
  std::optional<NSError> putFile(const std::string& url, const Data& bytes, const SSHLogin& login,
                                 const std::vector<std::string>& commandsAfter);
  // Runs the commands alone, over a connection to the server of the sftp:// URL.
  std::optional<NSError> runCommands(const std::string& url, const SSHLogin& login,
                                     const std::vector<std::string>& commands);

  // Sends the HTTP(S) request (its method, header fields and body as they are) signed with the
  // keys; a redirect is an answer like any other.
  std::variant<Answer, NSError> send(const NSMutableURLRequest& request,
                                     const AWSSignature& signature);

 private:
  struct State;
  struct Callbacks;

  void prepare(const std::string& url, const char* protocols);
  void logIn(const std::string& url, const SSHLogin& login);
  std::optional<NSError> perform();
  NSError failure(int code) const;

  std::unique_ptr<State> state_;
  const std::chrono::duration<double> idleLimit_;
  std::atomic<bool> cancelled_ = false;
};

}  // namespace platform
