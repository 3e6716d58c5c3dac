// kapsho-capture on a virtual display showing a window of known colours: names and pictures,
// the user's choice, the clipboard, captures at the same moment, failures, and the whole road
// through the running agent to the address on the clipboard.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QGuiApplication>
#include <QImageReader>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <filesystem>

#include "tests/integration/capture/CaptureTestSupport.h"
#include "tests/support/Desktop.h"

using namespace testing_support;
using namespace capture_tests;
namespace fs = std::filesystem;

namespace {

// Four coloured quarters at a known place on the black root: red, green above; blue, white below.
const QRect Known(40, 30, 200, 100);

class KnownWindow : public QRasterWindow {
 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const int w = width() / 2, h = height() / 2;
    painter.fillRect(0, 0, w, h, Qt::red);
    painter.fillRect(w, 0, width() - w, h, Qt::green);
    painter.fillRect(0, h, w, height() - h, Qt::blue);
    painter.fillRect(w, h, width() - w, height() - h, Qt::white);
  }
};

// One display with the known window for the whole test program: Qt connects once a process.
class KnownScreen {
 public:
  // Shows the window whole: a window beneath the overlay that just went is not repainted until
  // this process handles its events (no backing store on Xvfb).
  static void show() { instance().moveWindow(Known.topLeft()); }
  // Moves the window and waits until the screen shows it there.
  static void move(QPoint to) { instance().moveWindow(to); }

 private:
  KnownScreen() : platform_("QT_QPA_PLATFORM", "xcb") {
    static int argc = 1;
    static char name[] = "integration_capture";
    static char* argv[] = {name, nullptr};
    application_ = std::make_unique<QGuiApplication>(argc, argv);
    window_ = std::make_unique<KnownWindow>();
    window_->setFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
    window_->setGeometry(Known);
    window_->show();
    moveWindow(Known.topLeft());
  }
  static KnownScreen& instance() {
    static KnownScreen screen;
    return screen;
  }
  void moveWindow(QPoint to) {
    window_->setPosition(to);
    const bool shown = waitUntil([&] {
      QCoreApplication::processEvents();
      const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
      return screen.pixelColor(to + QPoint(5, 5)) == QColor(Qt::red) &&
             screen.pixelColor(to + QPoint(Known.width(), Known.height()) - QPoint(5, 5)) ==
                 QColor(Qt::white);
    });
    if (!shown) throw std::runtime_error("the known window never showed");
  }
  VirtualDisplay display_;
  ScopedEnv platform_;
  std::unique_ptr<QGuiApplication> application_;
  std::unique_ptr<KnownWindow> window_;
};

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
    KnownScreen::show();
    captureInto(folder_.path());
  }
  TempHome home_;
  TempDir folder_;
  ScopedEnv noWayland_{"WAYLAND_DISPLAY", std::nullopt};
};

TEST_F(CaptureTool, PicturesOfTheScreenTakeTheLowestFreeNumber) {
  for (const char* expected : {"Picture 1.png", "Picture 2.png"}) {
    const auto result = capture();
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, folder_.file(expected) + "\n");
  }
  ASSERT_EQ(entries(folder_.path()), (std::vector<std::string>{"Picture 1.png", "Picture 2.png"}));
  for (const char* name : {"Picture 1.png", "Picture 2.png"}) {
    const QImage image = picture(folder_.file(name));
    ASSERT_EQ(image.size(), QSize(320, 240)) << name;
    EXPECT_EQ(image.pixelColor(5, 5), QColor(Qt::black));
    expectKnownColours(image, QPoint(0, 0));
  }
  fs::remove(folder_.file("Picture 1.png"));
  EXPECT_EQ(capture().out, folder_.file("Picture 1.png") + "\n");

  // A file named by the user is replaced whole, in the type its extension names.
  TempDir elsewhere;
  writeFile(elsewhere.file("shot.tiff"), "old");
  ASSERT_EQ(capture({elsewhere.file("shot.tiff")}).exitCode, 0);
  EXPECT_EQ(entries(elsewhere.path()), std::vector<std::string>{"shot.tiff"});
  QImageReader written(QString::fromStdString(elsewhere.file("shot.tiff")));
  EXPECT_EQ(written.format().toStdString(), "tiff");
  EXPECT_EQ(written.size(), QSize(320, 240));
}

TEST_F(CaptureTool, TheTypeAndTheUsersLanguageNameTheFile) {
  TempDir root;
  const std::string french =
      root.path() + "/System/Library/CoreServices/SystemUIServer.app/Contents/Resources/fr.lproj";
  fs::create_directories(french);
  writeFile(french + "/ScreenCapture.strings",
            "\"%@ %@\" = \"%1$@ %2$@\";\n\"Picture\" = \"Capture d\xe2\x80\x99\xc3\xa9"
            "cran\";\n");
  const struct {
    std::string type, language, systemRoot, name, format;
  } cases[] = {
      {"jpg", "en", stagePath("share/kapsho"), "Picture 1.jpg", "jpeg"},
      {"", "fr", root.path(),
       "Capture d\xe2\x80\x99\xc3\xa9"
       "cran 1.png",
       "png"},
  };
  for (const auto& c : cases) {
    TempDir folder;
    captureInto(folder.path(), c.type);
    ScopedEnv language("LANGUAGE", c.language), systemRoot("KAPSHO_SYSTEM_ROOT", c.systemRoot);
    const auto result = capture();
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
  KnownScreen::move(QPoint(0, 0));
  const auto status = tool.wait();
  KnownScreen::show();
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  expectKnownColours(picture(folder_.file("Picture 1.png")), Known.topLeft());
}

bool overlayShown() {
  return runCommand({"xdotool", "search", "--name", "^Kapsho Capture Selection$"}).exitCode == 0;
}

TEST_F(CaptureTool, TheUserDragsClicksOrCancels) {
  const struct {
    std::vector<std::string> actions;
    QSize size;     // invalid: cancelled, nothing written
    QPoint origin;  // of the picture on the screen
  } cases[] = {
      {{"mousemove", "50", "40", "mousedown", "1", "mousemove", "100", "60", "mousemove", "150",
        "90", "mouseup", "1"},
       QSize(100, 50),
       QPoint(50, 40)},
      {{"mousemove", "200", "50", "click", "1"}, Known.size(), Known.topLeft()},
      {{"key", "Escape"}, QSize(), QPoint()},
  };
  for (const auto& c : cases) {
    KnownScreen::show();
    TempDir folder, logs;
    captureInto(folder.path());
    ChildProcess tool({CapturePath, "-i"}, {}, logs.file("out"), logs.file("err"));
    ASSERT_TRUE(waitUntil(overlayShown)) << readFile(logs.file("err")).value_or("");
    std::vector<std::string> xdotool{"xdotool"};
    xdotool.insert(xdotool.end(), c.actions.begin(), c.actions.end());
    ASSERT_EQ(runCommand(xdotool).exitCode, 0);
    const auto status = tool.wait();
    ASSERT_TRUE(status && WIFEXITED(*status));
    if (!c.size.isValid()) {
      EXPECT_EQ(WEXITSTATUS(*status), 1);
      EXPECT_EQ(entries(folder.path()), std::vector<std::string>{});
      continue;
    }
    ASSERT_EQ(WEXITSTATUS(*status), 0) << readFile(logs.file("err")).value_or("");
    const QImage image = picture(folder.file("Picture 1.png"));
    EXPECT_EQ(image.size(), c.size);
    EXPECT_EQ(image.pixelColor(0, 0), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(c.size.width() - 1, c.size.height() - 1), QColor(Qt::white));
  }
}

// The processes of kapsho-capture started under this test's HOME.
int capturesRunning() {
  int count = 0;
  const std::string home = "HOME=" + std::string(std::getenv("HOME"));
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    std::error_code ignored;
    if (fs::read_symlink(entry.path() / "exe", ignored) != fs::path(CapturePath)) continue;
    const std::string environment = readFile(entry.path() / "environ").value_or("");
    if (environment.find(std::string("\0", 1) + home + '\0') != std::string::npos ||
        environment.starts_with(home + '\0'))
      ++count;
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

TEST_F(CaptureTool, TwentyCapturesAtOnceTakeTwentyFreeNamesAndReplaceNothing) {
  writeFile(folder_.file("Picture 3.png"), "kept");
  std::vector<std::unique_ptr<ChildProcess>> tools;
  for (int i = 0; i < 20; ++i)
    tools.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{CapturePath}));
  for (auto& tool : tools) {
    const auto status = tool->wait(std::chrono::seconds(60));
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  }
  std::vector<std::string> expected;
  for (int n = 1; n <= 21; ++n) expected.push_back("Picture " + std::to_string(n) + ".png");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(entries(folder_.path()), expected);
  EXPECT_EQ(readFile(folder_.file("Picture 3.png")), "kept");
}

TEST_F(CaptureTool, FailuresSayWhyWithStatusOneAndLeaveNothing) {
  TempDir empty;
  writeFile(empty.file("file"), "");
  const struct {
    std::vector<std::string> arguments;
    std::string location, type, variable, value, message;
  } cases[] = {
      {{"-T", "soon"},
       "",
       "",
       "",
       "",
       "-T takes a number of seconds from 0 to 86400, not \"soon\""},
      {{"-x"}, "", "", "", "", "unknown option \"-x\""},
      {{"a.png", "b.png"}, "", "", "", "", "only one FILE may be given"},
      {{"-c", "a.png"}, "", "", "", "", "give no FILE with it"},
      {{},
       empty.file("missing"),
       "",
       "",
       "",
       "cannot write into \"" + empty.file("missing") + "\": No such file or directory"},
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

// The pictures the upload server stored.
std::vector<std::string> pictures(const std::string& folder) {
  std::vector<std::string> names = entries(folder);
  std::erase_if(names, [](const std::string& name) { return !name.ends_with(".png"); });
  return names;
}

TEST_F(CaptureTool, ACaptureIsUploadedWholeOnceAndItsAddressCopied) {
  PrivateBus bus;
  TempDir data, logs;
  const int port = freeLocalPort();
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  ChildProcess server({stagePath("bin/kapsho-upload-server"), "--bind", "127.0.0.1", "--port",
                       std::to_string(port), "--data-dir", data.path(), "--base-url", base});
  defaultsWrite("com.kapsho.KapshoDaemon", "Upload Host", "127.0.0.1:" + std::to_string(port));
  ChildProcess agent({stagePath("lib/kapsho/KapshoPref.prefPane/Contents/Resources/"
                                "KapshoDaemon.app/Contents/MacOS/KapshoDaemon")},
                     {{"LANGUAGE", "en"}}, logs.file("agent.out"), logs.file("agent.err"));
  ASSERT_TRUE(waitUntil([&] { return agentWatching(agent.pid()); }));

  const auto result = capture();
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const auto captured = readFile(folder_.file("Picture 1.png"));
  ASSERT_TRUE(captured);
  std::vector<std::string> stored;
  ASSERT_TRUE(waitUntil([&] {
    stored = pictures(data.path());
    return stored.size() == 1 && readFile(data.file(stored.front())) == captured;
  })) << readFile(logs.file("agent.err")).value_or("");
  const std::string address = base + "/i/" + stored.front();
  EXPECT_TRUE(waitUntil([&] {
    return runCommand({"xclip", "-o", "-selection", "clipboard"}).out == address;
  }));
  const std::string log = readFile(logs.file("agent.err")).value_or("");
  const size_t copied = log.find("Copying URL to clipboard: ");
  EXPECT_NE(copied, std::string::npos) << log;
  EXPECT_EQ(log.find("Copying URL to clipboard: ", copied + 1), std::string::npos) << log;
  EXPECT_EQ(pictures(data.path()).size(), 1u);
}

}  // namespace
