// Screenshot detection: the name pattern built from the capture tool's localization, the
// capture settings, and the folder watcher.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "daemon/KapshoController.h"
#include "platform/appkit/Application.h"
#include "platform/bsd/dirent_type.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/ScreenCapture.h"
#include "platform/foundation/Thread.h"

using namespace platform;

namespace {

const std::string LocalizationReason =
    "Could not find SystemUIServer localization for ScreenCapture";

// Whether some process holds the file open for writing: the kernel refuses a read lease then.
// A file that cannot be opened, or that offers no leases, counts as whole; the upload reads it.
bool isBeingWritten(const std::string& path) {
  // A writer that opens the file while the lease is held breaks it, and the kernel tells the
  // holder with SIGIO, whose default ends the process; the lease goes at once anyway.
  static const bool quiet = (signal(SIGIO, SIG_IGN), true);
  (void)quiet;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool writing = fcntl(fd, F_SETLEASE, F_RDLCK) != 0 && errno == EAGAIN;
  close(fd);  // gives the lease back
  return writing;
}

// The modification time of a file, oldest possible when it cannot be read.
std::tuple<time_t, long> modificationTime(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return {0, 0};
  return {status.st_mtim.tv_sec, status.st_mtim.tv_nsec};
}

}  // namespace

std::string regerror_str(int code, const regex_t* regex) {
  const size_t length = regerror(code, regex, nullptr, 0);
  std::string message(length, '\0');
  regerror(code, regex, message.data(), length);
  message.resize(std::strlen(message.c_str()));
  return message;
}

void KapshoController::setupRegex() {
  // A missing table, or one without both entries, cannot name screenshots: the localization is
  // unusable.
  const auto names = ScreenCaptureNames::fromLocalization();
  if (!names) NSException::raise("LocalizationError", LocalizationReason);
  const std::string pattern = "^" + names->name("[[:digit:]]+") + "$";
  const int code = regex_.compile(pattern.c_str(), REG_EXTENDED | REG_NOSUB);
  if (code != 0)
    NSException::raise("RegexError", stringWithFormat("Error compiling regex: %@",
                                                      regerror_str(code, regex_.get())));
}

const std::string& KapshoController::scType() {
  if (!scType_) scType_ = screenCaptureType();
  return *scType_;
}

const std::string& KapshoController::scPath() {
  if (!scPath_) scPath_ = screenCaptureLocation();
  return *scPath_;
}

bool KapshoController::matchPicture(const std::string& name) const {
  return regex_.isCompiled() && regexec(regex_.get(), name.c_str(), 0, nullptr, 0) == 0;
}

int KapshoController::setupKQueue() {
  if (pathFD_.reset(open(scPath().c_str(), O_EVTONLY)) < 0) return -1;
  if (queueFD_.reset(kqueue()) < 0) return -1;
  struct kevent changes[2];
  EV_SET(&changes[0], pathFD_.get(), EVFILT_VNODE, EV_ADD | EV_CLEAR, NOTE_WRITE | NOTE_CLOSE_WRITE,
         0, nullptr);
  EV_SET(&changes[1], SIGHUP, EVFILT_SIGNAL, EV_ADD | EV_CLEAR, 0, 0, nullptr);
  const struct timespec noWait = {0, 0};
  if (kevent(queueFD_.get(), changes, 2, nullptr, 0, &noWait) < 0) {
    const int error = errno;
    pathFD_.close();
    errno = error;
    return -1;
  }
  return queueFD_.get();
}

std::optional<NameSet> KapshoController::scanDirectory(const std::string& path, int mask) {
  DIR* folder = opendir(path.c_str());
  if (!folder) {
    NSLog("Couldn't open %@ for enumeration", path);
    return std::nullopt;
  }
  NameSet names;
  // About as many entries as at the last scan.
  names.reserve(seenFiles_ ? seenFiles_->size() : 0);
  while (const struct dirent* entry = readdir(folder)) {
    if (direntType(folder, entry) & mask) names.insert(entry->d_name);
  }
  closedir(folder);
  return names;
}

void KapshoController::kqueueThread() {
  try {
    watchQueue();
  } catch (...) {
    NSApplication::sharedApplication().reportException(currentException());
  }
  performSelectorOnMainThread([this] { delete this; }, true);
  // The main thread is still in its event loop, so the process ends without running static
  // destructors under it; only the standard streams need flushing.
  std::fflush(nullptr);
  std::_Exit(0);
}

void KapshoController::watchQueue() {
  struct kevent events[5];
  bool stop = false;
  int count = 0;
  while (!stop) {
    count = kevent(queueFD_.get(), nullptr, 0, events, 5, nullptr);
    if (count < 0) break;
    stop = handleEvents(events, count);
  }
  if (count < 0)
    NSException::raise("KQueueError",
                       stringWithFormat("An error occurred with kqueue: %@", std::strerror(errno)));
}

bool KapshoController::handleEvents(const struct kevent* events, int count) {
  for (int i = 0; i < count; ++i) {
    const struct kevent& event = events[i];
    if (event.flags == EV_ERROR) {
      NSException::raise("KQueueError",
                         stringWithFormat("An error occurred with kqueue: %@",
                                          std::strerror(static_cast<int>(event.data))));
    } else if (event.filter == EVFILT_VNODE && (event.fflags & (NOTE_WRITE | NOTE_CLOSE_WRITE))) {
      if (event.fflags & NOTE_WRITE) rescan();
      if (event.fflags & NOTE_CLOSE_WRITE) handOnWrittenFiles();
    } else if (event.filter == EVFILT_VNODE) {
      NSLog("Unexpected vnode kevent");
    } else if (event.filter == EVFILT_SIGNAL) {
      if (event.ident == SIGHUP) return true;
      NSLog("Unexpected signal delivery");
    } else {
      NSLog("Unexpected kevent (%i)", event.filter);
    }
  }
  return false;
}

void KapshoController::rescan() {
  auto current = scanDirectory(scPath(), DT_REG);
  std::vector<std::string> fresh;
  if (current) {
    for (const auto& name : *current)
      if (!seenFiles_ || !seenFiles_->contains(name)) fresh.emplace_back(name);
  }
  // A file that left the folder while it was written is no longer awaited.
  std::erase_if(writingFiles_,
                [&](const std::string& name) { return !current || !current->contains(name); });
  seenFiles_ = std::move(current);
  std::vector<std::string> whole;
  for (std::string& name : fresh) {
    if (!isScreenshotName(name)) continue;
    if (isBeingWritten(pathForName(name)))
      writingFiles_.insert(std::move(name));
    else
      whole.push_back(std::move(name));
  }
  handOnOldestFirst(whole);
}

void KapshoController::handOnWrittenFiles() {
  std::vector<std::string> written;
  std::erase_if(writingFiles_, [&](const std::string& name) {
    if (isBeingWritten(pathForName(name))) return false;
    written.push_back(name);
    return true;
  });
  handOnOldestFirst(written);
}

bool KapshoController::isScreenshotName(const std::string& name) {
  const size_t dot = name.rfind('.');
  const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot + 1);
  return extension == scType() && matchPicture(name.substr(0, dot));
}

std::string KapshoController::pathForName(const std::string& name) {
  return stringByAppendingPathComponent(scPath(), name);
}

// Each hand-off replaces the upload in flight, so the newest file goes last.
void KapshoController::handOnOldestFirst(const std::vector<std::string>& names) {
  std::vector<std::tuple<time_t, long, std::string>> files;
  for (const std::string& name : names) {
    const std::string path = pathForName(name);
    files.emplace_back(std::tuple_cat(modificationTime(path), std::tuple(path)));
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) handOff(std::get<2>(file));
}

void KapshoController::handOff(const std::string& path) {
  performSelectorOnMainThread([this, path] { matchPath(path); }, false);
}
