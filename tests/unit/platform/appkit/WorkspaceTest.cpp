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

// No desktop runs here to hand a URL to, so a stand-in xdg-open records how it was started:
// its arguments, its blocked and ignored signals, its standard input and its session.
void writeRecorder(const TempDir& dir) {
  // Built-ins read the shell's own status: a child command would see the mask the shell holds
  // while it waits for that child.
  const std::string script =
      "#!/bin/sh\n"
      "count=$#; url=$1\n"
      "{ echo \"$count\"; echo \"$url\"\n"
      "  while IFS= read -r line; do\n"
      "    case $line in SigBlk:*|SigIgn:*) echo \"$line\";; esac\n"
      "  done < /proc/$$/status\n"
      "  readlink /proc/$$/fd/0\n"
      "  read -r stat < /proc/$$/stat; set -- $stat; echo \"$6\"\n"
      "} > '" +
      dir.file("record.tmp") + "'\nmv '" + dir.file("record.tmp") + "' '" + dir.file("record") +
      "'\n";
  writeFile(dir.file("xdg-open"), script);
  chmod(dir.file("xdg-open").c_str(), 0755);
}

// Blocks and ignores the hang-up signal in this thread, as the agent does, for the test's span.
class HangUpBlocked {
 public:
  HangUpBlocked() {
    sigset_t hup;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hup, &oldMask_);
    oldAction_ = signal(SIGHUP, SIG_IGN);
  }
  ~HangUpBlocked() {
    signal(SIGHUP, oldAction_);
    pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
  }

 private:
  sigset_t oldMask_;
  sighandler_t oldAction_;
};

TEST(Workspace, OpenURLStartsTheHandlerDetachedWithCleanSignals) {
  TempDir dir;
  writeRecorder(dir);
  ScopedEnv path("PATH", dir.path() + ":/usr/bin:/bin");
  const auto url = NSURL::URLWithString("http://127.0.0.1:8451/img/a%20b.png?x=1&y=2");
  {
    HangUpBlocked agentLike;
    ASSERT_TRUE(NSWorkspace::sharedWorkspace().openURL(*url));
  }
  ASSERT_TRUE(waitUntil([&] { return readFile(dir.file("record")).has_value(); }));
  std::istringstream record(*readFile(dir.file("record")));
  std::string count, argument, blocked, ignored, input, session;
  std::getline(record, count);
  std::getline(record, argument);
  std::getline(record, blocked);
  std::getline(record, ignored);
  std::getline(record, input);
  std::getline(record, session);
  EXPECT_EQ(count, "1");
  EXPECT_EQ(argument, "http://127.0.0.1:8451/img/a%20b.png?x=1&y=2");
  EXPECT_EQ(blocked, "SigBlk:\t0000000000000000");
  EXPECT_EQ(ignored, "SigIgn:\t0000000000000000");
  EXPECT_EQ(input, "/dev/null");
  EXPECT_NE(session, std::to_string(getsid(0))) << "in a session of its own";
}

TEST(Workspace, OpenURLReportsAHandlerThatCannotStart) {
  TempDir dir;
  ScopedEnv path("PATH", dir.path());
  EXPECT_FALSE(NSWorkspace::sharedWorkspace().openURL(*NSURL::URLWithString("http://a.example/")));
}

}  // namespace
