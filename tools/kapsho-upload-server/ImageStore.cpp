#include "tools/kapsho-upload-server/ImageStore.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace upload_server {

namespace {

// Names given out before kept the client's extension of up to this many characters.
constexpr std::size_t kMaxExtension = 16;
// Addresses handed out when names were 64 bits go on serving; no new file gets such a name.
constexpr std::size_t kLegacyNameDigits = 16;
constexpr std::size_t kTokenBytes = 16;
// No stored name starts with a dot, so the temporaries of a crashed run are told apart safely.
const std::string kTemporaryPrefix = ".incoming-";

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isLower(char c) {
  return c >= 'a' && c <= 'z';
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

IncomingFile::IncomingFile(platform::FileDescriptor file, std::string path)
    : file_(std::move(file)), path_(std::move(path)) {}

IncomingFile::~IncomingFile() {
  // Once stored, the bytes live on under their name; the temporary name always goes.
  unlink(path_.c_str());
}

bool IncomingFile::append(const char* data, std::size_t size) {
  if (!failed_ && writeAll(file_.get(), data, size)) {
    const QByteArrayView bytes(data, static_cast<qsizetype>(size));
    sha256_.addData(bytes);
    md5_.addData(bytes);
    size_ += size;
    return true;
  }
  failed_ = true;
  return false;
}

ImageStore::ImageStore(std::filesystem::path spool, std::size_t nameDigits)
    : spool_(std::move(spool)), nameDigits_(nameDigits) {
  std::filesystem::create_directories(spool_);
  for (const auto& entry : std::filesystem::directory_iterator(spool_))
    if (entry.path().filename().string().starts_with(kTemporaryPrefix))
      std::filesystem::remove(entry.path());
}

std::unique_ptr<IncomingFile> ImageStore::receive(std::string* error) const {
  std::string path = (spool_ / (kTemporaryPrefix + "XXXXXX")).string();
  platform::FileDescriptor file(mkostemp(path.data(), O_CLOEXEC));
  if (file.get() < 0) {
    *error = "cannot create a temporary file in " + spool_.string() + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<IncomingFile>(std::move(file), std::move(path));
}

// Exactly the names store() gives, or gave before: nameDigits_ (or 16) lower-case hex digits,
// then maybe '.' and 1 to 16 lower-case letters or digits (once the client's own extension).
bool ImageStore::isWellFormed(std::string_view name) const {
  const std::size_t digits = std::min(name.find('.'), name.size());
  if ((digits != nameDigits_ && digits != kLegacyNameDigits) ||
      !std::all_of(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(digits),
                   [](char c) { return isDigit(c) || (c >= 'a' && c <= 'f'); }))
    return false;
  const std::string_view extension = name.substr(digits);
  if (extension.empty()) return true;
  return extension.size() >= 2 && extension.size() <= kMaxExtension + 1 &&
         std::all_of(extension.begin() + 1, extension.end(),
                     [](char c) { return isDigit(c) || isLower(c); });
}

std::string ImageStore::newDeletionToken() {
  unsigned char bytes[kTokenBytes];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no random bytes for a token");
  return QByteArray(reinterpret_cast<const char*>(bytes), sizeof bytes).toHex().toStdString();
}

std::string ImageStore::digestOfToken(const std::string& token) {
  return QCryptographicHash::hash(QByteArray::fromStdString(token), QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

bool ImageStore::sameDigest(const std::string& kept, const std::string& given) {
  // A missing or damaged digest is compared all the same, against one no token hashes to.
  const std::string expected = kept.size() == given.size() ? kept : std::string(given.size(), '-');
  return CRYPTO_memcmp(expected.data(), given.data(), given.size()) == 0 && kept == expected;
}

}  // namespace upload_server
