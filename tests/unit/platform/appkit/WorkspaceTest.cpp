#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <sstream>

#include "platform/appkit/Workspace.h"
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

}  // namespace
