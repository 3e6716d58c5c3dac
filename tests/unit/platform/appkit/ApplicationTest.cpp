// The application object: hand-offs to its main thread, the platform it picks, the clipboard
// through it or wl-copy, and the programs it starts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QGuiApplication>
#include <atomic>
#include <csignal>
#include <filesystem>

#include "platform/appkit/Pasteboard.h"
#include "platform/appkit/Workspace.h"
#include "platform/bsd/kqueue.h"
#include "platform/foundation/Thread.h"
#include "tests/support/Desktop.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;
using namespace testing_support;

namespace {

// Work handed off from another thread runs on the main thread in the order sent, and a waiting
// hand-off returns after its work ran; on the main thread it runs at once. Each step appends its
// digit to the record, or spoils it off the main thread.
TEST(Application, HandOffsRunOnTheMainThreadInOrderAndWaitingOnesReturnAfterTheWork) {
  platform_tests::offscreenApplication();
  std::atomic<int> record = 0, seen = -1;
  const auto step = [&](int digit) { record = isMainThread() ? record * 10 + digit : -100; };
  NSThread::detachNewThreadSelector([&] {
    performSelectorOnMainThread([&] { step(1); }, false);
    performSelectorOnMainThread([&] { step(2); }, true);
    seen = record.load();
  });
  ASSERT_TRUE(platform_tests::spinUntil([&] { return seen != -1; }));
  performSelectorOnMainThread([&] { step(3); }, true);
  EXPECT_EQ(std::pair(seen.load(), record.load()), std::pair(12, 123));
}

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
  const bool passed = child.wait(std::chrono::seconds(60)) == 0;
  const std::string out = readFile(dir.file("out")).value_or("");
  EXPECT_TRUE(passed && out.find("[  PASSED  ] 1 test") != std::string::npos) << out;
}

// Runs only in the child of the test above: a Wayland client could not set the clipboard without
// focus, and a failed Wayland connection would leave it offscreen.
TEST(OnDisplay, TheApplicationIsAnX11Client) {
  EXPECT_FALSE(NSApplication::sharedApplication().isOffscreen());
  EXPECT_EQ(QGuiApplication::platformName(), "xcb");
}

// Through Qt, declaring empties the clipboard; on Wayland without X11 through wl-copy.
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
  RecordingWlClipboard wlClipboard;
  pasteboard.declareTypes({NSStringPboardType}, nullptr);
  ASSERT_TRUE(pasteboard.setString(address, NSStringPboardType));
  EXPECT_EQ(wlClipboard.calls(), "--clear\n--type text/plain;charset=utf-8\n");
  EXPECT_EQ(pasteboard.stringForType(NSStringPboardType), address);
}

// What the agent does to open an address and a pane to start the agent: the program runs by the
// time the call returns, in a session of its own, without the caller's blocked or ignored
// hang-up signal, its descriptors or its standard streams.
TEST(Workspace, URLsAndApplicationsStartDetachedWithCleanSignalsAndAreFoundAtOnce) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  TempDir dir;
  // No desktop runs here to take a URL: a stand-in xdg-open records it.
  writeFile(dir.file("xdg-open"), "#!/bin/sh\necho \"$1\" > \"${0%/*}/url\"\n");
  chmod(dir.file("xdg-open").c_str(), 0755);
  ScopedEnv path("PATH", dir.path() + ":/usr/bin:/bin");
  const std::string url = "http://127.0.0.1:8451/img/a%20b.png?x=1&y=2";
  const int inherited = open(dir.file("ours").c_str(), O_CREAT | O_WRONLY, 0600);
  ignore_and_block_signal(SIGHUP);  // as the agent does; each test runs in a process of its own
  const bool opened = NSWorkspace::sharedWorkspace().openURLs(
      {NSURL::fileURLWithPath(EVENT_TEST_APP), *NSURL::URLWithString(url)}, std::nullopt,
      NSWorkspaceLaunchWithoutActivation, nullptr, nullptr);
  const pid_t app = processOfBundle("com.kapsho.tests.EventTestApp");
  close(inherited);
  ASSERT_TRUE(opened && app > 0) << "the walk right after the call finds it";
  EXPECT_TRUE(waitUntil([&] { return readFile(dir.file("url")) == url + "\n"; }));

  const std::string proc = "/proc/" + std::to_string(app);
  EXPECT_NE(
      readFile(proc + "/status")->find("\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"),
      std::string::npos);
  EXPECT_NE(getsid(app), getsid(0));
  std::vector<std::string> descriptors;
  for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd"))
    descriptors.push_back(std::filesystem::read_symlink(fd.path()).string());
  EXPECT_EQ(std::count(descriptors.begin(), descriptors.end(), dir.file("ours")), 0);
  descriptors.resize(3);
  EXPECT_EQ(descriptors, std::vector<std::string>(3, "/dev/null"));
  kill(app, SIGTERM);
  EXPECT_TRUE(waitUntil([&] { return waitpid(app, nullptr, WNOHANG) == app; }));
}

}  // namespace
