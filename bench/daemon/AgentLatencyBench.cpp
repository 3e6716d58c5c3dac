// Timed runs of the real agent against a loopback server under Xvfb, side by side with the usual
// shell pipeline that does the same job (inotifywait, curl, xclip): the time from the rename of
// a screenshot into the capture folder to the upload's arrival at the server and to its address
// on the clipboard. Then the agent's idle cost (context switches over 10 s, resident memory) and
// its resident memory once a 10 MB upload is done; last, the goals against these figures.
//
//   bench_daemon_latency [runs per size] [agent executable, the staged one by default]
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

#include "tests/support/Desktop.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

const std::string AgentPath = stagePath(
    "lib/kapsho/KapshoPref.prefPane/Contents/Resources/KapshoDaemon.app/Contents/MacOS/"
    "KapshoDaemon");

// Answers every upload with a redirect to /i/<n> and notes when the whole request had arrived.
// It keeps only the request's head and counts the rest into one buffer read again and again, so
// that its own memory costs the same small time whoever sends.
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
    std::vector<char> buffer(1 << 20);
    for (int n = 1;; ++n) {
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      std::string head;
      size_t body = 0, wanted = std::string::npos;
      while (wanted == std::string::npos || body < wanted) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got <= 0) break;
        if (wanted != std::string::npos) {
          body += static_cast<size_t>(got);
          continue;
        }
        head.append(buffer.data(), static_cast<size_t>(got));
        const size_t end = head.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        body = head.size() - end - 4;
        head.resize(end);
        std::transform(head.begin(), head.end(), head.begin(), ::tolower);
        const size_t field = head.find("content-length:");
        wanted = field == std::string::npos ? 0 : std::stoul(head.substr(field + 15));
        if (head.find("expect: 100-continue") != std::string::npos)
          (void)!write(fd, "HTTP/1.1 100 Continue\r\n\r\n", 25);
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

// The agent at rest: voluntary context switches over 10 s and resident size; then its resident
// size once a 10 MB upload is done and the exchange's thread has ended.
struct RestingAgent {
  long switches = 0, idleKiB = 0, afterUploadKiB = 0;
};

RestingAgent measureAtRest(ArrivalServer& server, int& counter, const std::string& folder,
                           const std::string& agentPath, const TempDir& logs) {
  ChildProcess agent({agentPath}, {{"LANGUAGE", "en"}}, logs.file("idle.out"),
                     logs.file("idle.err"));
  waitUntil([&] { return agentWatching(agent.pid()); });
  // Let start-up work settle before counting.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  RestingAgent rest;
  const long before = sumOverTasks(agent.pid(), "voluntary_ctxt_switches");
  std::this_thread::sleep_for(std::chrono::seconds(10));
  rest.switches = sumOverTasks(agent.pid(), "voluntary_ctxt_switches") - before;
  rest.idleKiB = processMemoryKiB(agent.pid(), "VmRSS").value_or(0);
  const long threads = processMemoryKiB(agent.pid(), "Threads").value_or(0);
  measure(server, counter, folder, 10 * 1000 * 1000, 1);
  waitUntil([&] { return processMemoryKiB(agent.pid(), "Threads") == threads; });
  rest.afterUploadKiB = processMemoryKiB(agent.pid(), "VmRSS").value_or(0);
  kill(agent.pid(), SIGHUP);
  agent.wait();
  return rest;
}

struct Medians {
  double agentArrival, scriptArrival, agentClipboard, scriptClipboard;
};

const char* verdict(bool met) {
  return met ? "met" : "NOT MET";
}

void printGoals(const Medians& small, const Medians& medium, const Medians& large,
                const RestingAgent& rest) {
  const double idleMB = rest.idleKiB * 1024 / 1e6, afterMB = rest.afterUploadKiB * 1024 / 1e6;
  std::printf("\ngoals:\n");
  std::printf("  10 MB   arrival agent/script %.2f (at most 0.50): %s\n",
              large.agentArrival / large.scriptArrival,
              verdict(large.agentArrival <= large.scriptArrival / 2));
  std::printf("          clipboard agent/script %.2f (below 1): %s\n",
              large.agentClipboard / large.scriptClipboard,
              verdict(large.agentClipboard < large.scriptClipboard));
  std::printf("  1 MB    arrival %.2f ms (at most 5), script/agent %.1fx (at least 4x): %s\n",
              medium.agentArrival, medium.scriptArrival / medium.agentArrival,
              verdict(medium.agentArrival <= 5 && medium.scriptArrival >= 4 * medium.agentArrival));
  std::printf("          clipboard %.2f ms (at most 10): %s\n", medium.agentClipboard,
              verdict(medium.agentClipboard <= 10));
  std::printf("  100 kB  arrival %.2f ms, clipboard %.2f ms (no slower than before)\n",
              small.agentArrival, small.agentClipboard);
  std::printf("  idle    %ld voluntary context switches in 10 s (none): %s\n", rest.switches,
              verdict(rest.switches == 0));
  std::printf("          resident %.1f MB (at most 40): %s\n", idleMB, verdict(idleMB <= 40));
  std::printf("          after a 10 MB upload %.1f MB (at most %.1f): %s\n", afterMB, idleMB + 2,
              verdict(afterMB <= idleMB + 2));
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 15;
  const std::string agentPath = argc > 2 ? argv[2] : AgentPath;
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
    ChildProcess agent({agentPath}, {{"LANGUAGE", "en"}}, logs.file("agent.out"),
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
    // In a session of its own, so that all of the pipeline ends with it, not only bash.
    ChildProcess script({"setsid", "bash", "-c", pipeline, folder.path()}, {},
                        logs.file("script.out"), logs.file("script.err"));
    waitUntil([&] {
      return readFile(logs.file("script.err")).value_or("").find("Watches established") !=
             std::string::npos;
    });
    for (size_t size : sizes)
      scriptTimes[size] = measure(server, counter, folder.path(), size, runs);
    kill(-script.pid(), SIGTERM);
    script.wait();
  }

  std::printf("\n%-9s %-36s %s\n", "file", "rename to arrival: agent | script",
              "rename to clipboard: agent | script");
  std::map<size_t, Medians> medians;
  for (size_t size : sizes) {
    const Medians m{median(agentTimes[size].arrival), median(scriptTimes[size].arrival),
                    median(agentTimes[size].clipboard), median(scriptTimes[size].clipboard)};
    medians[size] = m;
    std::printf("%-9s %7.2f ms | %7.2f ms  (%.2f)   %7.2f ms | %7.2f ms  (%.2f)\n",
                (std::to_string(size / 1000) + " kB").c_str(), m.agentArrival, m.scriptArrival,
                m.agentArrival / m.scriptArrival, m.agentClipboard, m.scriptClipboard,
                m.agentClipboard / m.scriptClipboard);
  }
  std::printf("(medians of %d runs each; in brackets agent/script)\n", runs);

  const RestingAgent rest = measureAtRest(server, counter, folder.path(), agentPath, logs);
  printGoals(medians[sizes[0]], medians[sizes[1]], medians[sizes[2]], rest);
  return 0;
}
