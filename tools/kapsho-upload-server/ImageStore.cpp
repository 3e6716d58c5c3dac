#include "tools/kapsho-upload-server/ImageStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace upload_server {

namespace {

// Names given out before kept the client's extension of up to this many characters.
constexpr std::size_t kMaxExtension = 16;
// Addresses handed out when names were 64 bits go on serving; no new file gets such a name.
constexpr std::size_t kLegacyNameDigits = 16;
constexpr std::size_t kCompareChunk = 64 * 1024;
// No stored name starts with a dot, so the temporaries of a crashed run are told apart safely.
const std::string kTemporaryPrefix = ".incoming-";

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isLower(char c) {
  return c >= 'a' && c <= 'z';
}

std::string withReason(const std::string& what) {
  return what + ": " + std::strerror(errno);
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

bool sameBytes(int a, int b) {
  struct stat infoA, infoB;
  if (fstat(a, &infoA) != 0 || fstat(b, &infoB) != 0 || infoA.st_size != infoB.st_size)
    return false;
  std::vector<char> bytesA(kCompareChunk), bytesB(kCompareChunk);
  for (off_t offset = 0; offset < infoA.st_size;) {
    const ssize_t got = pread(a, bytesA.data(), bytesA.size(), offset);
    if (got <= 0 || pread(b, bytesB.data(), static_cast<std::size_t>(got), offset) != got ||
        std::memcmp(bytesA.data(), bytesB.data(), static_cast<std::size_t>(got)) != 0)
      return false;
    offset += got;
  }
  return true;
}

// A new name in a folder lasts a crash only once the folder itself is synced.
void syncFolder(const std::filesystem::path& folder) {
  const Descriptor handle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (handle.get() >= 0) fsync(handle.get());
}

}  // namespace

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int Descriptor::release() {
  return std::exchange(fd_, -1);
}

void Descriptor::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

IncomingFile::IncomingFile(Descriptor file, std::string path)
    : file_(std::move(file)), path_(std::move(path)) {}

IncomingFile::~IncomingFile() {
  // Once stored, the bytes live on under their name; the temporary name always goes.
  unlink(path_.c_str());
}

bool IncomingFile::append(const char* data, std::size_t size) {
  if (!failed_ && writeAll(file_.get(), data, size)) {
    hash_.addData(QByteArrayView(data, static_cast<qsizetype>(size)));
    size_ += size;
    return true;
  }
  failed_ = true;
  return false;
}

ImageStore::ImageStore(std::filesystem::path directory, std::size_t nameDigits)
    : directory_(std::move(directory)), nameDigits_(nameDigits) {
  std::filesystem::create_directories(directory_);
  removeTemporaries();
}

void ImageStore::removeTemporaries() const {
  for (const auto& entry : std::filesystem::directory_iterator(directory_))
    if (entry.path().filename().string().starts_with(kTemporaryPrefix))
      std::filesystem::remove(entry.path());
}

std::unique_ptr<IncomingFile> ImageStore::receive(std::string* error) const {
  std::string path = (directory_ / (kTemporaryPrefix + "XXXXXX")).string();
  Descriptor file(mkostemp(path.data(), O_CLOEXEC));
  if (file.get() < 0) {
    *error = withReason("cannot create a temporary file in " + directory_.string());
    return nullptr;
  }
  return std::unique_ptr<IncomingFile>(new IncomingFile(std::move(file), std::move(path)));
}

StoreOutcome ImageStore::store(IncomingFile& file, std::string_view extension) const {
  if (file.failed_) return {StoreOutcome::Kind::Failed, "cannot write " + file.path_};
  if (fsync(file.file_.get()) != 0)
    return {StoreOutcome::Kind::Failed, withReason("cannot write " + file.path_)};
  const std::string name =
      file.hash_.result().toHex().left(nameDigits_).toStdString() + std::string(extension);
  const std::filesystem::path path = directory_ / name;
  // link() unlike rename() never replaces what a name already holds.
  if (link(file.path_.c_str(), path.c_str()) == 0) {
    syncFolder(directory_);
    return {StoreOutcome::Kind::Stored, name};
  }
  if (errno != EEXIST) return {StoreOutcome::Kind::Failed, withReason("cannot store " + name)};
  const Descriptor existing = open(name);
  if (existing.get() >= 0 && sameBytes(existing.get(), file.file_.get()))
    return {StoreOutcome::Kind::Stored, name};
  return {StoreOutcome::Kind::NameTaken, name};
}

Descriptor ImageStore::open(const std::string& name) const {
  // Only names this store hands out pass, so no request reaches outside the folder.
  if (!isWellFormed(name)) return Descriptor();
  // Not blocking, so that a pipe planted in the folder cannot hold a request.
  Descriptor file(
      ::open((directory_ / name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (file.get() < 0 || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
    return Descriptor();
  return file;
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

}  // namespace upload_server
