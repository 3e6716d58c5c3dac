#include "tools/kapsho-capture/PendingFile.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "tools/kapsho-capture/CaptureError.h"

namespace kapsho_capture {

namespace {

// The hidden file of the one capture in progress, for the signal handler to remove.
char pathForSignals[PATH_MAX];
volatile sig_atomic_t pathArmed = 0;

void removeThenDie(int signal) {
  if (pathArmed) unlink(pathForSignals);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void armSignalCleanup(const std::string& path) {
  static const bool installed = [] {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(signal, removeThenDie);
    return true;
  }();
  (void)installed;
  if (path.size() >= sizeof pathForSignals) return;
  std::memcpy(pathForSignals, path.c_str(), path.size() + 1);
  pathArmed = 1;
}

std::string failure(const std::string& what, int error = errno) {
  return what + ": " + std::strerror(error);
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The new name must outlive a crash of the machine, as the file's bytes do.
void syncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

void writeAll(int fd, std::string_view bytes, const std::string& path) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) throw CaptureError(failure("cannot write " + path));
    bytes.remove_prefix(written);
  }
}

// Files a user makes get the usual permissions; mkstemp gives the owner alone.
void giveUsualMode(int fd) {
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
}

// Renames without replacing: the kernel's RENAME_NOREPLACE, else a hard link, which fails on
// an existing name too; gives 0 or the errno.
int renameExclusively(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (link(from.c_str(), to.c_str()) != 0) return errno;
  unlink(from.c_str());
  return 0;
}

}  // namespace

PendingFile::PendingFile(const std::string& folder)
    : hiddenPath_((folder.ends_with('/') ? folder : folder + "/") + ".kapsho-capture-XXXXXX") {
  fd_ = mkostemp(hiddenPath_.data(), O_CLOEXEC);
  if (fd_ < 0) throw CaptureError(failure("cannot write into " + folder));
  armSignalCleanup(hiddenPath_);
  giveUsualMode(fd_);
}

PendingFile::~PendingFile() {
  if (fd_ >= 0) close(fd_);
  if (!placed_) unlink(hiddenPath_.c_str());
  pathArmed = 0;
}

void PendingFile::write(std::string_view bytes) {
  writeAll(fd_, bytes, hiddenPath_);
}

void PendingFile::adopt(const std::string& path) {
  if (rename(path.c_str(), hiddenPath_.c_str()) == 0) {
    close(fd_);
    fd_ = open(hiddenPath_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw CaptureError(failure("cannot open " + hiddenPath_));
    giveUsualMode(fd_);
    return;
  }
  if (errno != EXDEV) throw CaptureError(failure("cannot move " + path));
  const int source = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (source < 0) throw CaptureError(failure("cannot read " + path));
  char buffer[1 << 16];
  ssize_t got;
  while ((got = read(source, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))
    if (got > 0) writeAll(fd_, {buffer, static_cast<size_t>(got)}, hiddenPath_);
  const int error = errno;
  close(source);
  if (got < 0) throw CaptureError(failure("cannot read " + path, error));
  unlink(path.c_str());
}

void PendingFile::flush() {
  if (fsync(fd_) != 0) throw CaptureError(failure("cannot write " + hiddenPath_));
}

std::string PendingFile::placeNumbered(const std::function<std::string(long)>& name) {
  flush();
  const std::string folder = folderOf(hiddenPath_);
  for (long number = 1;; ++number) {
    const std::string target = folder + "/" + name(number);
    const int error = renameExclusively(hiddenPath_, target);
    if (error == EEXIST) continue;
    if (error != 0) throw CaptureError(failure("cannot name the capture " + target, error));
    placed_ = true;
    syncFolder(folder);
    return target;
  }
}

std::string PendingFile::placeAt(const std::string& path) {
  flush();
  if (rename(hiddenPath_.c_str(), path.c_str()) != 0)
    throw CaptureError(failure("cannot write " + path));
  placed_ = true;
  syncFolder(folderOf(path));
  return path;
}

}  // namespace kapsho_capture
