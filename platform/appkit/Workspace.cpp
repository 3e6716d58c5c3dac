#include "platform/appkit/Workspace.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QStandardPaths>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <sstream>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileIO.h"

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
// descriptor but stdio (on /dev/null) closes at exec, the report pipe last of all.
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

template <typename T>
ssize_t readWhole(int fd, T* value) {
  ssize_t got;
  while ((got = read(fd, value, sizeof *value)) < 0 && errno == EINTR) {
  }
  return got;
}

// Whether the kernel has finished setting up a process's new image: exec closes the
// descriptors marked close-on-exec before it lays out the arguments and the environment, and
// until then /proc shows the process with no environment (env_end, field 51 of its stat, is 0).
bool imageLaidOut(pid_t pid) {
  const auto stat = contentsOfFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t afterName = stat ? stat->rfind(')') : std::string::npos;
  if (afterName == std::string::npos) return true;  // gone: nothing more to wait for
  std::istringstream fields(stat->substr(afterName + 2));
  std::string field, state;
  fields >> state;
  if (state == "Z" || state == "X") return true;
  for (int number = 4; number <= 51 && fields >> field; ++number) {
  }
  return field != "0";
}

// Starts the program as a grandchild in a session of its own, so that it outlives us and never
// becomes our zombie; true once it has replaced its image (the report pipe closed unwritten)
// and that image is laid out, so that /proc shows it whole.
bool spawnDetached(std::string program, std::string argument) {
  char* argv[] = {program.data(), argument.empty() ? nullptr : argument.data(), nullptr};
  Pipe report, started;
  if (!report.ok() || !started.ok()) return false;
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    setsid();
    const pid_t grandchild = fork();
    if (grandchild == 0) execDetached(program.c_str(), argv, report.end(1));
    if (grandchild < 0) reportError(report.end(1));
    [[maybe_unused]] const auto written = write(started.end(1), &grandchild, sizeof grandchild);
    _exit(0);
  }
  report.closeEnd(1);
  started.closeEnd(1);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_t grandchild = -1;
  int error = 0;
  if (readWhole(started.end(0), &grandchild) != sizeof grandchild || grandchild <= 0 ||
      readWhole(report.end(0), &error) != 0)
    return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!imageLaidOut(grandchild) && std::chrono::steady_clock::now() < deadline) sched_yield();
  return true;
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
