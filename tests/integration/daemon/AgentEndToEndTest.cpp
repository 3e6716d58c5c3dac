// The agent started from its staged bundle, with the real upload server, a private session bus
// and a virtual display: from a screenshot renamed into the capture folder to its address on the
// clipboard and in the recent-uploads list, and the ways the agent ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "tests/support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string AgentPath = stagePath(
    "lib/kapsho/KapshoPref.prefPane/Contents/Resources/KapshoDaemon.app/Contents/MacOS/"
    "KapshoDaemon");

void defaultsWrite(const std::string& domain, const std::string& key, const std::string& value) {
  ASSERT_EQ(runCommand({stagePath("bin/kapsho-defaults"), "write", domain, key, "-string", value})
                .exitCode,
            0);
}

class AgentEndToEnd : public ::testing::Test {
 protected:
  ChildProcess startAgent() {
    return ChildProcess({AgentPath}, {{"LANGUAGE", "en"}}, logs_.file("agent.out"),
                        logs_.file("agent.err"));
  }
  std::string agentErrors() { return readFile(logs_.file("agent.err")).value_or(""); }
  // Everything the children said, for a failure's message.
  std::string logs() {
    std::string all;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(logs_.path(), error))
      all += "== " + entry.path().filename().string() + "\n" + readFile(entry.path()).value_or("");
    return all;
  }

  TempHome home_;
  TempDir logs_;
  PrivateBus bus_;
  VirtualDisplay display_;
};

TEST_F(AgentEndToEnd, AScreenshotIsUploadedAndItsAddressCopiedThenTheHangUpSignalStopsTheAgent) {
  TempDir folder, data, outside;
  const int port = freeLocalPort();
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  ChildProcess server({stagePath("bin/kapsho-upload-server"), "--bind", "127.0.0.1", "--port",
                       std::to_string(port), "--data-dir", data.path(), "--base-url", base},
                      {}, logs_.file("server.out"), logs_.file("server.err"));
  defaultsWrite("com.apple.screencapture", "location", folder.path());
  defaultsWrite("com.kapsho.KapshoDaemon", "Upload Host", "127.0.0.1:" + std::to_string(port));

  ChildProcess agent = startAgent();
  ASSERT_TRUE(waitUntil([&] { return agentWatching(agent.pid()); })) << agentErrors();

  std::string picture(300000, '\0');
  std::mt19937 random(3);
  for (char& byte : picture) byte = static_cast<char>(random());
  writeFile(outside.file("capture"), picture);
  fs::rename(outside.file("capture"), folder.file("Picture 1.png"));

  std::string stored;
  ASSERT_TRUE(waitUntil([&] {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(data.path(), error))
      if (entry.path().extension() == ".png") stored = entry.path().filename();
    return !stored.empty() && readFile(data.file(stored)) == picture;
  })) << logs();
  const std::string address = base + "/i/" + stored;
  EXPECT_TRUE(waitUntil([&] {
    return runCommand({"xclip", "-o", "-selection", "clipboard"}).out == address;
  })) << agentErrors();
  const auto recent = runCommand(
      {stagePath("bin/kapsho-defaults"), "read", "com.kapsho.KapshoDaemon", "Recent Images"});
  EXPECT_NE(recent.out.find(address), std::string::npos) << recent.out;
  EXPECT_NE(agentErrors().find("Copying URL to clipboard: " + address), std::string::npos);

  ASSERT_EQ(kill(agent.pid(), SIGHUP), 0);
  const auto status = agent.wait();
  ASSERT_TRUE(status) << "the hang-up signal ends the agent";
  ASSERT_TRUE(WIFEXITED(*status)) << agentErrors();
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

TEST_F(AgentEndToEnd, AMissingCaptureFolderEndsTheStartUp) {
  TempDir parent;
  defaultsWrite("com.apple.screencapture", "location", parent.file("missing"));
  ChildProcess agent = startAgent();
  const auto status = agent.wait();
  ASSERT_TRUE(status && WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 1);
  EXPECT_NE(agentErrors().find("*** Terminating app due to uncaught exception 'KQueueError', "
                               "reason: 'Error setting up kqueue: No such file or directory'"),
            std::string::npos)
      << agentErrors();
}

}  // namespace
