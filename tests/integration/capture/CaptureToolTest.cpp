// kapsho-capture as a user starts it: on a virtual display showing a window of known colours, and
// on a Wayland session through a stand-in portal on a private bus.
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
#include <stdexcept>

#include "platform/foundation/UserDefaults.h"
#include "tests/support/Desktop.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string CapturePath = stagePath("bin/kapsho-capture");

// The capture folder for the next capture, and one more capture setting unless its value is "".
// Throws when it cannot, which stops the test.
void captureInto(const std::string& folder, const std::string& key = "",
                 const std::string& value = "") {
  platform::Dictionary settings{{"location", platform::Value(folder)}};
  if (!value.empty()) settings[key] = platform::Value(value);
  if (!platform::NSUserDefaults::setPersistentDomain(settings, "com.apple.screencapture"))
    throw std::runtime_error("cannot store the capture settings");
}

// Runs a capture in the folder (a FILE given by name lands there) and says what it did, in one
// line: each entry it left in the folder (hidden ones too) with the picture's format and size,
// then its status, and after a failure its errors without the program's name.
std::string capture(std::vector<std::string> arguments, const std::string& folder) {
  arguments.insert(arguments.begin(), {"env", "-C", folder, CapturePath});
  const CommandResult result = runCommand(arguments);
  std::string text;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const QImageReader reader(QString::fromStdString(entry.path()));
    text += entry.path().filename().string() + " " + reader.format().toStdString() + " " +
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

// On a desktop of the test's own (display, session bus and home), once the screen shows the known
// window whole: a delayed capture waits out its delay; pictures take the lowest free number (twenty
// captures at once take twenty free names and replace nothing); with -c the clipboard holds the
// picture of the screen until another program takes it. Then what the user sets or does makes the
// picture: the language names it (the French table is UTF-16 little-endian, the Japanese one
// big-endian with the number first), FILE is written in the type its extension names, a drag takes
// its rectangle and a click the window under the pointer; Escape cancels, and what cannot be done
// is said with status 1.
TEST(CaptureTool, PicturesTakeTheLowestFreeNumberAndTheNamesPlacesAndSizesTheUserAsksOrSayWhyNot) {
  TempHome home;
  PrivateBus bus;
  ScopedEnv noWayland("WAYLAND_DISPLAY", std::nullopt), platform("QT_QPA_PLATFORM", "xcb");
  VirtualDisplay display;
  int argc = 0;
  QGuiApplication application(argc, nullptr);
  KnownWindow window;
  window.setFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
  window.setGeometry(Known);
  window.show();
  ASSERT_TRUE(waitUntil([&] {
    QCoreApplication::processEvents();
    return redToWhite(QGuiApplication::primaryScreen()->grabWindow(0).toImage().copy(Known));
  })) << "the known window never showed";
  TempDir folder;
  captureInto(folder.path());
  const auto start = std::chrono::steady_clock::now();
  runCommand({CapturePath, "-T", "1"});
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

  runCommand({"sh", "-c", "for i in $(seq 20); do \"$0\" & done; wait", CapturePath},
             std::chrono::seconds(60));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 21);
  fs::remove(folder.file("Picture 1.png"));
  EXPECT_EQ(runCommand({CapturePath}).out, folder.file("Picture 1.png") + "\n");
  EXPECT_TRUE(redToWhite(QImage(QString::fromStdString(folder.file("Picture 1.png"))).copy(Known)))
      << "the file holds what the screen shows";

  prctl(PR_SET_CHILD_SUBREAPER, 1);  // the clipboard's owner outlives the capture: ours to reap
  ASSERT_EQ(runCommand({CapturePath, "-c"}).exitCode, 0);
  const auto pasted = runCommand({"xclip", "-selection", "clipboard", "-t", "image/png", "-o"});
  EXPECT_TRUE(redToWhite(QImage::fromData(QByteArray::fromStdString(pasted.out)).copy(Known)));

  // Another capture takes the clipboard over; its owner goes with the display.
  ASSERT_EQ(runCommand({CapturePath, "-c"}).exitCode, 0);
  EXPECT_TRUE(waitUntil([] { return waitpid(-1, nullptr, WNOHANG) > 0; })) << "the owner quits";

  // What is set (the language, the capture folder, or "user" and the user's actions on the overlay
  // of -i), the arguments, and what the capture did.
  using Strings = std::vector<std::string>;
  const std::tuple<std::string, std::string, Strings, std::string> cases[] = {
      {"LANGUAGE", "fr", {}, "Image 1.png png 320x240 | status 0"},
      {"LANGUAGE", "de", {}, "Bild 1.png png 320x240 | status 0"},
      {"LANGUAGE", "ja", {}, "1 ピクチャ.png png 320x240 | status 0"},
      {"", "", {"shot.tiff"}, "shot.tiff tiff 320x240 | status 0"},
      {"user", "mousemove 1 1 mousedown 1 mousemove 9 9 mouseup 1", {}, "Picture 1.png png 8x8"},
      {"user", "mousemove 200 50 click 1", {}, "Picture 1.png png 200x100 | status 0"},
      {"user", "key Escape", {}, "status 1: cancelled: nothing captured"},
      {"", "", {"a.png", "b.png"}, "status 1: only one FILE may be given"},
      {"", "", {"-T", "86401"}, "status 1: -T takes a number of seconds from 0 to 86400"},
      {"", "", {"-c", "a.png"}, "status 1: -c puts the image on the clipboard: give no FILE"},
      {"location", "/proc/version", {}, "status 1: cannot write into \"/proc/version\": Not a dir"},
  };
  for (const auto& [name, value, arguments, expected] : cases) {
    SCOPED_TRACE(expected);
    TempDir folder;
    captureInto(name == "location" ? value : folder.path());
    const ScopedEnv language("LANGUAGE", name == "LANGUAGE" ? value : "en");
    std::optional<ChildProcess> user;
    if (name == "user")
      user.emplace(std::vector<std::string>{
          "sh", "-c",
          "xdotool search --sync --name '^Kapsho Capture Selection$' && xdotool " + value});
    EXPECT_THAT(capture(user ? Strings{"-i"} : arguments, folder.path()),
                testing::StartsWith(expected));
  }

  // A server that shares no memory sends the screen through its socket.
  const VirtualDisplay socketOnly("320x240x24", {"-extension", "MIT-SHM"});
  ASSERT_EQ(runCommand({"xsetroot", "-solid", "#ff0000"}).exitCode, 0);
  const CommandResult sent = runCommand({CapturePath, folder.file("sent.png")});
  ASSERT_EQ(sent.exitCode, 0) << sent.err;
  EXPECT_EQ(QImage(QString::fromStdString(folder.file("sent.png"))).pixelColor(5, 5),
            QColor(Qt::red))
      << "the screen sent through the socket is not the file's picture";
}

// The stand-in portal answers each Screenshot call with the file it is given (refused with CODE
// while that holds "refuse:CODE") and prints "interactive" for each call that asks to be.
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
  // The arguments, the capture type, the type of the portal's file or what it holds, and what the
  // capture did.
  const std::tuple<std::vector<std::string>, std::string, std::string, std::string> cases[] = {
      {{}, "", "png, folder on tmpfs", "Picture 1.png png 64x48 | status 0"},
      {{"-i"}, "jpg", "jpg", "Picture 1.jpg jpeg 64x48 | status 0"},
      {{}, "jpg", "png", "Picture 1.jpg jpeg 64x48 | status 0"},
      {{"-c"}, "", "png", "status 0"},
      {{}, "", "refuse:2", "status 1: the desktop refused the screenshot (portal answer 2)"},
      {{}, "", "junk", "status 1: the screenshot portal gave no picture"},
  };
  for (const auto& [arguments, type, answer, expected] : cases) {
    SCOPED_TRACE("the portal's answer: " + answer);
    const ScopedEnv tmpdir("TMPDIR", answer.ends_with("tmpfs") ? "/dev/shm" : "/tmp");
    TempDir folder;
    captureInto(folder.path(), "type", type);
    // The portal's file: a picture of the answer's type, else the answer itself. At a quality the
    // capture does not use: a picture encoded again has other bytes.
    if (!shot.save(QString::fromStdString(shotPath), answer.substr(0, 3).c_str(), 100))
      writeFile(shotPath, answer);
    const auto shotBytes = readFile(shotPath);
    EXPECT_THAT(capture(arguments, folder.path()), testing::StartsWith(expected));
    EXPECT_TRUE(!expected.ends_with("status 0") || !fs::exists(shotPath)) << "moved away";
    const std::string moved = folder.file("Picture 1." + answer.substr(0, 3));
    EXPECT_TRUE(!fs::exists(moved) || readFile(moved) == shotBytes) << "not encoded again";
  }
  EXPECT_EQ(readFile(logs.file("portal.out")), "ready\ninteractive\n");
  EXPECT_EQ(wlClipboard.calls(), "--type image/png\n");
}

}  // namespace
