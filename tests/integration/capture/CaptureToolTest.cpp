// kapsho-capture as a user starts it. On a virtual display showing a window of known colours:
// names and pictures, the user's choices, the clipboard, captures at the same moment, failures,
// and the whole road through the running agent to the address on the clipboard. On a Wayland
// session: the screenshot from a stand-in for the desktop's portal on a private bus (no desktop
// portal runs here), the clipboard through a stand-in wl-copy.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QGuiApplication>
#include <QImageReader>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <filesystem>

#include "platform/foundation/UserDefaults.h"
#include "tests/support/Desktop.h"

using namespace testing_support;
using platform::NSUserDefaults;
using platform::Value;
namespace fs = std::filesystem;

namespace {

const std::string CapturePath = stagePath("bin/kapsho-capture");

// The capture folder and type for the next capture.
void captureInto(const std::string& folder, const std::string& type = "") {
  platform::Dictionary settings{{"location", Value(folder)}};
  if (!type.empty()) settings["type"] = Value(type);
  ASSERT_TRUE(NSUserDefaults::setPersistentDomain(settings, "com.apple.screencapture"));
}

// Every entry of the folder, hidden ones included, sorted.
std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

CommandResult capture(std::vector<std::string> arguments = {}) {
  arguments.insert(arguments.begin(), CapturePath);
  return runCommand(arguments);
}

// What a capture did, in one line: each entry it left in the folder with the picture's format
// and size, then its status, and after a failure the first line of its errors without the
// program's name.
std::string outcome(const CommandResult& result, const std::string& folder) {
  std::string text;
  for (const auto& name : entries(folder)) {
    QImageReader reader(QString::fromStdString(folder + "/" + name));
    text += name + " " + reader.format().toStdString() + " " +
            std::to_string(reader.size().width()) + "x" + std::to_string(reader.size().height()) +
            " | ";
  }
  text += "status " + std::to_string(result.exitCode);
  const std::string error = result.err.substr(0, result.err.find('\n'));
  return result.exitCode ? text + ": " + error.substr(std::min(error.size(), error.find(": ") + 2))
                         : text;
}

// Four coloured quarters at a known place on the black root: red, green above; blue, white below.
const QRect Known(40, 30, 200, 100);

class KnownWindow : public QRasterWindow {
 public:
  KnownWindow() { setFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint); }

 private:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const int w = width() / 2, h = height() / 2;
    painter.fillRect(0, 0, w, h, Qt::red);
    painter.fillRect(w, 0, width() - w, h, Qt::green);
    painter.fillRect(0, h, w, height() - h, Qt::blue);
    painter.fillRect(w, h, width() - w, height() - h, Qt::white);
  }
};

// Moves the known window and waits until the screen shows it there, whole: a window beneath the
// overlay that just went is not repainted until this process handles its events. One display
// and window for the whole test program: Qt connects once a process.
void showKnownWindow(QPoint at = Known.topLeft()) {
  static VirtualDisplay display;
  static ScopedEnv platform("QT_QPA_PLATFORM", "xcb");
  static int argc = 1;
  static char name[] = "integration_capture", *argv[] = {name, nullptr};
  static QGuiApplication application(argc, argv);
  static KnownWindow window;
  window.setGeometry(QRect(at, Known.size()));
  window.show();
  ASSERT_TRUE(waitUntil([&] {
    QCoreApplication::processEvents();
    const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    return screen.pixelColor(at + QPoint(5, 5)) == QColor(Qt::red) &&
           screen.pixelColor(at + QPoint(Known.width(), Known.height()) - QPoint(5, 5)) ==
               QColor(Qt::white);
  })) << "the known window never showed";
}

// The known colours where the known window lay, in a picture whose top left was at `origin`.
void expectKnownColours(const QImage& image, QPoint origin) {
  const QPoint at = Known.topLeft() - origin;
  EXPECT_EQ(image.pixelColor(at + QPoint(10, 10)), QColor(Qt::red));
  EXPECT_EQ(image.pixelColor(at + QPoint(190, 10)), QColor(Qt::green));
  EXPECT_EQ(image.pixelColor(at + QPoint(10, 90)), QColor(Qt::blue));
  EXPECT_EQ(image.pixelColor(at + QPoint(190, 90)), QColor(Qt::white));
}

class CaptureTool : public ::testing::Test {
 protected:
  void SetUp() override {
    showKnownWindow();
    captureInto(folder_.path());
  }
  TempHome home_;
  TempDir folder_;
  ScopedEnv noWayland_{"WAYLAND_DISPLAY", std::nullopt};
};

// The screen as it is once the delay is over, under the lowest free number; twenty captures at
// once take twenty free names and replace nothing.
TEST_F(CaptureTool, PicturesOfTheScreenTakeTheLowestFreeNumber) {
  TempDir logs;
  ChildProcess delayed({CapturePath, "-T", "1"}, {}, logs.file("out"));
  ASSERT_TRUE(waitUntil([&] {
    return readFile("/proc/" + std::to_string(delayed.pid()) + "/wchan") == "hrtimer_nanosleep";
  }));
  showKnownWindow(QPoint(0, 0));
  delayed.wait();
  showKnownWindow();
  EXPECT_EQ(readFile(logs.file("out")), folder_.file("Picture 1.png") + "\n");
  const QImage image(QString::fromStdString(folder_.file("Picture 1.png")));
  ASSERT_EQ(image.size(), QSize(320, 240));
  EXPECT_EQ(image.pixelColor(300, 200), QColor(Qt::black));
  expectKnownColours(image, Known.topLeft());

  writeFile(folder_.file("Picture 3.png"), "kept");
  std::vector<std::unique_ptr<ChildProcess>> tools;
  for (int i = 0; i < 20; ++i)
    tools.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{CapturePath}));
  // A capture that failed is missing from the names.
  for (auto& tool : tools) tool->wait(std::chrono::seconds(60));
  std::vector<std::string> expected;
  for (int n = 1; n <= 22; ++n) expected.push_back("Picture " + std::to_string(n) + ".png");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(entries(folder_.path()), expected);
  EXPECT_EQ(readFile(folder_.file("Picture 3.png")), "kept");
  fs::remove(folder_.file("Picture 1.png"));
  EXPECT_EQ(capture().out, folder_.file("Picture 1.png") + "\n");
}

// The setting's type and the user's language name the picture (every shipped strings table: the
// French one is stored as UTF-16 little-endian, the Japanese one big-endian, with the number
// first), and a FILE given is replaced whole in the type its extension names; what cannot be done
// is said with status 1, and nothing is left behind. Each case gives the capture settings ("type=",
// "location=") and variables of the environment ("NAME=value"), then the arguments, where "@"
// stands for the capture folder.
TEST_F(CaptureTool, TheSettingsNameThePictureAndFailuresSayWhy) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"type=jpg"}, "Picture 1.jpg jpeg 320x240 | status 0"},
      {{"LANGUAGE=fr"}, "Image 1.png png 320x240 | status 0"},
      {{"LANGUAGE=de"}, "Bild 1.png png 320x240 | status 0"},
      {{"LANGUAGE=ja"}, "1 ピクチャ.png png 320x240 | status 0"},
      {{"type=jpg", "@/shot.tiff"}, "shot.tiff tiff 320x240 | status 0"},
      {{"-T", "soon"}, "status 1: -T takes a number of seconds from 0 to 86400, not \"soon\""},
      {{"-x"}, "status 1: unknown option \"-x\""},
      {{"a.png", "b.png"}, "status 1: only one FILE may be given"},
      {{"-c", "a.png"}, "status 1: -c puts the image on the clipboard: give no FILE with it"},
      {{"location=/nonexistent"}, "status 1: cannot write into \"/nonexistent\": No such file"},
      {{"location=/proc/version"}, "status 1: cannot write into \"/proc/version\": Not a dir"},
      {{"type=gif"}, "status 1: cannot write images of type \"gif\""},
      {{"KAPSHO_SYSTEM_ROOT=/nonexistent"}, "status 1: the capture tool's localization (Screen"},
      {{"DISPLAY="}, "status 1: no display"},
  };
  for (const auto& [words, expected] : cases) {
    TempDir folder;
    std::string type, location = folder.path();
    std::vector<std::string> arguments;
    std::vector<std::unique_ptr<ScopedEnv>> environment;
    for (std::string word : words) {
      const size_t equals = word.find('=');
      if (word.starts_with("@")) writeFile(word = folder.path() + word.substr(1), "old");
      if (equals == std::string::npos || word.starts_with("/"))
        arguments.push_back(word);
      else if (word.starts_with("type=") || word.starts_with("location="))
        (word.starts_with("type=") ? type : location) = word.substr(equals + 1);
      else
        environment.push_back(
            std::make_unique<ScopedEnv>(word.substr(0, equals), word.substr(equals + 1)));
    }
    captureInto(location, type);
    const std::string got = outcome(capture(arguments), folder.path());
    EXPECT_EQ(got.substr(0, expected.size()), expected) << got;
  }
}

// A drag takes its rectangle, a click the window under the pointer; Escape cancels.
TEST_F(CaptureTool, TheUserDragsClicksOrCancels) {
  const struct {
    std::vector<std::string> actions;  // the user's, as an xdotool command
    std::string expected;
  } cases[] = {
      {{"xdotool", "mousemove", "50", "40", "mousedown", "1", "mousemove", "100", "60", "mousemove",
        "150", "90", "mouseup", "1"},
       "Picture 1.png png 100x50 | status 0"},
      {{"xdotool", "mousemove", "200", "50", "click", "1"}, "Picture 1.png png 200x100 | status 0"},
      {{"xdotool", "key", "Escape"}, "status 1: cancelled: nothing captured"},
  };
  for (const auto& c : cases) {
    showKnownWindow();
    TempDir folder, logs;
    captureInto(folder.path());
    ChildProcess tool({CapturePath, "-i"}, {}, logs.file("out"), logs.file("err"));
    ASSERT_TRUE(waitUntil([] {
      return runCommand({"xdotool", "search", "--name", "^Kapsho Capture Selection$"}).exitCode ==
             0;
    })) << readFile(logs.file("err")).value_or("");
    ASSERT_EQ(runCommand(c.actions).exitCode, 0);
    const auto status = tool.wait();
    ASSERT_TRUE(status && WIFEXITED(*status));
    const CommandResult result{WEXITSTATUS(*status), "", readFile(logs.file("err")).value_or("")};
    EXPECT_EQ(outcome(result, folder.path()), c.expected);
    const QImage image(QString::fromStdString(folder.file("Picture 1.png")));
    EXPECT_TRUE(image.isNull() || (image.pixelColor(0, 0) == QColor(Qt::red) &&
                                   image.pixelColor(image.rect().bottomRight()) == Qt::white));
  }
}

// The processes of kapsho-capture started under this test's HOME.
int capturesRunning() {
  int count = 0;
  const std::string home = std::string("HOME=") + std::getenv("HOME") + '\0';
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    std::error_code ignored;
    if (fs::read_symlink(entry.path() / "exe", ignored) != fs::path(CapturePath)) continue;
    const std::string environment = '\0' + readFile(entry.path() / "environ").value_or("");
    count += environment.find('\0' + home) != std::string::npos;
  }
  return count;
}

TEST_F(CaptureTool, TheClipboardHoldsThePictureUntilAnotherProgramTakesIt) {
  const auto result = capture({"-c"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(entries(folder_.path()), std::vector<std::string>{});
  const auto pasted = runCommand({"xclip", "-selection", "clipboard", "-t", "image/png", "-o"});
  const QImage image = QImage::fromData(QByteArray::fromStdString(pasted.out), "png");
  ASSERT_EQ(image.size(), QSize(320, 240)) << pasted.err;
  expectKnownColours(image, QPoint(0, 0));

  EXPECT_EQ(capturesRunning(), 1);
  // xclip serves the text from a process of its own until one program has pasted it.
  runCommand({"xclip", "-selection", "clipboard", "-loops", "1", "-i", "/proc/version"});
  EXPECT_TRUE(waitUntil([] { return capturesRunning() == 0; }));
}

TEST_F(CaptureTool, ACaptureIsUploadedWholeOnceAndItsAddressCopied) {
  PrivateBus bus;
  TempDir data, logs;
  const std::string port = std::to_string(freeLocalPort()), host = "127.0.0.1:" + port;
  ChildProcess server({stagePath("bin/kapsho-upload-server"), "--bind", "127.0.0.1", "--port", port,
                       "--data-dir", data.path(), "--base-url", "http://" + host});
  ASSERT_TRUE(NSUserDefaults::setPersistentDomain({{"Upload Host", Value(host)}},
                                                  "com.kapsho.KapshoDaemon"));
  ChildProcess agent({stagePath("lib/kapsho/KapshoPref.prefPane/Contents/Resources/"
                                "KapshoDaemon.app/Contents/MacOS/KapshoDaemon")},
                     {{"LANGUAGE", "en"}}, logs.file("agent.out"), logs.file("agent.err"));
  ASSERT_TRUE(waitUntil([&] { return agentWatching(agent.pid()); }));

  ASSERT_EQ(capture().exitCode, 0);
  const auto captured = readFile(folder_.file("Picture 1.png"));
  std::vector<std::string> stored;
  ASSERT_TRUE(waitUntil([&] {
    stored = entries(data.path());
    std::erase_if(stored, [](const std::string& name) { return !name.ends_with(".png"); });
    return stored.size() == 1 && readFile(data.file(stored.front())) == captured;
  })) << readFile(logs.file("agent.err")).value_or("");
  const std::string address = "http://" + host + "/i/" + stored.front();
  EXPECT_TRUE(waitUntil([&] {
    return runCommand({"xclip", "-o", "-selection", "clipboard"}).out == address;
  }));
  const std::string log = readFile(logs.file("agent.err")).value_or("");
  EXPECT_EQ(log.find("Copying URL to clipboard: "), log.rfind("Copying URL to clipboard: ")) << log;
}

// On a Wayland session the portal's file is moved into place (copied from another file system,
// encoded again for another type), or its refusal, its absence or a file that is no picture is
// reported; with -c the picture goes to wl-copy.
TEST(PortalCapture, ThePortalsPictureIsMovedIntoPlaceOrItsRefusalReported) {
  TempHome home;
  PrivateBus bus;
  ScopedEnv wayland("WAYLAND_DISPLAY", "wayland-kapsho-test"), noX11("DISPLAY", std::nullopt);
  RecordingWlClipboard wlClipboard;
  QImage shot(64, 48, QImage::Format_RGB32);
  shot.fill(Qt::green);
  const struct {
    std::vector<std::string> arguments;
    std::string answer, type, expected;
  } cases[] = {
      {{}, "file", "", "Picture 1.png png 64x48 | status 0"},
      {{}, "elsewhere", "", "Picture 1.png png 64x48 | status 0"},
      {{"-i"}, "file", "jpg", "Picture 1.jpg jpeg 64x48 | status 0"},
      {{"-c"}, "file", "", "status 0"},
      {{}, "refuse:2", "", "status 1: the desktop refused the screenshot (portal answer 2)"},
      {{"-i"}, "refuse:1", "", "status 1: the screenshot was cancelled"},
      {{}, "", "", "status 1: no screenshot portal (xdg-desktop-portal) answered"},
      {{}, "junk", "jpg", "status 1: the screenshot portal gave no picture"},
  };
  for (const auto& c : cases) {
    // On tmpfs the portal's file cannot be renamed into the folder: it is copied.
    std::optional<ScopedEnv> tmpfs;
    if (c.answer == "elsewhere") tmpfs.emplace("TMPDIR", "/dev/shm");
    TempDir shots;
    tmpfs.reset();
    TempDir folder, logs;
    captureInto(folder.path(), c.type);
    const std::string shotPath = shots.file("Screenshot from today.png");
    ASSERT_TRUE(shot.save(QString::fromStdString(shotPath)));
    const auto shotBytes = readFile(shotPath);
    if (c.answer == "junk") writeFile(shotPath, "no picture");
    std::optional<ChildProcess> portal;
    if (!c.answer.empty()) {
      const std::string answer = c.answer.starts_with("refuse:") ? c.answer : "file:" + shotPath;
      portal.emplace(std::vector<std::string>{KAPSHO_STAND_IN_PORTAL, logs.file("record"), answer},
                     std::map<std::string, std::string>{}, logs.file("portal.out"));
      ASSERT_EQ(firstLine(logs.file("portal.out")), "ready");
    }
    const std::string got = outcome(capture(c.arguments), folder.path());
    EXPECT_EQ(got.substr(0, c.expected.size()), c.expected) << got;
    const std::string asked = c.arguments == std::vector<std::string>{"-i"} ? "True" : "False";
    EXPECT_EQ(readFile(logs.file("record")),
              c.answer.empty() ? std::nullopt : std::optional("interactive=" + asked + "\n"));
    EXPECT_TRUE(!c.expected.ends_with("status 0") || !fs::exists(shotPath)) << "moved away";
    EXPECT_TRUE(!got.starts_with("Picture 1.png") ||
                readFile(folder.file("Picture 1.png")) == shotBytes)
        << "moved, not encoded again";
  }
  EXPECT_EQ(wlClipboard.calls(), "--type image/png\n");
  const QImage copied = QImage::fromData(QByteArray::fromStdString(wlClipboard.clipboard()), "png");
  EXPECT_EQ(std::tuple(copied.size(), copied.pixelColor(10, 10)),
            std::tuple(shot.size(), QColor(Qt::green)));
}

}  // namespace
