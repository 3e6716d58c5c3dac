#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/appkit/Pasteboard.h"
#include "tests/support/TestSupport.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;
using namespace platform_tests;
using namespace testing_support;

namespace {

const std::string kAddress = "http://127.0.0.1:8451/img/Bild \xc3\xbc.png";

TEST(Pasteboard, DeclaringEmptiesAndTheTextReadsBack) {
  offscreenApplication();
  auto& pasteboard = NSPasteboard::generalPasteboard();
  ASSERT_TRUE(pasteboard.setString("old", NSStringPboardType));
  pasteboard.declareTypes({NSStringPboardType}, nullptr);
  EXPECT_FALSE(pasteboard.stringForType(NSStringPboardType));
  ASSERT_TRUE(pasteboard.setString(kAddress, NSStringPboardType));
  EXPECT_FALSE(pasteboard.setString("x", "NSPDFPboardType"));
  EXPECT_EQ(pasteboard.stringForType(NSStringPboardType), kAddress);
}

// Runs only in the child that the next test starts on a virtual display.
TEST(PasteboardOnDisplay, AnotherProgramReadsTheText) {
  if (!std::getenv("KAPSHO_TEST_PASTEBOARD_CHILD")) GTEST_SKIP() << "started by the next test";
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

TEST(Pasteboard, TheTextReachesOtherProgramsOnADisplay) {
  TempDir dir;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  // Xvfb picks a free display and writes its number to the descriptor.
  ChildProcess xvfb({"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp"}, {}, "",
                    dir.file("xvfb.log"));
  close(fds[1]);
  pollfd ready{fds[0], POLLIN, 0};
  char number[16] = {};
  const bool started = poll(&ready, 1, 20000) == 1 && read(fds[0], number, 15) > 0;
  close(fds[0]);
  ASSERT_TRUE(started) << readFile(dir.file("xvfb.log")).value_or("");

  ChildProcess child({"/proc/self/exe", "--gtest_filter=PasteboardOnDisplay.*"},
                     {{"DISPLAY", ":" + std::string(number, std::strcspn(number, "\n"))},
                      {"QT_QPA_PLATFORM", "xcb"},
                      {"KAPSHO_TEST_PASTEBOARD_CHILD", "1"}},
                     dir.file("out"));
  const auto status = child.wait(std::chrono::seconds(60));
  const std::string out = readFile(dir.file("out")).value_or("");
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << out;
  EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}

}  // namespace
