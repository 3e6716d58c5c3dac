// The S3-compatible store's answers as the upload service reads them through libcurl: the status,
// the header fields (an object's ETag, the deletion digest kept in its metadata), error documents
// and an object's bytes. A server on loopback answers every request with the input's bytes after
// its first, which chooses what the service asks: whether the bucket answers, to store an image,
// to serve one, or to delete one.
// Invariants: a stored image is named after its bytes; a refusal or an unavailable store says why;
// an image served reads to its end, no more bytes than the store sent and starting with the first
// bytes its type was told by; an image is deleted only when the store kept its token's digest.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <mutex>
#include <thread>

#include "tests/fuzz/FuzzSupport.h"
#include "tools/kapsho-upload-server/BucketStore.h"
#include "tools/kapsho-upload-server/ImageType.h"

using fuzz_support::shown;
using namespace upload_server;

namespace {

const std::string kImage = "\x89PNG\r\n\x1a\nfuzz";
const std::string kName = "0123456789abcdef0123456789abcdef.png";
// The deletion token asked with; the dictionary holds its digest.
const std::string kToken = "fuzz-token";

// Answers each request on 127.0.0.1 with the same bytes once its head and declared body have
// come, then closes the connection.
class AnsweringServer {
 public:
  AnsweringServer() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      fuzz_support::broken("cannot listen on loopback");
    port_ = ntohs(address.sin_port);
    std::thread([this] { serve(); }).detach();
  }

  int port() const { return port_; }
  void answerWith(std::string_view bytes) {
    const std::lock_guard lock(mutex_);
    answer_ = bytes;
  }

 private:
  void serve() {
    for (;;) {
      const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      if (readRequest(connection)) {
        std::string answer;
        {
          const std::lock_guard lock(mutex_);
          answer = answer_;
        }
        // A blocking send sends it whole, or the client has gone.
        send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
        shutdown(connection, SHUT_WR);
      }
      close(connection);
    }
  }

  // The head, then as many bytes as its Content-Length declares.
  static bool readRequest(int connection) {
    std::string request;
    char buffer[4096];
    std::size_t headEnd = std::string::npos;
    std::size_t wanted = std::string::npos;
    while (wanted == std::string::npos || request.size() < wanted) {
      const ssize_t got = recv(connection, buffer, sizeof buffer, 0);
      if (got <= 0) return false;
      request.append(buffer, std::size_t(got));
      if (headEnd == std::string::npos &&
          (headEnd = request.find("\r\n\r\n")) != std::string::npos) {
        const std::size_t field = request.substr(0, headEnd).find("Content-Length: ");
        wanted =
            headEnd + 4 + (field == std::string::npos ? 0 : std::stoul(request.substr(field + 16)));
      }
    }
    return true;
  }

  int listener_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::string answer_;
};

struct Service {
  AnsweringServer server;
  BucketStore store;
  Service()
      : store({.endpoint = "http://127.0.0.1:" + std::to_string(server.port()),
               .region = "fuzz-1",
               .bucket = "images",
               .accessKey = "AKFUZZ",
               .secretKey = "fuzz-secret"},
              fuzz_support::scratchFolder() / "spool") {}
};

Service& service() {
  static Service* running = new Service;
  return *running;
}

std::string sha256(const std::string& bytes) {
  return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

void store(const BucketStore& bucket) {
  std::string error;
  const auto file = bucket.receive(&error);
  FUZZ_REQUIRE(file && file->append(kImage.data(), kImage.size()), "cannot spool: " + error);
  const StoreOutcome outcome = bucket.store(*file, ".png");
  const std::string name = sha256(kImage).substr(0, ImageStore::kNameDigits) + ".png";
  if (outcome.kind == StoreOutcome::Kind::Stored || outcome.kind == StoreOutcome::Kind::NameTaken)
    FUZZ_REQUIRE(outcome.text == name, "an image was stored as " + shown(outcome.text));
  else
    FUZZ_REQUIRE(!outcome.text.empty(), "a store that did not store says nothing of why");
}

void serve(const BucketStore& bucket, std::string_view answer) {
  ServedImage image = bucket.open(kName);
  if (image.kind == ServedImage::Kind::Unavailable)
    FUZZ_REQUIRE(!image.reason.empty(), "an unavailable store says nothing of why");
  if (image.kind != ServedImage::Kind::Found) return;
  FUZZ_REQUIRE(image.source && image.leading.size() <= kImageSignatureBytes,
               "an image was found without its source or with " +
                   std::to_string(image.leading.size()) + " leading bytes");
  std::string bytes;
  char buffer[1024];
  for (ssize_t got; (got = image.source->read(buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, std::size_t(got));
    FUZZ_REQUIRE(bytes.size() <= answer.size(), "more bytes were served than the store sent");
  }
  FUZZ_REQUIRE(bytes.starts_with(image.leading),
               "an image's bytes do not start with those its type was told by: " +
                   shown(image.leading) + " against " + shown(bytes));
}

void remove(const BucketStore& bucket, std::string_view answer) {
  if (bucket.remove(kName, kToken) == Removal::Removed)
    FUZZ_REQUIRE(answer.find(sha256(kToken)) != std::string_view::npos,
                 "an image was deleted though the store kept no digest of its token");
}

}  // namespace

FUZZ_TARGET_CHOOSING(choice, answer) {
  Service& running = service();
  running.server.answerWith(answer);
  switch (choice % 4) {
    case 0: {
      bool reachable = false;
      const auto fault = running.store.check(&reachable);
      FUZZ_REQUIRE(reachable || fault, "an unreachable store passed the check");
      break;
    }
    case 1:
      store(running.store);
      break;
    case 2:
      serve(running.store, answer);
      break;
    default:
      remove(running.store, answer);
  }
}
