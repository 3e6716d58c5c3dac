#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "platform/appkit/Workspace.h"
#include "platform/bsd/kqueue.h"
#include "tests/support/Desktop.h"

using namespace platform;
using namespace testing_support;

namespace {

// What the agent does to open an address and a pane to start the agent: the program runs by the
// time the call returns, in a session of its own, without the caller's blocked or ignored
// hang-up signal, its descriptors or its standard streams.
TEST(Workspace, URLsAndApplicationsStartDetachedWithCleanSignalsAndAreFoundAtOnce) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  TempHome home;
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
  ASSERT_TRUE(opened);
  ASSERT_GT(app, 0) << "the walk right after the call finds it";
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
  ScopedEnv nowhere("PATH", dir.path() + "/empty");
  EXPECT_FALSE(NSWorkspace::sharedWorkspace().openURL(*NSURL::URLWithString(url)));
}

}  // namespace
