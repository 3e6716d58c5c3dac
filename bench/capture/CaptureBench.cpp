// kapsho-capture on a 1920x1080 Xvfb showing a busy window: the time from the command's start
// to its file renamed into the capture folder, the parts of that time measured apart (Qt's
// start, the grab, the PNG encoder at each compression level), and the whole road: start of the
// command to the upload's address on the clipboard, with the agent and the upload server (and
// when the file was in place on that road).
//
//   bench_capture [runs]
#include <poll.h>
#include <sys/inotify.h>
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
#include <cstdio>
#include <filesystem>
#include <thread>

#include "tests/support/Desktop.h"

using namespace testing_support;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

const std::string CapturePath = stagePath("bin/kapsho-capture");

// Text, gradients and boxes: what a screen holds, not a flat colour the encoder skips through.
class BusyWindow : public QRasterWindow {
 public:
  void setRun(int run) {
    run_ = run;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    QLinearGradient gradient(0, 0, width(), height());
    gradient.setColorAt(0, QColor(30, 60, 120));
    gradient.setColorAt(1, QColor(220, 200, 160));
    painter.fillRect(QRect(QPoint(), size()), gradient);
    for (int i = 0; i < 40; ++i)
      painter.fillRect((i * 97) % width(), (i * 53) % height(), 180, 120,
                       QColor::fromHsv((i * 37) % 360, 160, 230));
    painter.setPen(Qt::black);
    painter.drawText(900, 540, QStringLiteral("run %1").arg(run_));
    for (int y = 14; y < height(); y += 16)
      painter.drawText(8, y,
                       QStringLiteral("kapsho %1: the quick brown fox jumps over the lazy "
                                      "dog, 0123456789, screenshots uploaded at once")
                           .arg(y));
  }

 private:
  int run_ = 0;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Serves this process's events until done. processEvents with a time limit returns at once
// when nothing is pending, so the pause between rounds keeps it from taking a core that the
// command under measurement needs.
void spin(const std::function<bool()>& done, int deadlineMs = 20000) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < deadlineMs) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Start of the command to the name moved into the folder, read from inotify, while this
// process serves its window's events as it does on the whole road below.
double timeToPlaced(const std::string& folder) {
  // As a key press comes: not on the heels of the last capture's disk flushes.
  spin([] { return false; }, 100);
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  inotify_add_watch(watch, folder.c_str(), IN_MOVED_TO);
  std::optional<double> placed;
  const auto start = Clock::now();
  ChildProcess tool({CapturePath}, {}, "/dev/null");
  spin([&] {
    char events[4096];
    if (read(watch, events, sizeof events) > 0) placed = Ms(Clock::now() - start).count();
    return placed.has_value();
  });
  tool.wait();
  close(watch);
  return placed.value_or(-1);
}

QByteArray encodePng(const QImage& image, int compression) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "png");
  // The PNG writer takes its zlib level from the quality: 100 is level 0, 0 is level 9.
  if (compression >= 0) writer.setQuality(100 - compression * 11);
  writer.write(image);
  return bytes;
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

void reportParts(int runs) {
  const QImage image = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
  std::printf("in-process parts (median of %d):\n", runs);
  std::printf("  grab of the screen                 %7.2f ms\n",
              medianOf(runs, [] { QGuiApplication::primaryScreen()->grabWindow(0).toImage(); }));
  for (int level : {-1, 0, 1, 2, 3, 6, 9}) {
    size_t size = 0;
    const double ms = medianOf(runs, [&] { size = encodePng(image, level).size(); });
    std::printf("  PNG encode, compression %-3s      %7.2f ms  %8zu bytes\n",
                level < 0 ? "def" : std::to_string(level).c_str(), ms, size);
  }
  std::printf("  command without Qt (--help)        %7.2f ms\n", medianOf(runs, [] {
                runCommand({CapturePath, "--help"});
              }));
}

// Each run shows a new number, so that each upload has an address of its own (the server names
// pictures by their content). The clipboard is asked directly: its change signal can be missed
// when another program takes it twice in a row.
struct RoadTimes {
  double placed = -1, copied = -1;
};

RoadTimes roadToClipboard(BusyWindow& window, const std::string& folder, const std::string& base,
                          int run) {
  window.setRun(run);
  spin([] { return false; }, 100);  // the new number reaches the server, the last flush the disk
  QClipboard* clipboard = QGuiApplication::clipboard();
  const QString before = clipboard->text();
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  inotify_add_watch(watch, folder.c_str(), IN_MOVED_TO);
  RoadTimes times;
  const auto start = Clock::now();
  ChildProcess tool({CapturePath}, {}, "/dev/null");
  spin([&] {
    char events[4096];
    if (times.placed < 0 && read(watch, events, sizeof events) > 0)
      times.placed = Ms(Clock::now() - start).count();
    const QString text = clipboard->text();
    if (text != before && text.startsWith(QString::fromStdString(base)))
      times.copied = Ms(Clock::now() - start).count();
    return times.copied >= 0;
  });
  tool.wait();
  close(watch);
  return times;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 21;
  TempHome home;
  TempDir folder, data, logs;
  VirtualDisplay display("1920x1080x24");
  PrivateBus bus;
  ScopedEnv platformName("QT_QPA_PLATFORM", "xcb");
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QGuiApplication application(qtArgc, qtArgv);
  BusyWindow window;
  window.setFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
  window.setGeometry(0, 0, 1920, 1080);
  window.show();
  spin([&] { return window.isExposed(); });
  spin([] { return false; }, 300);  // let the first paint reach the server

  runCommand({stagePath("bin/kapsho-defaults"), "write", "com.apple.screencapture", "location",
              "-string", folder.path()});
  std::vector<double> placed;
  for (int i = 0; i < runs; ++i) placed.push_back(timeToPlaced(folder.path()));
  std::printf(
      "kapsho-capture, 1920x1080 PNG: start to file in place, median %.2f ms "
      "(min %.2f, max %.2f, %d runs)\n",
      median(placed), *std::min_element(placed.begin(), placed.end()),
      *std::max_element(placed.begin(), placed.end()), runs);
  reportParts(runs);

  const int port = freeLocalPort();
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  ChildProcess server({stagePath("bin/kapsho-upload-server"), "--bind", "127.0.0.1", "--port",
                       std::to_string(port), "--data-dir", data.path(), "--base-url", base},
                      {}, logs.file("server.out"), logs.file("server.err"));
  runCommand({stagePath("bin/kapsho-defaults"), "write", "com.kapsho.KapshoDaemon", "Upload Host",
              "-string", "127.0.0.1:" + std::to_string(port)});
  ChildProcess agent({stagePath("lib/kapsho/KapshoPref.prefPane/Contents/Resources/"
                                "KapshoDaemon.app/Contents/MacOS/KapshoDaemon")},
                     {{"LANGUAGE", "en"}}, logs.file("agent.out"), logs.file("agent.err"));
  waitUntil([&] { return agentWatching(agent.pid()); });
  std::vector<double> placedWithAgent, road;
  for (int i = 0; i < runs; ++i) {
    const RoadTimes times = roadToClipboard(window, folder.path(), base, i);
    placedWithAgent.push_back(times.placed);
    road.push_back(times.copied);
  }
  std::printf(
      "whole road, start of kapsho-capture: file in place median %.2f ms, address on the "
      "clipboard median %.2f ms (min %.2f, max %.2f)\n",
      median(placedWithAgent), median(road), *std::min_element(road.begin(), road.end()),
      *std::max_element(road.begin(), road.end()));
  return 0;
}
