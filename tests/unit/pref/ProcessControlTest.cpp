// Where the agent lies and which process runs it, against real processes.
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "tests/unit/pref/PaneFixture.h"

using namespace testing_support;
using pref_tests::PaneTest;
namespace fs = std::filesystem;

namespace {

TEST_F(PaneTest, TheAgentIsTheFirstProcessWithItsIdentifierWhereverItsBundleLies) {
  EXPECT_EQ(controller().pathForDaemon(),
            platform::NSBundle::mainBundle().resourcePath() + "/KapshoDaemon.app");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(controller().pidForDaemon(), 0);
  EXPECT_FALSE(controller().daemonRunning());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "the end of the list is no failure";

  ChildProcess withoutBundle({"sleep", "60"});
  TempDir elsewhere;
  fs::copy(*controller().pathForDaemon(), elsewhere.file("Copy.app"), fs::copy_options::recursive);
  const auto copy = startAgent(elsewhere.file("Copy.app"));
  const auto agent = startAgent();
  EXPECT_EQ(controller().pidForDaemon(), std::min(copy->pid(), agent->pid()))
      << "the lower process ID is met first";
  EXPECT_TRUE(controller().daemonRunning());

  const auto& first = copy->pid() < agent->pid() ? copy : agent;
  const auto& second = copy->pid() < agent->pid() ? agent : copy;
  kill(first->pid(), SIGTERM);
  ASSERT_TRUE(first->wait());
  EXPECT_EQ(controller().pidForDaemon(), second->pid());
}

TEST_F(PaneTest, ProcessesThatEndDuringTheWalkArePassedOver) {
  const auto agent = startAgent();
  std::atomic<bool> walking = true;
  std::thread shortLived([&] {
    while (walking) ChildProcess({"true"}).wait();
  });
  ::testing::internal::CaptureStderr();
  std::vector<pid_t> found;
  for (int walk = 0; walk < 50; ++walk) found.push_back(controller().pidForDaemon());
  walking = false;
  shortLived.join();
  EXPECT_EQ(found, std::vector<pid_t>(50, agent->pid()));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
