// The platform the application object picks, and the clipboard through it or wl-copy.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QGuiApplication>

#include "platform/appkit/Pasteboard.h"
#include "tests/support/Desktop.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;
using namespace testing_support;

namespace {

// The platform is picked once per process, so the test on a display (OnDisplay.*) runs in a child
// of this one, on an Xvfb of its own.
TEST(VirtualDisplay, AWaylandSessionWithXWaylandGetsX11) {
  VirtualDisplay display;
  TempDir dir;
  ChildProcess child({"/proc/self/exe", "--gtest_filter=OnDisplay.*"},
                     {{"WAYLAND_DISPLAY", "wayland-kapsho-absent"},
                      {"XDG_SESSION_TYPE", "wayland"},
                      {"QT_QPA_PLATFORM", ""},
                      {"KAPSHO_TEST_ON_DISPLAY", "1"}},
                     dir.file("out"));
  const auto status = child.wait(std::chrono::seconds(60));
  const std::string out = readFile(dir.file("out")).value_or("");
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0 &&
              out.find("[  PASSED  ] 1 test") != std::string::npos)
      << out;
}

// Runs only in the child of the test above: a Wayland client could not set the clipboard without
// focus, and a failed Wayland connection would leave it offscreen.
TEST(OnDisplay, TheApplicationIsAnX11Client) {
  EXPECT_FALSE(NSApplication::sharedApplication().isOffscreen());
  EXPECT_EQ(QGuiApplication::platformName(), "xcb");
}

// Through Qt, declaring empties the clipboard; on Wayland without X11 through wl-copy, or one log
// line says it cannot.
TEST(Pasteboard, DeclaringEmptiesAndTheTextReadsBackThroughQtOrWlCopy) {
  platform_tests::offscreenApplication();
  const std::string address = "http://127.0.0.1:8451/img/Bild \xc3\xbc.png";
  auto& pasteboard = NSPasteboard::generalPasteboard();
  ASSERT_TRUE(pasteboard.setString("old", NSStringPboardType));
  pasteboard.declareTypes({NSStringPboardType}, nullptr);
  EXPECT_FALSE(pasteboard.stringForType(NSStringPboardType));
  ASSERT_TRUE(pasteboard.setString(address, NSStringPboardType));
  EXPECT_EQ(pasteboard.stringForType(NSStringPboardType), address);

  ScopedEnv wayland("WAYLAND_DISPLAY", "wayland-kapsho-test");
  {
    RecordingWlClipboard wlClipboard;
    pasteboard.declareTypes({NSStringPboardType}, nullptr);
    ASSERT_TRUE(pasteboard.setString(address, NSStringPboardType));
    EXPECT_EQ(wlClipboard.calls(), "--clear\n--type text/plain;charset=utf-8\n");
    EXPECT_EQ(pasteboard.stringForType(NSStringPboardType), address);
  }
  TempDir nothing;
  ScopedEnv path("PATH", nothing.path());
  StderrCapture log;
  pasteboard.declareTypes({NSStringPboardType}, nullptr);
  EXPECT_FALSE(pasteboard.setString(address, NSStringPboardType));
  EXPECT_TRUE(log.text().ends_with("] No clipboard on this Wayland session without X11: wl-copy "
                                   "(wl-clipboard) is missing\n") &&
              log.text().find('\n') == log.text().size() - 1)
      << log.text();
}

}  // namespace
