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
#include "tests/support/TestSupport.h"

using namespace testing_support;
using platform::Dictionary;
using platform::NSUserDefaults;
using platform::Value;
namespace fs = std::filesystem;

namespace {

const std::string CapturePath = stagePath("bin/kapsho-capture");

// The capture folder and type for the next capture.
void captureInto(const std::string& folder, const std::string& type = "") {
  Dictionary settings{{"location", Value(folder)}};
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

QImage picture(const std::string& path) {
  return QImage(QString::fromStdString(path));
}

CommandResult capture(const std::vector<std::string>& arguments = {}) {
  std::vector<std::string> argv{CapturePath};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runCommand(argv);
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

// A picture of the whole screen under the lowest free number; twenty at once take twenty free
// names and replace nothing.
TEST_F(CaptureTool, PicturesOfTheScreenTakeTheLowestFreeNumber) {
  const auto result = capture();
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, folder_.file("Picture 1.png") + "\n");
  const QImage image = picture(folder_.file("Picture 1.png"));
  ASSERT_EQ(image.size(), QSize(320, 240));
  EXPECT_EQ(image.pixelColor(5, 5), QColor(Qt::black));
  expectKnownColours(image, QPoint(0, 0));

  writeFile(folder_.file("Picture 3.png"), "kept");
  std::vector<std::unique_ptr<ChildProcess>> tools;
  for (int i = 0; i < 20; ++i)
    tools.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{CapturePath}));
  for (auto& tool : tools) {
    const auto status = tool->wait(std::chrono::seconds(60));
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  }
  std::vector<std::string> expected;
  for (int n = 1; n <= 22; ++n) expected.push_back("Picture " + std::to_string(n) + ".png");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(entries(folder_.path()), expected);
  EXPECT_EQ(readFile(folder_.file("Picture 3.png")), "kept");
  fs::remove(folder_.file("Picture 1.png"));
  EXPECT_EQ(capture().out, folder_.file("Picture 1.png") + "\n");
}

// The capture setting's type and the user's language name the file; a FILE given is replaced
// whole, in the type its extension names.
TEST_F(CaptureTool, TheTypeTheLanguageOrAFileNameThePicture) {
  TempDir root;
  const std::string french =
      root.path() + "/System/Library/CoreServices/SystemUIServer.app/Contents/Resources/fr.lproj";
  fs::create_directories(french);
  const std::string word =
      "Capture d\xe2\x80\x99\xc3\xa9"
      "cran";
  writeFile(french + "/ScreenCapture.strings",
            "\"%@ %@\" = \"%1$@ %2$@\";\n\"Picture\" = \"" + word + "\";\n");
  const struct {
    std::string type, language, systemRoot, name, format;
    bool named;  // given as FILE
  } cases[] = {
      {"jpg", "en", stagePath("share/kapsho"), "Picture 1.jpg", "jpeg", false},
      {"", "fr", root.path(), word + " 1.png", "png", false},
      {"jpg", "en", stagePath("share/kapsho"), "shot.tiff", "tiff", true},
  };
  for (const auto& c : cases) {
    TempDir folder;
    captureInto(folder.path(), c.type);
    ScopedEnv language("LANGUAGE", c.language), systemRoot("KAPSHO_SYSTEM_ROOT", c.systemRoot);
    if (c.named) writeFile(folder.file(c.name), "old");
    const auto result =
        capture(c.named ? std::vector{folder.file(c.name)} : std::vector<std::string>{});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    ASSERT_EQ(entries(folder.path()), std::vector<std::string>{c.name});
    QImageReader reader(QString::fromStdString(folder.file(c.name)));
    EXPECT_EQ(reader.format().toStdString(), c.format);
    EXPECT_EQ(reader.size(), QSize(320, 240));
  }
}

TEST_F(CaptureTool, TheDelayComesBeforeTheGrab) {
  ChildProcess tool({CapturePath, "-T", "2"}, {}, "/dev/null");
  // The screen changes while the tool sleeps out its delay.
  ASSERT_TRUE(waitUntil([&] {
    return readFile("/proc/" + std::to_string(tool.pid()) + "/wchan") == "hrtimer_nanosleep";
  }));
  showKnownWindow(QPoint(0, 0));
  const auto status = tool.wait();
  showKnownWindow();
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  expectKnownColours(picture(folder_.file("Picture 1.png")), Known.topLeft());
}

TEST_F(CaptureTool, TheUserDragsClicksOrCancels) {
  const struct {
    std::vector<std::string> actions;
    QSize size;  // invalid: cancelled, nothing written
  } cases[] = {
      {{"mousemove", "50", "40", "mousedown", "1", "mousemove", "100", "60", "mousemove", "150",
        "90", "mouseup", "1"},
       QSize(100, 50)},
      {{"mousemove", "200", "50", "click", "1"}, Known.size()},
      {{"key", "Escape"}, QSize()},
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
    std::vector<std::string> xdotool{"xdotool"};
    xdotool.insert(xdotool.end(), c.actions.begin(), c.actions.end());
    ASSERT_EQ(runCommand(xdotool).exitCode, 0);
    const auto status = tool.wait();
    ASSERT_TRUE(status && WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), c.size.isValid() ? 0 : 1) << c.actions[0];
    if (!c.size.isValid()) {
      EXPECT_EQ(entries(folder.path()), std::vector<std::string>{});
      continue;
    }
    const QImage image = picture(folder.file("Picture 1.png"));
    EXPECT_EQ(image.size(), c.size);
    EXPECT_EQ(image.pixelColor(0, 0), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(c.size.width() - 1, c.size.height() - 1), QColor(Qt::white));
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
  TempDir text;
  writeFile(text.file("t"), "taken");
  // xclip serves the text from a process of its own until one program has pasted it.
  runCommand({"xclip", "-selection", "clipboard", "-loops", "1", "-i", text.file("t")});
  EXPECT_TRUE(waitUntil([] { return capturesRunning() == 0; }));
}

TEST_F(CaptureTool, FailuresSayWhyWithStatusOneAndLeaveNothing) {
  TempDir empty;
  writeFile(empty.file("file"), "");
  const std::string missing = empty.file("missing");
  const struct {
    std::vector<std::string> arguments;
    std::string location, type, variable, value, message;
  } cases[] = {
      {{"-T", "soon"}, "", "", "", "", "seconds from 0 to 86400, not \"soon\""},
      {{"-x"}, "", "", "", "", "unknown option \"-x\""},
      {{"a.png", "b.png"}, "", "", "", "", "only one FILE may be given"},
      {{"-c", "a.png"}, "", "", "", "", "give no FILE with it"},
      {{}, missing, "", "", "", "cannot write into \"" + missing + "\": No such file or directory"},
      {{}, empty.file("file"), "", "", "", "Not a directory"},
      {{}, "", "gif", "", "", "cannot write images of type \"gif\""},
      {{}, "", "", "KAPSHO_SYSTEM_ROOT", empty.path(), "localization (ScreenCapture.strings)"},
      {{}, "", "", "DISPLAY", "", "no display"},
  };
  for (const auto& c : cases) {
    TempDir folder;
    captureInto(c.location.empty() ? folder.path() : c.location, c.type);
    std::optional<ScopedEnv> variable;
    if (!c.variable.empty()) variable.emplace(c.variable, c.value);
    const auto result = capture(c.arguments);
    EXPECT_EQ(result.exitCode, 1) << c.message;
    EXPECT_TRUE(result.err.starts_with("kapsho-capture: ") &&
                result.err.find(c.message) != std::string::npos)
        << result.err;
    EXPECT_EQ(entries(folder.path()), std::vector<std::string>{});
  }
  EXPECT_EQ(entries(empty.path()), std::vector<std::string>{"file"});
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
  const size_t copied = log.find("Copying URL to clipboard: ");
  EXPECT_NE(copied, std::string::npos) << log;
  EXPECT_EQ(log.find("Copying URL to clipboard: ", copied + 1), std::string::npos) << log;
}

class PortalCapture : public ::testing::Test {
 protected:
  // The stand-in portal answering each request with `answer` ("file:PATH" or "refuse:CODE").
  void startPortal(const std::string& answer) {
    fs::remove(logs_.file("portal.out"));
    portal_.emplace(std::vector<std::string>{KAPSHO_STAND_IN_PORTAL, logs_.file("record"), answer},
                    std::map<std::string, std::string>{}, logs_.file("portal.out"),
                    logs_.file("portal.err"));
    ASSERT_EQ(firstLine(logs_.file("portal.out")), "ready")
        << readFile(logs_.file("portal.err")).value_or("");
  }
  TempHome home_;
  PrivateBus bus_;
  ScopedEnv wayland_{"WAYLAND_DISPLAY", "wayland-kapsho-test"};
  ScopedEnv noX11_{"DISPLAY", std::nullopt};
  TempDir folder_, logs_;
  std::optional<ChildProcess> portal_;
};

// The portal's file is moved into place (copied from another file system, encoded again for
// another type), or its refusal, its absence or a file that is no picture reported.
TEST_F(PortalCapture, ThePortalsPictureIsMovedIntoPlaceOrItsRefusalReported) {
  QImage shot(64, 48, QImage::Format_RGB32);
  shot.fill(Qt::green);
  const struct {
    std::vector<std::string> arguments;
    std::string answer, type, written, format, message;
  } cases[] = {
      {{}, "file", "", "Picture 1.png", "png", ""},
      {{}, "elsewhere", "", "Picture 1.png", "png", ""},
      {{"-i"}, "file", "jpg", "Picture 1.jpg", "jpeg", ""},
      {{}, "refuse:2", "", "", "", "the desktop refused the screenshot (portal answer 2)"},
      {{"-i"}, "refuse:1", "", "", "", "the screenshot was cancelled"},
      {{}, "", "", "", "", "no screenshot portal (xdg-desktop-portal) answered"},
      {{}, "junk", "jpg", "", "", "the screenshot portal gave no picture"},
  };
  for (const auto& c : cases) {
    // On tmpfs the portal's file cannot be renamed into the folder: it is copied.
    std::optional<ScopedEnv> tmpfs;
    if (c.answer == "elsewhere") tmpfs.emplace("TMPDIR", "/dev/shm");
    TempDir shots;
    tmpfs.reset();
    TempDir folder;
    fs::remove(logs_.file("record"));
    captureInto(folder.path(), c.type);
    const std::string shotPath = shots.file("Screenshot from today.png");
    ASSERT_TRUE(shot.save(QString::fromStdString(shotPath)));
    const auto shotBytes = readFile(shotPath);
    if (c.answer == "junk") writeFile(shotPath, "no picture");
    portal_.reset();
    if (!c.answer.empty())
      startPortal(c.answer.starts_with("refuse:") ? c.answer : "file:" + shotPath);
    const auto result = capture(c.arguments);
    const std::string interactive = c.arguments.empty() ? "False" : "True";
    EXPECT_EQ(readFile(logs_.file("record")).value_or(""),
              c.answer.empty() ? "" : "interactive=" + interactive + "\n");
    if (c.written.empty()) {
      EXPECT_EQ(result.exitCode, 1);
      EXPECT_NE(result.err.find("kapsho-capture: " + c.message), std::string::npos) << result.err;
      EXPECT_EQ(entries(folder.path()), std::vector<std::string>{});
      continue;
    }
    EXPECT_EQ(result.exitCode, 0) << result.err;
    ASSERT_EQ(entries(folder.path()), std::vector<std::string>{c.written});
    const std::string written = folder.file(c.written);
    EXPECT_EQ(QImageReader(QString::fromStdString(written)).format().toStdString(), c.format);
    EXPECT_TRUE(c.format != "png" || readFile(written) == shotBytes) << "moved, not encoded again";
    EXPECT_EQ(picture(written).size(), shot.size());
    EXPECT_FALSE(fs::exists(shotPath)) << "the portal's file is moved away";
  }
}

TEST_F(PortalCapture, TheClipboardGetsThePictureThroughWlCopy) {
  captureInto(folder_.path());
  QImage shot(64, 48, QImage::Format_RGB32);
  shot.fill(Qt::blue);
  const std::string shotPath = logs_.file("shot.png");
  ASSERT_TRUE(shot.save(QString::fromStdString(shotPath)));
  startPortal("file:" + shotPath);
  RecordingWlClipboard wlClipboard;
  const auto result = capture({"-c"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(wlClipboard.calls(), "--type image/png\n");
  const QImage copied = QImage::fromData(QByteArray::fromStdString(wlClipboard.clipboard()), "png");
  EXPECT_EQ(copied.size(), shot.size());
  EXPECT_EQ(copied.pixelColor(10, 10), QColor(Qt::blue));
  EXPECT_EQ(entries(folder_.path()), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(shotPath));
}

}  // namespace
