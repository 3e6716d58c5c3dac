// kapsho-capture on a Wayland session: the screenshot comes from a stand-in for the desktop's
// portal on a private bus (no desktop portal runs here), the clipboard from a stand-in wl-copy.
#include <gtest/gtest.h>

#include <QImage>
#include <QImageReader>
#include <filesystem>

#include "tests/integration/capture/CaptureTestSupport.h"
#include "tests/support/Desktop.h"

using namespace testing_support;
using namespace capture_tests;

namespace {

class PortalCapture : public ::testing::Test {
 protected:
  TempHome home_;
  PrivateBus bus_;
  ScopedEnv wayland_{"WAYLAND_DISPLAY", "wayland-kapsho-test"};
  ScopedEnv noX11_{"DISPLAY", std::nullopt};
};

TEST_F(PortalCapture, ThePortalsPictureIsMovedIntoPlaceOrItsRefusalReported) {
  QImage shot(64, 48, QImage::Format_RGB32);
  shot.fill(Qt::green);
  const struct {
    std::vector<std::string> arguments;
    // answer: "file", "elsewhere" (a file on another file system), "junk" (no picture),
    // "refuse:N", "" (no portal)
    std::string answer, type;
    std::vector<std::string> written;
    std::string format, recorded, message;
  } cases[] = {
      {{}, "file", "", {"Picture 1.png"}, "png", "interactive=False\n", ""},
      {{}, "elsewhere", "", {"Picture 1.png"}, "png", "interactive=False\n", ""},
      {{"-i"}, "file", "jpg", {"Picture 1.jpg"}, "jpeg", "interactive=True\n", ""},
      {{},
       "refuse:2",
       "",
       {},
       "",
       "interactive=False\n",
       "the desktop refused the screenshot (portal answer 2)"},
      {{"-i"}, "refuse:1", "", {}, "", "interactive=True\n", "the screenshot was cancelled"},
      {{}, "", "", {}, "", "", "no screenshot portal (xdg-desktop-portal) answered"},
      {{}, "junk", "jpg", {}, "", "interactive=False\n", "the screenshot portal gave no picture"},
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
    std::optional<ChildProcess> portal;
    if (!c.answer.empty()) {
      if (c.answer == "junk") writeFile(shotPath, "no picture");
      const bool file = c.answer != "" && !c.answer.starts_with("refuse:");
      const std::string answer = file ? "file:" + shotPath : c.answer;
      portal.emplace(std::vector<std::string>{KAPSHO_STAND_IN_PORTAL, logs.file("record"), answer},
                     std::map<std::string, std::string>{}, logs.file("portal.out"),
                     logs.file("portal.err"));
      ASSERT_EQ(firstLine(logs.file("portal.out")), "ready")
          << readFile(logs.file("portal.err")).value_or("");
    }
    const auto result = capture(c.arguments);
    EXPECT_EQ(readFile(logs.file("record")).value_or(""), c.recorded);
    ASSERT_EQ(entries(folder.path()), c.written) << result.err;
    if (c.written.empty()) {
      EXPECT_EQ(result.exitCode, 1);
      EXPECT_NE(result.err.find("kapsho-capture: " + c.message), std::string::npos) << result.err;
      continue;
    }
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const std::string written = folder.file(c.written.front());
    EXPECT_EQ(QImageReader(QString::fromStdString(written)).format().toStdString(), c.format);
    if (c.format == "png") {
      EXPECT_EQ(readFile(written), shotBytes) << "moved, not encoded again";
    }
    EXPECT_EQ(QImage(QString::fromStdString(written)).size(), shot.size());
    EXPECT_FALSE(std::filesystem::exists(shotPath)) << "the portal's file is moved away";
  }
}

TEST_F(PortalCapture, TheClipboardGetsThePictureThroughWlCopy) {
  TempDir folder, shots, logs;
  captureInto(folder.path());
  QImage shot(64, 48, QImage::Format_RGB32);
  shot.fill(Qt::blue);
  const std::string shotPath = shots.file("shot.png");
  ASSERT_TRUE(shot.save(QString::fromStdString(shotPath)));
  ChildProcess portal({KAPSHO_STAND_IN_PORTAL, logs.file("record"), "file:" + shotPath}, {},
                      logs.file("portal.out"), logs.file("portal.err"));
  ASSERT_EQ(firstLine(logs.file("portal.out")), "ready");
  RecordingWlClipboard wlClipboard;
  const auto result = capture({"-c"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(wlClipboard.calls(), "--type image/png\n");
  const QImage copied = QImage::fromData(QByteArray::fromStdString(wlClipboard.clipboard()), "png");
  EXPECT_EQ(copied.size(), shot.size());
  EXPECT_EQ(copied.pixelColor(10, 10), QColor(Qt::blue));
  EXPECT_EQ(entries(folder.path()), std::vector<std::string>{});
  EXPECT_FALSE(std::filesystem::exists(shotPath));
}

}  // namespace
