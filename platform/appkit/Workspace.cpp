#include "platform/appkit/Workspace.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QStandardPaths>
#include <cerrno>
#include <csignal>

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

// In the new process, between fork and exec: only async-signal-safe calls. The agent blocks
// and ignores the hang-up signal; exec keeps both, so both are undone here.
[[noreturn]] void execHandler(const char* program, char* const argv[], int report) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction byDefault = {};
  byDefault.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &byDefault, nullptr);
  const int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
  if (null > 2) close(null);
  execv(program, argv);
  const int error = errno;
  [[maybe_unused]] const auto written = write(report, &error, sizeof error);
  _exit(127);
}

}  // namespace

NSWorkspace& NSWorkspace::sharedWorkspace() {
  static NSWorkspace workspace;
  return workspace;
}

bool NSWorkspace::openURL(const NSURL& url) {
  std::string program = QStandardPaths::findExecutable("xdg-open").toStdString();
  std::string address = url.absoluteString();
  char* argv[] = {program.data(), address.data(), nullptr};
  Pipe report;  // carries errno when exec fails; closes unread when exec succeeds
  if (program.empty() || !report.ok()) return false;

  // Forked twice: the handler is in a session of its own and no child of the agent, so it
  // outlives it and leaves no zombie behind.
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    setsid();
    const pid_t handler = fork();
    if (handler == 0) execHandler(program.c_str(), argv, report.end(1));
    if (handler < 0) {
      const int error = errno;
      [[maybe_unused]] const auto written = write(report.end(1), &error, sizeof error);
    }
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

}  // namespace platform
