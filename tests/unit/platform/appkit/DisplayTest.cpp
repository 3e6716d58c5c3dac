#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {

// The application object picks its platform once per process, so the tests that need a real
// display (named OnDisplay.*) run in a child of this test, on an Xvfb of its own.
TEST(VirtualDisplay, ClipboardAndTrayIcon) {
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

  ChildProcess child({"/proc/self/exe", "--gtest_filter=OnDisplay.*"},
                     {{"DISPLAY", ":" + std::string(number, std::strcspn(number, "\n"))},
                      // A Wayland session with XWayland: the application must choose X11.
                      {"WAYLAND_DISPLAY", "wayland-kapsho-absent"},
                      {"XDG_SESSION_TYPE", "wayland"},
                      {"QT_QPA_PLATFORM", ""},
                      {"KAPSHO_TEST_ON_DISPLAY", "1"}},
                     dir.file("out"));
  const auto status = child.wait(std::chrono::seconds(60));
  const std::string out = readFile(dir.file("out")).value_or("");
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << out;
  EXPECT_NE(out.find("[  PASSED  ] 2 tests"), std::string::npos) << out;
}

}  // namespace
