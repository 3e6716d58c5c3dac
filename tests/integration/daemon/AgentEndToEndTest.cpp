// The agent started from its staged bundle, with the real upload server, a private session bus
// and a virtual display: from screenshots in the capture folder to their addresses on the
// clipboard and in the recent-uploads list, and the ways the agent ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "tests/integration/daemon/AgentDesktop.h"
#include "tests/support/Network.h"

using namespace agent_testing;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

using AgentEndToEnd = AgentOnDesktop;

// The name under which the server stored these bytes, "" while it has none.
std::string storedAs(const TempDir& data, const std::string& bytes) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(data.path(), error))
    if (entry.path().extension() == ".png" && readFile(entry.path()) == bytes)
      return entry.path().filename();
  return "";
}

std::string picture(unsigned seed) {
  std::string bytes(300000, '\0');
  std::mt19937 random(seed);
  for (char& byte : bytes) byte = static_cast<char>(random());
  // The upload server takes only images, and tells them by their first bytes.
  return bytes.replace(0, 8, "\x89PNG\r\n\x1a\n");
}

// Screenshots renamed in at once, and one written in place, through the proxy the environment
// names: the clipboard ends on the newest, and the one in place goes only once it is whole.
TEST_F(AgentEndToEnd, ScreenshotsAreUploadedWholeNewestLastThenTheHangUpSignalStopsTheAgent) {
  TempDir folder, data, outside;
  TunnelProxy proxy;
  const int port = freeLocalPort();
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  ChildProcess server({stagePath("bin/kapsho-upload-server"), "--bind", "127.0.0.1", "--port",
                       std::to_string(port), "--data-dir", data.path(), "--base-url", base},
                      {}, logs_.file("server.out"), logs_.file("server.err"));
  defaultsWrite("com.apple.screencapture", "location", folder.path());
  defaultsWrite("com.kapsho.KapshoDaemon", "Upload Host", "127.0.0.1:" + std::to_string(port));

  ChildProcess agent = startAgent({{"http_proxy", proxy.url()}});
  ASSERT_TRUE(waitUntil([&] { return agentWatching(agent.pid()); })) << agentErrors();

  const std::string half = picture(9).substr(0, 150000);
  const int writer = open(folder.file("Picture 9.png").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_EQ(write(writer, half.data(), half.size()), static_cast<ssize_t>(half.size()));
  for (unsigned n : {2, 1, 4, 3}) {
    writeFile(outside.file(std::to_string(n)), picture(n));
    // Picture 3 is the newest; neither the names nor the order of renaming say so.
    const timespec times[2] = {{1000000000L + n % 4 * 10, 0}, {1000000000L + n % 4 * 10, 0}};
    utimensat(AT_FDCWD, outside.file(std::to_string(n)).c_str(), times, 0);
  }
  for (unsigned n : {2, 1, 4, 3})
    fs::rename(outside.file(std::to_string(n)),
               folder.file("Picture " + std::to_string(n) + ".png"));
  const auto clipboardShows = [&](const std::string& bytes) {
    const std::string stored = storedAs(data, bytes);
    return !stored.empty() &&
           runCommand({"xclip", "-o", "-selection", "clipboard"}).out == base + "/i/" + stored;
  };
  ASSERT_TRUE(waitUntil([&] { return clipboardShows(picture(3)); })) << logs();
  EXPECT_EQ(storedAs(data, half), "") << "nothing is uploaded while it is written";

  const std::string rest = picture(9).substr(150000);
  ASSERT_EQ(write(writer, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
  close(writer);
  ASSERT_TRUE(waitUntil([&] { return clipboardShows(picture(9)); })) << logs();
  const std::string address = base + "/i/" + storedAs(data, picture(9));
  const auto recent = runCommand(
      {stagePath("bin/kapsho-defaults"), "read", "com.kapsho.KapshoDaemon", "Recent Images"});
  EXPECT_NE(recent.out.find(address), std::string::npos) << recent.out;
  EXPECT_NE(agentErrors().find("Copying URL to clipboard: " + address), std::string::npos);
  EXPECT_EQ(proxy.requests().back().line(), "POST " + base + "/app_upload.php HTTP/1.1");

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
