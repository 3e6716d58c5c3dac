#include <gtest/gtest.h>
#include <sys/wait.h>

#include "tests/support/Desktop.h"

using namespace testing_support;

namespace {

// The application object picks its platform once per process, so the tests that need a real
// display (named OnDisplay.*) run in a child of this test, on an Xvfb of its own.
TEST(VirtualDisplay, ClipboardAndTrayIcon) {
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
  EXPECT_NE(out.find("[  PASSED  ] 2 tests"), std::string::npos) << out;
}

}  // namespace
