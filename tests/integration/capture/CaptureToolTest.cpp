// kapsho-capture as a user starts it: on a virtual display showing a window of known colours (with
// the running agent too), and on a Wayland session through a stand-in portal on a private bus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <QGuiApplication>
#include <QImageReader>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <filesystem>
#include <set>

#include "platform/foundation/UserDefaults.h"
#include "tests/support/Desktop.h"

using namespace testing_support;
using platform::NSUserDefaults;
using platform::Value;
using testing::StartsWith;
namespace fs = std::filesystem;

namespace {

const std::string CapturePath = stagePath("bin/kapsho-capture");

// The capture folder and type for the next capture.
void captureInto(const std::string& folder, const std::string& type = "") {
  platform::Dictionary settings{{"location", Value(folder)}};
  if (!type.empty()) settings["type"] = Value(type);
  ASSERT_TRUE(NSUserDefaults::setPersistentDomain(settings, "com.apple.screencapture"));
}

// Every entry of the folder, hidden ones included.
std::set<std::string> entries(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

// Runs a capture and says what it did, in one line: each entry it left in the folder with the
// picture's format and size, then its status, and after a failure its errors without the
// program's name.
std::string capture(std::vector<std::string> arguments, const std::string& folder) {
  arguments.insert(arguments.begin(), CapturePath);
  const CommandResult result = runCommand(arguments);
  std::string text;
  for (const auto& name : entries(folder)) {
    const QImageReader reader(QString::fromStdString(folder + "/" + name));
    text += name + " " + reader.format().toStdString() + " " +
            std::to_string(reader.size().width()) + "x" + std::to_string(reader.size().height()) +
            " | ";
  }
  text += "status " + std::to_string(result.exitCode);
  return result.exitCode ? text + ": " + result.err.substr(result.err.find(": ") + 2) : text;
}

// The known window: red, with its bottom right quarter white, at a known place on the black root.
const QRect Known(40, 30, 200, 100);

class KnownWindow : public QRasterWindow {
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(0, 0, width(), height(), Qt::red);
    painter.fillRect(width() / 2, height() / 2, width(), height(), Qt::white);
  }
};

// Whether the picture has the known window's corners: red at its top left, white at its bottom
// right.
bool redToWhite(const QImage& image) {
  return image.pixelColor(0, 0) == QColor(Qt::red) &&
         image.pixelColor(image.rect().bottomRight()) == QColor(Qt::white);
}

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
  window.setFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
  window.setGeometry(QRect(at, Known.size()));
  window.show();
  ASSERT_TRUE(waitUntil([&] {
    QCoreApplication::processEvents();
    return redToWhite(
        QGuiApplication::primaryScreen()->grabWindow(0).toImage().copy(QRect(at, Known.size())));
  })) << "the known window never showed";
}

class CaptureTool : public ::testing::Test {
 protected:
  void SetUp() override { showKnownWindow(); }
  TempHome home_;
  ScopedEnv noWayland_{"WAYLAND_DISPLAY", std::nullopt};
};

// Pictures of the screen as it is once the delay is over take the lowest free number (twenty
// captures at once take twenty free names and replace nothing); with -c the clipboard holds the
// picture until another program takes it: here the running agent, which uploads the next capture
// whole, once, and copies its address.
TEST_F(CaptureTool, PicturesTakeTheLowestFreeNumberAndAreUploadedWholeOnceWithTheAddressCopied) {
  TempDir folder;
  captureInto(folder.path());
  ChildProcess delayed({CapturePath, "-T", "1"});
  ASSERT_TRUE(waitUntil([&] {
    return readFile("/proc/" + std::to_string(delayed.pid()) + "/wchan") == "hrtimer_nanosleep";
  }));
  showKnownWindow(QPoint(0, 0));
  delayed.wait();
  showKnownWindow();
  const QImage picture(QString::fromStdString(folder.file("Picture 1.png")));
  EXPECT_TRUE(picture.size() == QSize(320, 240) && redToWhite(picture.copy({{}, Known.size()})));

  writeFile(folder.file("Picture 3.png"), "kept");
  runCommand({"sh", "-c", "for i in $(seq 20); do \"$0\" & done; wait", CapturePath},
             std::chrono::seconds(60));
  std::set<std::string> expected;
  for (int n = 1; n <= 22; ++n) expected.insert("Picture " + std::to_string(n) + ".png");
  EXPECT_EQ(entries(folder.path()), expected);
  fs::remove(folder.file("Picture 1.png"));
  EXPECT_EQ(runCommand({CapturePath}).out, folder.file("Picture 1.png") + "\n");

  prctl(PR_SET_CHILD_SUBREAPER, 1);  // the clipboard's owner outlives the capture: ours to reap
  ASSERT_EQ(runCommand({CapturePath, "-c"}).exitCode, 0);
  const auto pasted = runCommand({"xclip", "-selection", "clipboard", "-t", "image/png", "-o"});
  EXPECT_TRUE(redToWhite(QImage::fromData(QByteArray::fromStdString(pasted.out)).copy(Known)));

  PrivateBus bus;
  TempDir data, logs;
  const std::string port = std::to_string(freeLocalPort()), host = "127.0.0.1:" + port;
  ChildProcess server({stagePath("bin/kapsho-upload-server"), "--bind", "127.0.0.1", "--port", port,
                       "--data-dir", data.path(), "--base-url", "http://" + host});
  ASSERT_TRUE(NSUserDefaults::setPersistentDomain({{"Upload Host", Value(host)}},
                                                  "com.kapsho.KapshoDaemon"));
  ChildProcess agent({stagePath("lib/kapsho/KapshoPref.prefPane/Contents/Resources/"
                                "KapshoDaemon.app/Contents/MacOS/KapshoDaemon")},
                     {{"LANGUAGE", "en"}}, "", logs.file("agent.err"));
  ASSERT_TRUE(waitUntil([&] { return agentWatching(agent.pid()); }));
  ASSERT_EQ(runCommand({CapturePath}).exitCode, 0);
  const std::string prefix = "http://" + host + "/i/";
  std::string address;
  ASSERT_TRUE(waitUntil([&] {
    address = runCommand({"xclip", "-o", "-selection", "clipboard"}).out;
    return address.starts_with(prefix);
  }));
  EXPECT_EQ(readFile(data.file(address.substr(prefix.size()))),
            readFile(folder.file("Picture 23.png")));
  const std::string log = readFile(logs.file("agent.err")).value_or("");
  EXPECT_EQ(log.find("Copying URL to clipboard: "), log.rfind("Copying URL to clipboard: ")) << log;
  EXPECT_TRUE(waitUntil([] { return waitpid(-1, nullptr, WNOHANG) > 0; })) << "the owner quits";
}

// The settings and the user's language name the picture (the French table is UTF-16
// little-endian, the Japanese one big-endian with the number first), FILE is written in the type
// its extension names, and what cannot be done is said with status 1.
TEST_F(CaptureTool, TheSettingsNameThePictureAndFailuresSayWhy) {
  const struct {
    std::string name, value;  // a capture setting (lower case) or a variable of the environment
    std::vector<std::string> arguments;  // "@" stands for the capture folder
    std::string expected;
  } cases[] = {
      {"type", "jpg", {}, "Picture 1.jpg jpeg 320x240 | status 0"},
      {"LANGUAGE", "fr", {}, "Image 1.png png 320x240 | status 0"},
      {"LANGUAGE", "de", {}, "Bild 1.png png 320x240 | status 0"},
      {"LANGUAGE", "ja", {}, "1 ピクチャ.png png 320x240 | status 0"},
      {"", "", {"@/shot.tiff"}, "shot.tiff tiff 320x240 | status 0"},
      {"", "", {"-T", "soon"}, "status 1: -T takes a number of seconds from 0 to 86400"},
      {"", "", {"a.png", "b.png"}, "status 1: only one FILE may be given"},
      {"", "", {"-c", "a.png"}, "status 1: -c puts the image on the clipboard: give no FILE"},
      {"location", "/proc/version", {}, "status 1: cannot write into \"/proc/version\": Not a dir"},
      {"type", "gif", {}, "status 1: cannot write images of type \"gif\""},
  };
  for (auto [name, value, arguments, expected] : cases) {
    TempDir folder;
    platform::Dictionary settings{{"location", Value(folder.path())}};
    std::optional<ScopedEnv> variable;
    if (std::islower(name[0]))
      settings[name] = Value(value);
    else if (!name.empty())
      variable.emplace(name, value);
    ASSERT_TRUE(NSUserDefaults::setPersistentDomain(settings, "com.apple.screencapture"));
    for (auto& argument : arguments)
      if (argument.starts_with("@")) argument = folder.path() + argument.substr(1);
    EXPECT_THAT(capture(arguments, folder.path()), StartsWith(expected));
  }
}

// A drag takes its rectangle, a click the window under the pointer; Escape cancels.
TEST_F(CaptureTool, TheUserDragsClicksOrCancels) {
  const std::pair<std::string, std::string> cases[] = {
      {"mousemove 50 40 mousedown 1 mousemove 100 60 mousemove 150 90 mouseup 1",
       "Picture 1.png png 100x50 | status 0"},
      {"mousemove 200 50 click 1", "Picture 1.png png 200x100 | status 0"},
      {"key Escape", "status 1: cancelled: nothing captured"},
  };
  for (const auto& [actions, expected] : cases) {
    showKnownWindow();
    TempDir folder;
    captureInto(folder.path());
    ChildProcess user(
        {"sh", "-c",
         "xdotool search --sync --name '^Kapsho Capture Selection$' && xdotool " + actions});
    EXPECT_THAT(capture({"-i"}, folder.path()), StartsWith(expected));
    const QImage picture(QString::fromStdString(folder.file("Picture 1.png")));
    EXPECT_TRUE(picture.isNull() || redToWhite(picture));
  }
}

// On a Wayland session the portal's file is moved into place (copied into a folder on another
// file system, encoded again for another type), or its refusal or a file that is no picture is
// reported; with -c the picture goes to wl-copy.
TEST(PortalCapture, ThePortalsPictureIsMovedIntoPlaceOrItsRefusalReported) {
  TempHome home;
  PrivateBus bus;
  ScopedEnv wayland("WAYLAND_DISPLAY", "wayland-kapsho-test"), noX11("DISPLAY", std::nullopt);
  RecordingWlClipboard wlClipboard;
  TempDir logs;
  const std::string shotPath = logs.file("shot");
  ChildProcess portal({KAPSHO_STAND_IN_PORTAL, shotPath}, {}, logs.file("portal.out"));
  ASSERT_EQ(firstLine(logs.file("portal.out")), "ready");
  QImage shot(64, 48, QImage::Format_RGB32);
  shot.fill(Qt::green);
  const struct {
    std::vector<std::string> arguments;
    std::string type, answer, expected;  // answer: the type of the portal's file, or what it holds
  } cases[] = {
      {{}, "", "png, folder on tmpfs", "Picture 1.png png 64x48 | status 0"},
      {{"-i"}, "jpg", "jpg", "Picture 1.jpg jpeg 64x48 | status 0"},
      {{}, "jpg", "png", "Picture 1.jpg jpeg 64x48 | status 0"},
      {{"-c"}, "", "png", "status 0"},
      {{}, "", "refuse:2", "status 1: the desktop refused the screenshot (portal answer 2)"},
      {{}, "", "refuse:1", "status 1: the screenshot was cancelled"},
      {{}, "", "junk", "status 1: the screenshot portal gave no picture"},
  };
  for (const auto& c : cases) {
    std::optional<ScopedEnv> tmpfs;
    if (c.answer.ends_with("tmpfs")) tmpfs.emplace("TMPDIR", "/dev/shm");
    TempDir folder;
    tmpfs.reset();
    captureInto(folder.path(), c.type);
    const std::string extension = c.answer.substr(0, 3);
    if (extension == "png" || extension == "jpg")
      // At a quality the capture does not use: a picture encoded again has other bytes.
      ASSERT_TRUE(shot.save(QString::fromStdString(shotPath), extension.c_str(), 100));
    else
      writeFile(shotPath, c.answer);
    const auto shotBytes = readFile(shotPath);
    EXPECT_THAT(capture(c.arguments, folder.path()), StartsWith(c.expected));
    EXPECT_TRUE(!c.expected.ends_with("status 0") || !fs::exists(shotPath)) << "moved away";
    const std::string moved = folder.file("Picture 1." + extension);
    EXPECT_TRUE(!fs::exists(moved) || readFile(moved) == shotBytes) << "not encoded again";
  }
  EXPECT_EQ(readFile(logs.file("portal.out")), "ready\ninteractive\n");
  EXPECT_EQ(wlClipboard.calls(), "--type image/png\n");
  EXPECT_EQ(QImage::fromData(QByteArray::fromStdString(wlClipboard.clipboard())).size(),
            shot.size());
}

}  // namespace
