#include "platform/appkit/Workspace.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QStandardPaths>
#include <cerrno>
#include <csignal>

#include "platform/foundation/Bundle.h"

namespace platform {

namespace {

class Pipe {
 public:
  Pipe() { ok_ = pipe2(fds_, O_CLOEXEC) == 0; }
  ~Pipe() {
    closeEnd(0);
    closeEnd(1);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  bool ok() const { return ok_; }
  int end(int which) const { return fds_[which]; }
  void closeEnd(int which) {
    if (ok_ && fds_[which] >= 0) close(fds_[which]);
    fds_[which] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
  bool ok_ = false;
};

void reportError(int report) {
  const int error = errno;
  [[maybe_unused]] const auto written = write(report, &error, sizeof error);
}

// In the new process, between fork and exec: only async-signal-safe calls. The agent blocks
// and ignores the hang-up signal and exec keeps both, so both are undone here; every
// descriptor of ours but stdio (put on /dev/null) closes at exec.
[[noreturn]] void execDetached(const char* program, char* const argv[], int report) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction byDefault = {};
  byDefault.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &byDefault, nullptr);
  const int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
  close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  execv(program, argv);
  reportError(report);
  _exit(127);
}

// Starts the program as a grandchild in a session of its own, so that it outlives us and never
// becomes our zombie; true once it has replaced its image (the report pipe closed unwritten), so
// that a process walk that follows finds it.
bool spawnDetached(std::string program, std::string argument) {
  char* argv[] = {program.data(), argument.empty() ? nullptr : argument.data(), nullptr};
  Pipe report;
  if (!report.ok()) return false;
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    setsid();
    const pid_t grandchild = fork();
    if (grandchild == 0) execDetached(program.c_str(), argv, report.end(1));
    if (grandchild < 0) reportError(report.end(1));
    _exit(0);
  }
  report.closeEnd(1);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t got;
  while ((got = read(report.end(0), &error, sizeof error)) < 0 && errno == EINTR) {
  }
  return got == 0;
}

// The application bundle a URL names: a folder "X.app".
std::optional<NSBundle> applicationAt(const NSURL& url) {
  if (!url.isFileURL() || !url.path().ends_with(".app")) return std::nullopt;
  return NSBundle::bundleWithPath(url.path());
}

bool launch(const NSBundle& application) {
  const auto executable = application.executablePath();
  return executable && spawnDetached(*executable, "");
}

}  // namespace

NSWorkspace& NSWorkspace::sharedWorkspace() {
  static NSWorkspace workspace;
  return workspace;
}

bool NSWorkspace::openURL(const NSURL& url) {
  const std::string program = QStandardPaths::findExecutable("xdg-open").toStdString();
  return !program.empty() && spawnDetached(program, url.absoluteString());
}

bool NSWorkspace::openURLs(const std::vector<NSURL>& urls,
                           const std::optional<std::string>& bundleIdentifier,
                           NSWorkspaceLaunchOptions options, const AEDesc* descriptor,
                           CFArrayRef* identifiers) {
  if (bundleIdentifier || descriptor || identifiers ||
      (options & ~NSWorkspaceLaunchWithoutActivation) != 0)
    return false;
  bool opened = true;
  for (const NSURL& url : urls) {
    const auto application = applicationAt(url);
    opened = (application ? launch(*application) : openURL(url)) && opened;
  }
  return opened;
}

}  // namespace platform
