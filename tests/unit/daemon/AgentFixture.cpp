#include "tests/unit/daemon/AgentFixture.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <stdexcept>

#include "platform/appkit/Application.h"
#include "platform/bsd/kqueue.h"
#include "platform/foundation/UserDefaults.h"

namespace agent_testing {

namespace {

// The watcher reads the hang-up signal from its queue only if every thread blocks it, so it is
// blocked before main starts any thread, as the agent's main does first thing.
const bool hangUpBlocked = (ignore_and_block_signal(SIGHUP), true);

}  // namespace

AgentEnvironment::AgentEnvironment()
    : language_("LANGUAGE", "en"),
      systemRoot_("KAPSHO_SYSTEM_ROOT", testing_support::stagePath("share/kapsho")) {
  (void)hangUpBlocked;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  platform::NSApplication::sharedApplication();
  platform::NSUserDefaults::setPersistentDomain({{"location", folder_.path()}},
                                                "com.apple.screencapture");
}

bool spinUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > deadline.count()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
  }
  return true;
}

std::string statusImageName(const KapshoController& controller) {
  if (!controller.statusItem() || !controller.statusItem()->image()) return "";
  return controller.statusItem()->image()->name();
}

std::string ReceivedRequest::header(const std::string& name) const {
  size_t line = head.find("\r\n");
  while (line != std::string::npos && line + 2 < head.size()) {
    const size_t end = head.find("\r\n", line + 2);
    const std::string field = head.substr(line + 2, end - line - 2);
    const size_t colon = field.find(':');
    if (colon != std::string::npos && strcasecmp(field.substr(0, colon).c_str(), name.c_str()) == 0)
      return field.substr(field.find_first_not_of(' ', colon + 1));
    line = end;
  }
  return "";
}

platform::Value uploadRecord(std::optional<std::string> url, std::optional<std::string> date) {
  platform::Dictionary record;
  if (url) record["url"] = std::move(*url);
  if (date) record["date"] = std::move(*date);
  return platform::Value(std::move(record));
}

std::string httpAnswer(const std::string& status, const std::string& headers) {
  return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

ScriptedServer::ScriptedServer(Script script) : script_(std::move(script)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe2(wake_, O_CLOEXEC) != 0)
    throw std::runtime_error("cannot listen on 127.0.0.1");
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer() {
  (void)!write(wake_[1], "x", 1);
  thread_.join();
  for (int fd : held_) close(fd);
  close(listener_);
  close(wake_[0]);
  close(wake_[1]);
}

std::vector<ReceivedRequest> ScriptedServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void ScriptedServer::serve() {
  while (true) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) serveConnection(fd);
  }
}

void ScriptedServer::serveConnection(int fd) {
  ReceivedRequest request;
  std::string data;
  size_t wanted = std::string::npos;
  char buffer[65536];
  while (wanted == std::string::npos || data.size() < wanted) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, 10000) <= 0 || fds[1].revents) break;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    data.append(buffer, n);
    const size_t headEnd = data.find("\r\n\r\n");
    if (wanted == std::string::npos && headEnd != std::string::npos) {
      request.head = data.substr(0, headEnd + 2);
      const std::string length = request.header("Content-Length");
      wanted = headEnd + 4 + (length.empty() ? 0 : std::stoul(length));
    }
  }
  if (wanted != std::string::npos) request.body = data.substr(request.head.size() + 2);
  std::optional<std::string> answer = script_(request);
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  if (!answer) {
    held_.push_back(fd);
    return;
  }
  (void)!write(fd, answer->data(), answer->size());
  close(fd);
}

}  // namespace agent_testing
