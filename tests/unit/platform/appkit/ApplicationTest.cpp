// The application object: hand-offs to its main thread, its timers and run loop, the platform it
// picks, and the clipboard through it or wl-copy.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <memory>

#include "platform/appkit/Application.h"
#include "platform/appkit/Pasteboard.h"
#include "platform/foundation/Thread.h"
#include "platform/foundation/Timer.h"
#include "tests/support/Desktop.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;
using namespace platform_tests;
using namespace testing_support;

namespace {

// Queued work runs on the main thread in the order sent; a waiting hand-off returns after its
// work ran, and on the main thread runs it at once. One-shot timers fire once unless invalidated,
// even unheld or released in their action; the run loop returns only through terminate.
TEST(Application, HandOffsRunOnTheMainThreadInOrderAndTimersFireOnceUntilTerminate) {
  offscreenApplication();
  int next = 0;
  std::atomic<bool> inOrder{true}, ran{false}, sawItAfterReturn{false}, finished{false};
  NSThread::detachNewThreadSelector([&] {
    for (int i = 0; i < 100; ++i)
      performSelectorOnMainThread([&, i] { inOrder = inOrder && isMainThread() && next++ == i; },
                                  false);
    performSelectorOnMainThread([&] { ran = true; }, true);
    sawItAfterReturn = ran.load();
    finished = true;
  });
  ASSERT_TRUE(spinUntil([&] { return finished.load(); }));
  EXPECT_TRUE(inOrder && next == 100 && sawItAfterReturn);
  bool direct = false;
  performSelectorOnMainThread([&] { direct = true; }, true);
  EXPECT_TRUE(direct);

  std::string fired;
  std::shared_ptr<NSTimer> timer = NSTimer::scheduledTimerWithTimeInterval(0.01, [&](NSTimer&) {
    fired += "held ";
    timer.reset();  // the owner lets go of the timer inside its action
  });
  NSTimer::scheduledTimerWithTimeInterval(0.01, [&](NSTimer&) {
    fired += "invalidated ";
  })->invalidate();
  NSTimer::scheduledTimerWithTimeInterval(0.0, [&](NSTimer&) { fired += "unheld "; });
  NSTimer::scheduledTimerWithTimeInterval(
      0.05, [&](NSTimer&) { NSApplication::sharedApplication().terminate(nullptr); });
  NSApplication::sharedApplication().run();
  EXPECT_EQ(fired, "unheld held ");
}

// The application object picks its platform once per process, so the tests that need a real
// display (named OnDisplay.*) run in a child of this test, on an Xvfb of its own.
TEST(VirtualDisplay, TrayIcon) {
  VirtualDisplay display;
  TempDir dir;
  ChildProcess child({"/proc/self/exe", "--gtest_filter=OnDisplay.*"},
                     // A Wayland session with XWayland: the application must choose X11.
                     {{"WAYLAND_DISPLAY", "wayland-kapsho-absent"},
                      {"XDG_SESSION_TYPE", "wayland"},
                      {"QT_QPA_PLATFORM", ""},
                      {"KAPSHO_TEST_ON_DISPLAY", "1"}},
                     dir.file("out"));
  const auto status = child.wait(std::chrono::seconds(60));
  const std::string out = readFile(dir.file("out")).value_or("");
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << out;
  EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}

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
    EXPECT_EQ(pasteboard.stringForType(NSStringPboardType), kAddress);
  }
  TempDir nothing;
  ScopedEnv path("PATH", nothing.path());
  StderrCapture log;
  pasteboard.declareTypes({NSStringPboardType}, nullptr);
  EXPECT_FALSE(pasteboard.setString(kAddress, NSStringPboardType));
  const std::string text = log.text();
  EXPECT_TRUE(text.ends_with("] No clipboard on this Wayland session without X11: wl-copy "
                             "(wl-clipboard) is missing\n") &&
              text.find('\n') == text.size() - 1)
      << text;
}

}  // namespace
