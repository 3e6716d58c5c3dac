// Timed runs of the real agent against a loopback server under Xvfb, side by side with the usual
// shell pipeline that does the same job (inotifywait, curl, xclip): the time from the rename of
// a screenshot into the capture folder to the upload's arrival at the server and to its address
// on the clipboard. Then the agent's idle cost: context switches over 10 s and resident memory.
//
//   bench_daemon_latency [runs per size]
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "tests/support/TestSupport.h"

using namespace testing_support;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

const std::string AgentPath = stagePath(
    "lib/kapsho/KapshoPref.prefPane/Contents/Resources/KapshoDaemon.app/Contents/MacOS/"
    "KapshoDaemon");

// Answers every upload with a redirect to /i/<n> and notes when the whole request had arrived.
class ArrivalServer {
 public:
  ArrivalServer() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    listen(listener_, 16);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
    thread_.detach();
  }
  int port() const { return port_; }
  std::string address(int n) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/i/" + std::to_string(n);
  }
  std::optional<Clock::time_point> arrival(int n) {
    std::lock_guard lock(mutex_);
    auto found = arrivals_.find(n);
    return found == arrivals_.end() ? std::nullopt : std::optional(found->second);
  }

 private:
  void serve() {
    for (int n = 1;; ++n) {
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      std::string data;
      size_t wanted = std::string::npos;
      bool continued = false;
      char buffer[1 << 16];
      while (wanted == std::string::npos || data.size() < wanted) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        data.append(buffer, got);
        const size_t head = data.find("\r\n\r\n");
        if (head == std::string::npos) continue;
        std::string lower = data.substr(0, head);
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        const size_t field = lower.find("content-length:");
        wanted = head + 4 + (field == std::string::npos ? 0 : std::stoul(lower.substr(field + 15)));
        if (!continued && lower.find("expect: 100-continue") != std::string::npos) {
          continued = true;
          (void)!write(fd, "HTTP/1.1 100 Continue\r\n\r\n", 25);
        }
      }
      {
        std::lock_guard lock(mutex_);
        arrivals_[n] = Clock::now();
      }
      const std::string answer = "HTTP/1.1 302 Found\r\nLocation: " + address(n) +
                                 "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      (void)!write(fd, answer.data(), answer.size());
      close(fd);
    }
  }

  int listener_ = -1, port_ = 0;
  std::mutex mutex_;
  std::map<int, Clock::time_point> arrivals_;
  std::thread thread_;
};

struct Times {
  std::vector<double> arrival, clipboard;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Renames files of the size into the folder one after another and times each one's road.
Times measure(ArrivalServer& server, int& counter, const std::string& folder, size_t size,
              int runs) {
  Times times;
  TempDir outside;
  std::mt19937 random(size);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  QClipboard* clipboard = QGuiApplication::clipboard();
  for (int run = 0; run < runs; ++run) {
    const int n = ++counter;
    writeFile(outside.file("capture"), bytes);
    std::optional<Clock::time_point> copied;
    const std::string expected = server.address(n);
    auto connection = QObject::connect(clipboard, &QClipboard::dataChanged, [&] {
      if (clipboard->text().toStdString() == expected) copied = Clock::now();
    });
    const auto start = Clock::now();
    fs::rename(outside.file("capture"), folder + "/Picture " + std::to_string(n) + ".png");
    QElapsedTimer deadline;
    deadline.start();
    while (!(copied && server.arrival(n)) && deadline.elapsed() < 20000)
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    QObject::disconnect(connection);
    if (!copied || !server.arrival(n)) {
      std::fprintf(stderr, "run %d of %zu bytes timed out\n", n, size);
      continue;
    }
    using ms = std::chrono::duration<double, std::milli>;
    times.arrival.push_back(ms(*server.arrival(n) - start).count());
    times.clipboard.push_back(ms(*copied - start).count());
  }
  return times;
}

long sumOverTasks(pid_t pid, const std::string& field) {
  long total = 0;
  std::error_code error;
  for (const auto& entry :
       fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    const std::string status = readFile(entry.path().string() + "/status").value_or("");
    const size_t at = status.find(field + ":");
    if (at != std::string::npos) total += std::stol(status.substr(at + field.size() + 1));
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 15;
  TempHome home;
  TempDir logs, folder;
  VirtualDisplay display;
  PrivateBus bus;
  ScopedEnv platformName("QT_QPA_PLATFORM", "xcb");
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QGuiApplication application(qtArgc, qtArgv);

  ArrivalServer server;
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  runCommand({stagePath("bin/kapsho-defaults"), "write", "com.apple.screencapture", "location",
              "-string", folder.path()});
  runCommand({stagePath("bin/kapsho-defaults"), "write", "com.kapsho.KapshoDaemon", "Upload Host",
              "-string", host});

  const size_t sizes[] = {100 * 1000, 1000 * 1000, 10 * 1000 * 1000};
  std::map<size_t, Times> agentTimes, scriptTimes;
  int counter = 0;
  {
    ChildProcess agent({AgentPath}, {{"LANGUAGE", "en"}}, logs.file("agent.out"),
                       logs.file("agent.err"));
    waitUntil([&] { return agentWatching(agent.pid()); });
    for (size_t size : sizes)
      agentTimes[size] = measure(server, counter, folder.path(), size, runs);
    kill(agent.pid(), SIGHUP);
    agent.wait();
  }
  {
    const std::string pipeline =
        "inotifywait -m -e moved_to -e close_write --format '%w%f' \"$0\" | while read -r f; do "
        "url=$(curl -s -o /dev/null -w '%{redirect_url}' -F app_upload=Upload -F \"userfile=@$f\" "
        "http://" +
        host + "/app_upload.php); printf %s \"$url\" | xclip -selection clipboard; done";
    ChildProcess script({"bash", "-c", pipeline, folder.path()}, {}, logs.file("script.out"),
                        logs.file("script.err"));
    waitUntil([&] {
      return readFile(logs.file("script.err")).value_or("").find("Watches established") !=
             std::string::npos;
    });
    for (size_t size : sizes)
      scriptTimes[size] = measure(server, counter, folder.path(), size, runs);
  }

  std::printf("\n%-10s %-26s %-26s %s\n", "file", "to arrival: agent | script",
              "to clipboard: agent | script", "speed-up (arrival)");
  for (size_t size : sizes) {
    const double a = median(agentTimes[size].arrival), b = median(scriptTimes[size].arrival);
    const double c = median(agentTimes[size].clipboard), d = median(scriptTimes[size].clipboard);
    std::printf("%-10s %8.2f ms | %8.2f ms   %8.2f ms | %8.2f ms   %6.1fx\n",
                (std::to_string(size / 1000) + " kB").c_str(), a, b, c, d, b / a);
  }
  std::printf("(medians of %d runs each)\n", runs);

  ChildProcess idle({AgentPath}, {{"LANGUAGE", "en"}}, logs.file("idle.out"),
                    logs.file("idle.err"));
  waitUntil([&] { return agentWatching(idle.pid()); });
  // Let start-up work settle before counting.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long before = sumOverTasks(idle.pid(), "voluntary_ctxt_switches");
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const long after = sumOverTasks(idle.pid(), "voluntary_ctxt_switches");
  const std::string status =
      readFile("/proc/" + std::to_string(idle.pid()) + "/status").value_or("");
  const size_t rss = status.find("VmRSS:");
  std::printf("idle agent: %ld voluntary context switches in 10 s, resident %s\n", after - before,
              rss == std::string::npos
                  ? "?"
                  : status.substr(rss + 6, status.find('\n', rss) - rss - 6).c_str());
  kill(idle.pid(), SIGHUP);
  idle.wait();
  return 0;
}
