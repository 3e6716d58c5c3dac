#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/appkit/Pasteboard.h"
#include "tests/support/Desktop.h"
#include "tests/support/TestSupport.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;
using namespace platform_tests;
using namespace testing_support;

namespace {

const std::string kAddress = "http://127.0.0.1:8451/img/Bild \xc3\xbc.png";

// Through Qt; on Wayland without X11 through wl-copy, or one log line says it cannot.
TEST(Pasteboard, DeclaringEmptiesAndTheTextReadsBackThroughQtOrWlCopy) {
  offscreenApplication();
  auto& pasteboard = NSPasteboard::generalPasteboard();
  ASSERT_TRUE(pasteboard.setString("old", NSStringPboardType));
  pasteboard.declareTypes({NSStringPboardType}, nullptr);
  EXPECT_FALSE(pasteboard.stringForType(NSStringPboardType));
  ASSERT_TRUE(pasteboard.setString(kAddress, NSStringPboardType));
  EXPECT_FALSE(pasteboard.setString("x", "NSPDFPboardType"));
  EXPECT_EQ(pasteboard.stringForType(NSStringPboardType), kAddress);

  ScopedEnv wayland("WAYLAND_DISPLAY", "wayland-kapsho-test");
  {
    RecordingWlClipboard wlClipboard;
    pasteboard.declareTypes({NSStringPboardType}, nullptr);
    ASSERT_TRUE(pasteboard.setString(kAddress, NSStringPboardType));
    EXPECT_EQ(wlClipboard.calls(), "--clear\n--type text/plain;charset=utf-8\n");
    EXPECT_EQ(wlClipboard.clipboard(), kAddress);
    EXPECT_EQ(pasteboard.stringForType(NSStringPboardType), kAddress);
  }
  TempDir nothing;
  ScopedEnv path("PATH", nothing.path());
  ::testing::internal::CaptureStderr();
  pasteboard.declareTypes({NSStringPboardType}, nullptr);
  EXPECT_FALSE(pasteboard.setString(kAddress, NSStringPboardType));
  const std::string log = ::testing::internal::GetCapturedStderr();
  const std::string line =
      "No clipboard on this Wayland session without X11: wl-copy (wl-clipboard) is missing\n";
  EXPECT_TRUE(log.ends_with(line) && log.find('\n') == log.size() - 1) << log;
}

// Runs only in the child that VirtualDisplay.ClipboardAndTrayIcon starts on a display.
TEST(OnDisplay, AnotherProgramReadsTheClipboard) {
  ASSERT_FALSE(NSApplication::sharedApplication().isOffscreen());
  NSPasteboard::generalPasteboard().declareTypes({NSStringPboardType}, nullptr);
  NSPasteboard::generalPasteboard().setString(kAddress, NSStringPboardType);
  // This process serves the text: its events keep flowing while xclip asks.
  std::atomic<bool> done{false};
  CommandResult result;
  std::thread reader([&] {
    result = runCommand({"xclip", "-o", "-selection", "clipboard", "-t", "UTF8_STRING"});
    done = true;
  });
  const bool finished = spinUntil([&] { return done.load(); }, 40000);
  reader.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(result.out, kAddress) << result.err;
}

}  // namespace
