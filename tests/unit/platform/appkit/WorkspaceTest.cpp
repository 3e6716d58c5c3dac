#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <sstream>

#include "platform/appkit/Workspace.h"
#include "tests/support/Desktop.h"
#include "tests/support/TestSupport.h"

using namespace platform;
using namespace testing_support;

namespace {

// No desktop runs here to take a URL, so a stand-in xdg-open records how it was started. It
// reads its status with built-ins: a child command would see the mask the shell holds while it
// waits.
const char* kRecorder = R"(#!/bin/sh
url=$1
{ echo "$url"
  while IFS= read -r line; do case $line in SigBlk:*|SigIgn:*) echo "$line";; esac
  done < /proc/$$/status
  readlink /proc/$$/fd/0
  read -r stat < /proc/$$/stat; set -- $stat; echo "$6"
} > "${0%/*}/record.tmp" && mv "${0%/*}/record.tmp" "${0%/*}/record"
)";

TEST(Workspace, OpenURLStartsTheHandlerDetachedWithCleanSignals) {
  TempDir dir;
  writeFile(dir.file("xdg-open"), kRecorder);
  chmod(dir.file("xdg-open").c_str(), 0755);
  ScopedEnv path("PATH", dir.path() + ":/usr/bin:/bin");
  const std::string url = "http://127.0.0.1:8451/img/a%20b.png?x=1&y=2";
  // The agent blocks and ignores the hang-up signal.
  sigset_t hup, old;
  sigemptyset(&hup);
  sigaddset(&hup, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &hup, &old);
  const auto oldAction = signal(SIGHUP, SIG_IGN);
  const bool opened = NSWorkspace::sharedWorkspace().openURL(*NSURL::URLWithString(url));
  signal(SIGHUP, oldAction);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ASSERT_TRUE(opened);

  ASSERT_TRUE(waitUntil([&] { return readFile(dir.file("record")).has_value(); }));
  std::istringstream record(*readFile(dir.file("record")));
  std::vector<std::string> lines(5);
  for (auto& line : lines) std::getline(record, line);
  EXPECT_EQ(lines, (std::vector<std::string>{url, "SigBlk:\t0000000000000000",
                                             "SigIgn:\t0000000000000000", "/dev/null", lines[4]}));
  EXPECT_NE(lines[4], std::to_string(getsid(0))) << "a session of its own";

  ScopedEnv nowhere("PATH", dir.path() + "/empty");
  EXPECT_FALSE(NSWorkspace::sharedWorkspace().openURL(*NSURL::URLWithString(url)));
}

std::string statusField(pid_t pid, const std::string& field) {
  std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status").value_or(""));
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":\t", 0) == 0) return line.substr(field.size() + 2);
  return "";
}

// What a pane does to start the agent: the program runs, detached, by the time the call returns.
TEST(Workspace, AnApplicationBundleStartsDetachedAndIsFoundAtOnce) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  TempHome home;
  TempDir dir;
  const int inherited = open(dir.file("ours").c_str(), O_CREAT | O_WRONLY, 0600);
  sigset_t hup, old;
  sigemptyset(&hup);
  sigaddset(&hup, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &hup, &old);
  const auto oldAction = signal(SIGHUP, SIG_IGN);
  const bool opened = NSWorkspace::sharedWorkspace().openURLs(
      {NSURL::fileURLWithPath(EVENT_TEST_APP)}, std::nullopt, NSWorkspaceLaunchWithoutActivation,
      nullptr, nullptr);
  const pid_t app = processOfBundle("com.kapsho.tests.EventTestApp");
  signal(SIGHUP, oldAction);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  close(inherited);
  ASSERT_TRUE(opened);
  ASSERT_GT(app, 0) << "the walk right after the call finds it";

  EXPECT_EQ(statusField(app, "SigBlk"), "0000000000000000");
  EXPECT_EQ(statusField(app, "SigIgn"), "0000000000000000");
  EXPECT_NE(getsid(app), getsid(0));
  std::vector<std::string> descriptors;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(app) + "/fd"))
    descriptors.push_back(std::filesystem::read_symlink(fd.path()).string());
  EXPECT_EQ(std::vector<std::string>(descriptors.begin(), descriptors.begin() + 3),
            (std::vector<std::string>{"/dev/null", "/dev/null", "/dev/null"}));
  EXPECT_EQ(std::count(descriptors.begin(), descriptors.end(), dir.file("ours")), 0);
  kill(app, SIGTERM);
  EXPECT_TRUE(waitUntil([&] { return waitpid(app, nullptr, WNOHANG) == app; }));

  EXPECT_FALSE(NSWorkspace::sharedWorkspace().openURLs(
      {NSURL::fileURLWithPath(dir.path())}, std::string("com.kapsho.other"),
      NSWorkspaceLaunchWithoutActivation, nullptr, nullptr))
      << "an application identifier is not offered";
}

}  // namespace
