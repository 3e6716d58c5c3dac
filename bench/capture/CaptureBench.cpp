// kapsho-capture on an Xvfb screen of the size asked for, showing text, flat areas and a photo:
// the time from the command's start to its file in place, the PNG encoder at each level, and the
// whole road from the capture to the address on the clipboard, beside the script people use
// instead (scrot, then curl -F, then xclip): over loopback, and through a link shaped to
// 20 Mbit/s each way to an upload server in a network namespace of the benchmark's own.
//
//   bench_capture [runs] [WIDTHxHEIGHT]     (root, for the namespace; default 21 1920x1080)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImageWriter>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include "tests/support/Desktop.h"
#include "tools/kapsho-capture/PngEncoder.h"

using namespace testing_support;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

const std::string CapturePath = stagePath("bin/kapsho-capture");
// The link people upload through from home: 20 Mbit/s each way.
const char* const LinkRate = "20mbit";

// Soft shapes and light grain, as a photo has, not a flat colour the encoder skips through.
QImage photo(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  std::mt19937 grain(3);
  for (int y = 0; y < height; ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < width; ++x) {
      const double shade = std::sin(x * 0.011) + std::cos(y * 0.017) + std::sin((x + y) * 0.004);
      const int g = static_cast<int>(grain() % 12);
      line[x] = qRgb(std::clamp(int(110 + 40 * shade) + g, 0, 255),
                     std::clamp(int(125 + 30 * shade) + g, 0, 255),
                     std::clamp(int(95 + 45 * std::sin(shade)) + g, 0, 255));
    }
  }
  return image;
}

// A screen as people capture it: a dark bar, a side panel, lines of text and a photo.
class ScreenWindow : public QRasterWindow {
 public:
  explicit ScreenWindow(QSize size) : photo_(photo(size.width() * 2 / 5, size.height() / 2)) {}
  void setRun(int run) {
    run_ = run;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const int w = width(), h = height(), bar = h / 30;
    painter.fillRect(QRect(QPoint(), size()), QColor(246, 245, 244));
    painter.fillRect(0, 0, w, bar, QColor(48, 48, 48));
    painter.fillRect(0, bar, w / 6, h, QColor(235, 235, 235));
    painter.drawImage(w / 2, h / 8, photo_);
    painter.setPen(QColor(30, 80, 160));
    for (int y = bar + 20; y < h; y += 18)
      painter.drawText(10, y, QStringLiteral("Folder %1").arg(y));
    painter.setPen(Qt::black);
    painter.drawText(w / 6 + 10, bar + 20, QStringLiteral("run %1").arg(run_));
    for (int y = bar + 40; y < h; y += 18)
      painter.drawText(
          w / 6 + 10, y,
          QStringLiteral("%1: the quick brown fox jumps over the lazy dog, 0123456789, "
                         "screenshots uploaded at once")
              .arg(y));
  }

 private:
  QImage photo_;
  int run_ = 0;
};

// An upload server behind a veth pair in a network namespace, each end shaped by a token bucket
// to the link's rate. The kernel here has no netem, so the link adds no delay of its own.
class ShapedLink {
 public:
  ShapedLink() : name_("kb" + std::to_string(getpid())) {
    const std::string host = name_ + "a", server = name_ + "b";
    ip({"netns", "add", name_});
    ip({"link", "add", host, "type", "veth", "peer", "name", server});
    ip({"link", "set", server, "netns", name_});
    ip({"addr", "add", "10.213.0.1/30", "dev", host});
    ip({"link", "set", host, "up"});
    ip({"-n", name_, "addr", "add", ServerAddress + "/30", "dev", server});
    ip({"-n", name_, "link", "set", server, "up"});
    ip({"-n", name_, "link", "set", "lo", "up"});
    shape({"tc"}, host);
    shape({"ip", "netns", "exec", name_, "tc"}, server);
  }
  ~ShapedLink() {
    runCommand({"ip", "link", "del", name_ + "a"});
    runCommand({"ip", "netns", "del", name_});
  }
  std::vector<std::string> inside(std::vector<std::string> argv) const {
    argv.insert(argv.begin(), {"ip", "netns", "exec", name_});
    return argv;
  }
  inline static const std::string ServerAddress = "10.213.0.2";

 private:
  static void ip(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "ip");
    check(arguments);
  }
  static void shape(std::vector<std::string> tc, const std::string& device) {
    tc.insert(tc.end(), {"qdisc", "add", "dev", device, "root", "tbf", "rate", LinkRate, "burst",
                         "32kbit", "latency", "400ms"});
    check(tc);
  }
  static void check(const std::vector<std::string>& argv) {
    const CommandResult result = runCommand(argv);
    if (result.exitCode != 0) {
      std::fprintf(stderr, "bench_capture: %s failed: %s", argv[0].c_str(), result.err.c_str());
      std::exit(1);
    }
  }
  std::string name_;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Serves this process's events until done. processEvents returns at once when nothing is
// pending, so the pause between rounds keeps it from taking a core the command needs.
void spin(const std::function<bool()>& done, int deadlineMs = 30000) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < deadlineMs) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool answers(const std::string& host, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool connected =
      connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(socket);
  return connected;
}

// One run of a command that captures and, on the road, uploads: the start to the file written
// into the folder (inotify's event), and to an address of the server's on the clipboard. The
// clipboard is asked directly: its change signal can be missed when a program takes it twice.
struct RoadTimes {
  double placed = -1, copied = -1;
};

RoadTimes timeRoad(ScreenWindow& window, const std::vector<std::string>& command,
                   const std::string& folder, uint32_t placedEvent, const std::string& base,
                   int run) {
  window.setRun(run);
  spin([] { return false; }, 150);  // the new number reaches the screen, the last flush the disk
  QClipboard* clipboard = QGuiApplication::clipboard();
  const QString before = clipboard->text();
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  inotify_add_watch(watch, folder.c_str(), placedEvent);
  RoadTimes times;
  const auto start = Clock::now();
  ChildProcess tool(command, {}, "/dev/null");
  spin([&] {
    char events[4096];
    if (times.placed < 0 && read(watch, events, sizeof events) > 0)
      times.placed = Ms(Clock::now() - start).count();
    if (base.empty()) return times.placed >= 0;
    const QString text = clipboard->text();
    if (text != before && text.startsWith(QString::fromStdString(base)))
      times.copied = Ms(Clock::now() - start).count();
    return times.copied >= 0;
  });
  tool.wait();
  close(watch);
  return times;
}

long newestFileSize(const std::string& folder) {
  long size = 0;
  time_t newest = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    struct stat status {};
    if (stat(entry.path().c_str(), &status) == 0 && status.st_mtime >= newest)
      newest = status.st_mtime, size = status.st_size;
  }
  return size;
}

template <typename Work>
double medianOf(int runs, Work work) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    work();
    times.push_back(Ms(Clock::now() - start).count());
  }
  return median(times);
}

QByteArray encodeWithQt(const QImage& image, int zlibLevel) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "png");
  writer.setQuality(100 - zlibLevel * 11);  // the writer's zlib level: 100 is 0, 0 is 9
  writer.write(image);
  return bytes;
}

void reportEncoders(int runs) {
  const QImage image = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
  std::printf("in-process parts (median of %d):\n", runs);
  std::printf("  grab of the screen                     %7.2f ms\n",
              medianOf(runs, [] { QGuiApplication::primaryScreen()->grabWindow(0).toImage(); }));
  for (int level : {1, 6}) {
    qsizetype size = 0;
    const double ms = medianOf(runs, [&] { size = encodeWithQt(image, level).size(); });
    std::printf("  Qt's PNG writer, zlib level %d          %7.2f ms  %9lld bytes\n", level, ms,
                static_cast<long long>(size));
  }
  for (int level : {0, 1, 2, 3}) {
    qsizetype size = 0;
    const double ms =
        medianOf(runs, [&] { size = kapsho_capture::encodePng(image, level).size(); });
    std::printf("  kapsho-capture's, ISA-L level %d        %7.2f ms  %9lld bytes\n", level, ms,
                static_cast<long long>(size));
  }
}

struct Road {
  const char* name;
  std::vector<std::string> command;
  std::string folder;
  uint32_t placedEvent;
};

// Each road in turn, run after run, so that both meet the same machine.
void reportRoads(ScreenWindow& window, const std::vector<Road>& roads, const std::string& base,
                 const char* link, int runs, int& run) {
  std::vector<std::vector<double>> placed(roads.size()), copied(roads.size());
  for (int i = 0; i < runs; ++i)
    for (size_t r = 0; r < roads.size(); ++r) {
      const RoadTimes times =
          timeRoad(window, roads[r].command, roads[r].folder, roads[r].placedEvent, base, run++);
      placed[r].push_back(times.placed);
      copied[r].push_back(times.copied);
    }
  std::printf("%s, capture to address on the clipboard (median of %d):\n", link, runs);
  for (size_t r = 0; r < roads.size(); ++r)
    std::printf("  %-34s file %8.1f ms, clipboard %8.1f ms, %9ld bytes\n", roads[r].name,
                median(placed[r]), median(copied[r]), newestFileSize(roads[r].folder));
  std::printf("  the script takes %.2fx Kapsho's time\n", median(copied[1]) / median(copied[0]));
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 21;
  const std::string screen = argc > 2 ? argv[2] : "1920x1080";
  const int width = std::atoi(screen.c_str()),
            height = std::atoi(screen.c_str() + screen.find('x') + 1);
  TempHome home;
  TempDir folder, scriptFolder, data, logs;
  VirtualDisplay display(screen + "x24");
  PrivateBus bus;
  ScopedEnv platformName("QT_QPA_PLATFORM", "xcb");
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QGuiApplication application(qtArgc, qtArgv);
  ScreenWindow window(QSize(width, height));
  window.setFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
  window.setGeometry(0, 0, width, height);
  window.show();
  spin([&] { return window.isExposed(); });
  spin([] { return false; }, 300);  // let the first paint reach the server

  runCommand({stagePath("bin/kapsho-defaults"), "write", "com.apple.screencapture", "location",
              "-string", folder.path()});
  std::vector<double> placed, scrotPlaced;
  int run = 0;
  for (int i = 0; i < runs; ++i) {
    placed.push_back(timeRoad(window, {CapturePath}, folder.path(), IN_MOVED_TO, "", run++).placed);
    scrotPlaced.push_back(timeRoad(window, {"scrot", "-o", scriptFolder.file("shot.png")},
                                   scriptFolder.path(), IN_CLOSE_WRITE, "", run++)
                              .placed);
  }
  std::printf(
      "%s PNG, start to file in place (median of %d): kapsho-capture %.1f ms (min %.1f, "
      "max %.1f), %ld bytes; scrot %.1f ms, %ld bytes\n",
      screen.c_str(), runs, median(placed), *std::min_element(placed.begin(), placed.end()),
      *std::max_element(placed.begin(), placed.end()), newestFileSize(folder.path()),
      median(scrotPlaced), newestFileSize(scriptFolder.path()));
  reportEncoders(std::min(runs, 7));

  const ShapedLink link;
  const int port = freeLocalPort();
  for (const bool shaped : {false, true}) {
    const std::string host = shaped ? ShapedLink::ServerAddress : "127.0.0.1";
    const std::string base = "http://" + host + ":" + std::to_string(port);
    const std::vector<std::string> server = {stagePath("bin/kapsho-upload-server"),
                                             "--bind",
                                             host,
                                             "--port",
                                             std::to_string(port),
                                             "--data-dir",
                                             data.path(),
                                             "--base-url",
                                             base};
    ChildProcess uploads(shaped ? link.inside(server) : server, {}, logs.file("server.out"),
                         logs.file("server.err"));
    waitUntil([&] { return answers(host, port); });
    runCommand({stagePath("bin/kapsho-defaults"), "write", "com.kapsho.KapshoDaemon", "Upload Host",
                "-string", host + ":" + std::to_string(port)});
    ChildProcess agent({stagePath("lib/kapsho/KapshoPref.prefPane/Contents/Resources/"
                                  "KapshoDaemon.app/Contents/MacOS/KapshoDaemon")},
                       {{"LANGUAGE", "en"}}, logs.file("agent.out"), logs.file("agent.err"));
    waitUntil([&] { return agentWatching(agent.pid()); });
    const std::string shot = scriptFolder.file("shot.png");
    const std::vector<Road> roads = {
        {"kapsho-capture, the agent", {CapturePath}, folder.path(), IN_MOVED_TO},
        {"scrot, curl -F, xclip",
         {"sh", "-c",
          "scrot -o " + shot + " && curl -s -F app_upload=Upload -F userfile=@" + shot + " " +
              base +
              "/app_upload.php -o /dev/null -w '%{redirect_url}' | xclip -selection "
              "clipboard"},
         scriptFolder.path(),
         IN_CLOSE_WRITE},
    };
    reportRoads(window, roads, base, shaped ? "20 Mbit/s each way" : "loopback", runs, run);
  }
  return 0;
}
