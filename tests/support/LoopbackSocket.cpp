#include "tests/support/LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support {

namespace {

sockaddr_in loopback(const std::string& address, int port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &result.sin_addr);
  return result;
}

}  // namespace

LoopbackSocket::LoopbackSocket(int port, const std::string& from) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in source = loopback(from, 0), target = loopback("127.0.0.1", port);
  if (fd_ >= 0 && bind(fd_, reinterpret_cast<const sockaddr*>(&source), sizeof source) == 0 &&
      connect(fd_, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
    // Each send goes out as its own segment, so that a test controls how the bytes arrive.
    const int yes = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

LoopbackSocket::~LoopbackSocket() {
  if (fd_ >= 0) close(fd_);
}

bool sendAll(int fd, const std::string& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
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

}  // namespace testing_support
