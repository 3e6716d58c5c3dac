#include "tools/kapsho-upload-server/FolderStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "tools/kapsho-upload-server/ImageType.h"

namespace upload_server {

namespace {

constexpr std::size_t kCompareChunk = 64 * 1024;
const std::string kDeletionSuffix = ".deletion";

std::string withReason(const std::string& what) {
  return what + ": " + std::strerror(errno);
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
  const platform::FileDescriptor handle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (handle.get() >= 0) fsync(handle.get());
}

}  // namespace

StoreOutcome FolderStore::store(IncomingFile& file, std::string_view extension) const {
  if (file.failed()) return {StoreOutcome::Kind::Failed, "cannot write " + file.path(), ""};
  if (fsync(file.descriptor()) != 0)
    return {StoreOutcome::Kind::Failed, withReason("cannot write " + file.path()), ""};
  const std::string name =
      file.sha256().toHex().left(nameDigits_).toStdString() + std::string(extension);
  const std::filesystem::path path = spool_ / name;
  // link() unlike rename() never replaces what a name already holds.
  if (link(file.path().c_str(), path.c_str()) == 0) {
    const std::string token = newDeletionToken();
    // Without its digest an image stays, only no one can delete it.
    const bool deletable = keepDeletionDigest(name, token);
    syncFolder(spool_);
    return {StoreOutcome::Kind::Stored, name, deletable ? token : ""};
  }
  if (errno != EEXIST) return {StoreOutcome::Kind::Failed, withReason("cannot store " + name), ""};
  const platform::FileDescriptor existing = openFile(name);
  if (existing.get() >= 0 && sameBytes(existing.get(), file.descriptor()))
    return {StoreOutcome::Kind::Stored, name, ""};
  return {StoreOutcome::Kind::NameTaken, name, ""};
}

// Written aside and linked in, so that a digest is whole or absent and never replaced.
bool FolderStore::keepDeletionDigest(const std::string& name, const std::string& token) const {
  std::string error;
  const auto aside = receive(&error);
  const std::string digest = digestOfToken(token);
  return aside && aside->append(digest.data(), digest.size()) && fsync(aside->descriptor()) == 0 &&
         link(aside->path().c_str(), (spool_ / (name + kDeletionSuffix)).c_str()) == 0;
}

ServedImage FolderStore::open(const std::string& name) const {
  ServedImage image;
  image.file = openFile(name);
  struct stat info;
  if (image.file.get() < 0 || fstat(image.file.get(), &info) != 0) {
    image.file.close();
    return image;
  }
  image.kind = ServedImage::Kind::Found;
  image.size = static_cast<std::uint64_t>(info.st_size);
  image.leading.resize(kImageSignatureBytes);
  const ssize_t got = pread(image.file.get(), image.leading.data(), image.leading.size(), 0);
  image.leading.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return image;
}

Removal FolderStore::remove(const std::string& name, const std::string& token) const {
  std::string kept;
  if (isWellFormed(name)) {
    const platform::FileDescriptor digest(
        ::open((spool_ / (name + kDeletionSuffix)).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    kept.resize(2 * 32);
    const ssize_t got = digest.get() >= 0 ? pread(digest.get(), kept.data(), kept.size(), 0) : -1;
    kept.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  }
  if (!sameDigest(kept, digestOfToken(token))) return Removal::NotFound;
  // The image goes first: a digest without its image deletes nothing.
  if (unlink((spool_ / name).c_str()) != 0 && errno != ENOENT) return Removal::Unavailable;
  unlink((spool_ / (name + kDeletionSuffix)).c_str());
  syncFolder(spool_);
  return Removal::Removed;
}

platform::FileDescriptor FolderStore::openFile(const std::string& name) const {
  // Only names this store hands out pass, so no request reaches outside the folder.
  if (!isWellFormed(name)) return platform::FileDescriptor();
  // Not blocking, so that a pipe planted in the folder cannot hold a request.
  platform::FileDescriptor file(
      ::open((spool_ / name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (file.get() < 0 || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
    return platform::FileDescriptor();
  return file;
}

}  // namespace upload_server
