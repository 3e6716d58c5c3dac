// A raw TCP client on loopback, for talking HTTP to a server byte for byte: malformed requests,
// slow senders, connections from another loopback address.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "tests/support/TestSupport.h"

namespace testing_support {

// Sends all of the bytes on the socket; false once the peer has closed or reset the connection.
bool sendAll(int fd, const std::string& bytes);

class LoopbackSocket : NoCopy {
 public:
  // Connects to 127.0.0.1:port from the loopback address `from` (any of 127.0.0.0/8); check
  // connected() before use.
  explicit LoopbackSocket(int port, const std::string& from = "127.0.0.1");
  ~LoopbackSocket();

  bool connected() const { return fd_ >= 0; }
  // Sends all of the bytes; false once the server has closed or reset the connection.
  bool send(const std::string& bytes) { return sendAll(fd_, bytes); }
  // Reads until the server closes the connection, `until` has come (when not empty) or the
  // deadline passes; gives what came.
  std::string receive(std::chrono::milliseconds deadline = std::chrono::seconds(10),
                      const std::string& until = "");
  // Whether the server has closed the connection (reading gives end of file or an error).
  bool closedByServer();

 private:
  int fd_ = -1;
};

// The agent's upload of a file to /app_upload.php on its own connection, in pieces so that a
// large file can be streamed: head, then partsBefore, the file's bytes, partsAfter.
struct UploadRequest {
  std::string head;
  std::string partsBefore;
  std::string partsAfter;
  std::string whole(const std::string& bytes) const {
    return head + partsBefore + bytes + partsAfter;
  }
};
UploadRequest agentUpload(int port, std::size_t fileSize,
                          const std::string& fileName = "Picture 1.png");

// The first line of an HTTP answer ("HTTP/1.1 404 Not Found"), or "" when none came.
std::string statusLine(const std::string& reply);

}  // namespace testing_support
