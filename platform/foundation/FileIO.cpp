#include "platform/foundation/FileIO.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/bsd/FileDescriptor.h"

namespace platform {

std::optional<std::string> contentsOfPrivateFile(const std::string& path, std::string* error) {
  constexpr size_t kLargest = 1 << 20;  // such a file is short; anything larger is not one
  const FileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info {};
  error->clear();
  if (file.get() < 0 || fstat(file.get(), &info) != 0)
    *error = std::strerror(errno);
  else if (!S_ISREG(info.st_mode))
    *error = "not a regular file";
  else if (info.st_mode & (S_IRWXG | S_IRWXO))
    *error = "others than its owner may use it (chmod 600)";
  else if (static_cast<size_t>(info.st_size) > kLargest)
    *error = "too large";
  if (!error->empty()) return std::nullopt;
  std::string text(static_cast<size_t>(info.st_size), '\0');
  for (size_t done = 0; done < text.size();) {
    const ssize_t got = read(file.get(), text.data() + done, text.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *error = got < 0 ? std::strerror(errno) : "changed while read";
      return std::nullopt;
    }
    done += static_cast<size_t>(got);
  }
  return text;
}

std::optional<Data> dataWithContentsOfFile(const std::string& path) {
  // Without waiting, and only a regular file: opening or reading a FIFO or a device could hold
  // the caller without end.
  const FileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st {};
  if (file.get() < 0 || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (static_cast<size_t>(st.st_size) >= Data::LargeBytes)
    if (auto mapped = Data::withMappedFile(file.get())) return mapped;
  // Room for a byte more than the size, so that the read finding nothing more ends the file; a
  // file that grows meanwhile is read on to its end.
  Data bytes;
  for (size_t room = static_cast<size_t>(st.st_size) + 1;; room = 1) {
    const ssize_t n = bytes.appendFrom(
        room, [&](std::uint8_t* at, size_t length) { return read(file.get(), at, length); });
    if (n == 0) return bytes;
    if (n < 0 && errno != EINTR) return std::nullopt;
  }
}

std::optional<std::string> contentsOfFile(const std::string& path) {
  const auto bytes = dataWithContentsOfFile(path);
  if (!bytes) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

namespace {

bool fail(std::string* error, const std::string& what) {
  if (error) *error = what + ": " + std::strerror(errno);
  return false;
}

bool writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool writeFileAtomically(const std::string& path, const std::string& bytes, std::string* error) {
  const std::filesystem::path target(path);
  const std::string folder = target.parent_path().empty() ? "." : target.parent_path().string();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  std::string pattern = folder + "/." + target.filename().string() + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return fail(error, "cannot create a temporary file in " + folder);
  if (!writeAll(fd, bytes) || fsync(fd) != 0) {
    fail(error, "cannot write " + std::string(name.data()));
    close(fd);
    unlink(name.data());
    return false;
  }
  close(fd);
  if (rename(name.data(), path.c_str()) != 0) {
    fail(error, "cannot rename into " + path);
    unlink(name.data());
    return false;
  }
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

std::string stringByAppendingPathComponent(const std::string& path, const std::string& component) {
  const std::string joined = path.empty() ? component : path + "/" + component;
  std::string standard;
  for (char c : joined)
    if (c != '/' || standard.empty() || standard.back() != '/') standard += c;
  if (standard.size() > 1 && standard.back() == '/') standard.pop_back();
  return standard;
}

FileLock::FileLock(const std::string& path, std::chrono::milliseconds timeout, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    fail(error, "cannot open " + path);
    return;
  }
  // Holders keep the lock for one read-change-write, so a short poll finds it free soon.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
      fail(error, "cannot lock " + path);
      close(fd);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  fd_ = fd;
}

FileLock::~FileLock() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace platform
