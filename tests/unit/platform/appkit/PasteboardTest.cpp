#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "platform/appkit/Application.h"
#include "platform/appkit/Pasteboard.h"
#include "tests/support/TestSupport.h"

using namespace platform;
using namespace testing_support;

namespace {

bool spinUntil(const std::function<bool()>& condition, int deadlineMs = 10000) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > deadlineMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

const std::string kAddress = "http://127.0.0.1:8451/img/Bild \xc3\xbc.png";

TEST(Pasteboard, DeclaringEmptiesAndTheTextReadsBack) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  auto& pasteboard = NSPasteboard::generalPasteboard();
  pasteboard.declareTypes({NSStringPboardType}, nullptr);
  ASSERT_TRUE(pasteboard.setString("first", NSStringPboardType));
  const long before = pasteboard.declareTypes({NSStringPboardType}, nullptr);
  EXPECT_FALSE(pasteboard.stringForType(NSStringPboardType));
  EXPECT_GT(pasteboard.declareTypes({NSStringPboardType}, nullptr), before);
  ASSERT_TRUE(pasteboard.setString(kAddress, NSStringPboardType));
  EXPECT_EQ(pasteboard.stringForType(NSStringPboardType), kAddress);
  EXPECT_FALSE(pasteboard.setString("x", "NSPDFPboardType"));
  EXPECT_FALSE(pasteboard.stringForType("NSPDFPboardType"));
  EXPECT_EQ(pasteboard.stringForType(NSStringPboardType), kAddress);
}

// Run only inside the child that the next test starts on a virtual display.
TEST(PasteboardOnDisplay, AnotherProgramReadsTheText) {
  if (!std::getenv("KAPSHO_TEST_PASTEBOARD_DISPLAY")) GTEST_SKIP() << "started by the test below";
  ASSERT_FALSE(NSApplication::sharedApplication().isOffscreen());
  auto& pasteboard = NSPasteboard::generalPasteboard();
  pasteboard.declareTypes({NSStringPboardType}, nullptr);
  ASSERT_TRUE(pasteboard.setString(kAddress, NSStringPboardType));
  // The text is served by this process: keep its events flowing while xclip asks.
  std::atomic<bool> done{false};
  CommandResult result;
  std::thread reader([&] {
    result = runCommand({"xclip", "-o", "-selection", "clipboard", "-t", "UTF8_STRING"},
                        std::chrono::seconds(10));
    done = true;
  });
  const bool finished = spinUntil([&] { return done.load(); }, 15000);
  reader.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, kAddress);
}

// Xvfb on a display number it picks itself, ended by its process ID.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    server_.emplace(std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]),
                                             "-nolisten", "tcp", "-screen", "0", "320x240x24"},
                    std::map<std::string, std::string>{}, "", dir_.file("xvfb.log"));
    close(fds[1]);
    pollfd ready{fds[0], POLLIN, 0};
    char buffer[16] = {};
    if (poll(&ready, 1, 10000) == 1 && read(fds[0], buffer, sizeof buffer - 1) > 0)
      display_ = ":" + std::to_string(std::atoi(buffer));
    close(fds[0]);
  }
  const std::string& display() const { return display_; }

 private:
  TempDir dir_;
  std::optional<ChildProcess> server_;
  std::string display_;
};

TEST(Pasteboard, TextReachesTheSystemClipboardOnADisplay) {
  VirtualDisplay display;
  ASSERT_FALSE(display.display().empty()) << "Xvfb did not start";
  TempDir dir;
  ChildProcess child({"/proc/self/exe", "--gtest_filter=PasteboardOnDisplay.*"},
                     {{"DISPLAY", display.display()},
                      {"QT_QPA_PLATFORM", "xcb"},
                      {"KAPSHO_TEST_PASTEBOARD_DISPLAY", "1"}},
                     dir.file("out"), dir.file("err"));
  const auto status = child.wait(std::chrono::seconds(60));
  ASSERT_TRUE(status);
  const std::string out = readFile(dir.file("out")).value_or("");
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << out;
  EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}

}  // namespace
