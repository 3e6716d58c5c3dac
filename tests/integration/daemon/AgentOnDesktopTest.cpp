// The staged agent on a desktop of the test's own (a temporary HOME, a private session bus, a
// virtual display) with the real upload server or a real tray host: screenshots to addresses on
// the clipboard, the status item shown and hidden by the notification that any process of the
// user may post (here `gdbus emit`, a client no one here wrote), and the ways the agent ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <stdexcept>

#include "platform/foundation/UserDefaults.h"
#include "tests/support/Desktop.h"
#include "tests/support/Network.h"
#include "tests/support/TrayHost.h"

using namespace testing_support;
using platform::NSUserDefaults;
namespace fs = std::filesystem;

namespace {

const std::string DaemonDomain = "com.kapsho.KapshoDaemon";
const std::string CaptureDomain = "com.apple.screencapture";
const std::string NotificationName = "com.kapsho.kapsho Show Status Item";
const std::string ShowKey = "{'ShowStatusItemNotificationKey': ";
// What NSLog puts before a line: the time and the process.
const std::regex LogPrefix("^[-0-9]+ [0-9:.]+ KapshoDaemon\\[[0-9]+\\] ");
const std::string Agent = stagePath(kAgentInTree);

// Throws when it cannot, which stops the test, also from a helper.
void setDefault(const std::string& domain, const std::string& key, platform::Value value) {
  auto values = storedDomain(domain);
  values.insert_or_assign(key, std::move(value));
  if (!NSUserDefaults::setPersistentDomain(values, domain))
    throw std::runtime_error("cannot store the preferences domain " + domain);
}

// The agent's output is kept for a failure's message. It runs in UTC, so that the titles of
// records do not depend on the machine's zone, and with a stand-in for the browser first on PATH
// that writes down the address it is given.
class AgentOnDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    setDefault(CaptureDomain, "location", folder_.path());
    writeProgram(bin_.file("xdg-open"), "#!/bin/sh\nprintf '%s' \"$1\" > \"$0.url\"\n");
  }
  ChildProcess startAgent(int uploadPort, std::map<std::string, std::string> env = {}) {
    setDefault(DaemonDomain, "Upload Host", "127.0.0.1:" + std::to_string(uploadPort));
    env.insert({{"LANGUAGE", "en"}, {"TZ", "UTC"}, {"PATH", bin_.path() + ":" + getenv("PATH")}});
    return ChildProcess({Agent}, env, logs_.file("agent.out"), logs_.file("agent.err"));
  }
  std::string agentErrors() const { return readFile(logs_.file("agent.err")).value_or(""); }
  void expectExit(ChildProcess& agent, int code) {
    const auto status = agent.wait();
    ASSERT_TRUE(status && WIFEXITED(*status)) << agentErrors();
    EXPECT_EQ(WEXITSTATUS(*status), code);
  }

  TempHome home_;
  TempDir logs_, folder_, outside_, bin_;
  PrivateBus bus_;
  VirtualDisplay display_;
};

// Without a session bus the agent runs and says so once; screenshots go through the proxy the
// environment names, and one written in place goes only once it is whole. A second agent of the
// session names the first and leaves; a lock file left behind blocked no one. The hang-up signal
// ends the agent. Without a capture folder the start-up ends with its report.
TEST_F(AgentOnDesktop, UploadsWholeScreenshotsUntilHangUp) {
  TempDir data;
  TunnelProxy proxy;
  fs::create_directories(home_.runtimeDir() + "/kapsho");
  writeFile(home_.runtimeDir() + "/kapsho/com.kapsho.KapshoDaemon.lock",
            std::to_string(getpid()) + "\n");
  const int port = freeLocalPort();
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  ChildProcess server({stagePath("bin/kapsho-upload-server"), "--bind", "127.0.0.1", "--port",
                       std::to_string(port), "--data-dir", data.path(), "--base-url", base});
  ChildProcess agent =
      startAgent(port, {{"http_proxy", proxy.url()},
                        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + logs_.file("none")}});
  ASSERT_TRUE(waitUntil([&] { return agentWatching(agent.pid()); })) << agentErrors();
  const std::string errors = agentErrors(), line = "No session bus: the notification \"" +
                                                   NotificationName + "\" cannot be heard\n";
  EXPECT_TRUE(errors.find(line) != std::string::npos && errors.find(line) == errors.rfind(line))
      << errors;
  const auto second = runCommand({Agent});
  EXPECT_EQ(std::tuple(second.exitCode, std::regex_replace(second.err, LogPrefix, "")),
            std::tuple(0, "Kapsho already runs in this session as process " +
                              std::to_string(agent.pid()) + "\n"));

  // The upload server takes only images, and tells them by their first bytes.
  const std::string inPlace = "\x89PNG\r\n\x1a\n" + std::string(299992, 'p');
  const int writer = open(folder_.file("Picture 9.png").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_EQ(write(writer, inPlace.data(), 150000), 150000);
  writeFile(outside_.file("capture"), "\x89PNG\r\n\x1a\nwhole");
  fs::rename(outside_.file("capture"), folder_.file("Picture 1.png"));
  const auto clipboardShows = [&](const std::string& bytes) {
    const std::string address = runCommand({"xclip", "-o", "-selection", "clipboard"}).out;
    return address.starts_with(base + "/i/") &&
           readFile(data.path() + "/" + address.substr(base.size() + 3)) == bytes;
  };
  ASSERT_TRUE(waitUntil([&] { return clipboardShows("\x89PNG\r\n\x1a\nwhole"); })) << agentErrors();
  // Each stored image has its deletion token's digest beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(data.path()), {}), 2)
      << "nothing goes while it is written";
  ASSERT_EQ(write(writer, inPlace.data() + 150000, 150000), 150000);
  close(writer);
  ASSERT_TRUE(waitUntil([&] { return clipboardShows(inPlace); })) << agentErrors();
  EXPECT_EQ(proxy.requests().back().line(), "POST " + base + "/app_upload.php HTTP/1.1");
  ASSERT_EQ(kill(agent.pid(), SIGHUP), 0);
  ASSERT_NO_FATAL_FAILURE(expectExit(agent, 0));

  setDefault(CaptureDomain, "location", folder_.file("missing"));
  ChildProcess failing = startAgent(freeLocalPort());
  ASSERT_NO_FATAL_FAILURE(expectExit(failing, 1));
  EXPECT_NE(agentErrors().find("*** Terminating app due to uncaught exception 'KQueueError', "
                               "reason: 'Error setting up kqueue: No such file or directory'"),
            std::string::npos)
      << agentErrors();
}

// A tray host of the StatusNotifierItem kind reads the exported menu and clicks through it.
// Hidden while an upload is pending, the item comes back idle with a menu built afresh. Then each
// notification in turn, from a process of its own.
TEST_F(AgentOnDesktop, OnATrayHostTheMenuWorksAndNotificationsHideAndShowTheItem) {
  // A record is titled by its date, else by its address; a date that does not parse is shown
  // as its text; anything but a dictionary is skipped; one without an address is disabled.
  setDefault(DaemonDomain, "Recent Images",
             platform::Array{"a string",
                             platform::Dictionary{{"url", "http://127.0.0.1/i/a.png"},
                                                  {"date", "2008-03-13 09:05:00 +0000"}},
                             platform::Dictionary{{"url", "no address"}, {"date", "yesterday"}},
                             platform::Dictionary{{"date", "2008-03-14 15:09:26 +0000"}},
                             platform::Dictionary{{"url", "http://127.0.0.1/i/b.png"}}});
  ScriptedServer silent([](const ReceivedRequest&) { return std::nullopt; });
  TrayHost host;
  ChildProcess agent = startAgent(silent.port());
  ASSERT_TRUE(waitUntil([&] { return host.items().size() == 1; })) << agentErrors();
  std::string item = host.items()[0];
  EXPECT_EQ(host.menu(item),
            "Recent Images[Mar 13, 9:05:00 AM|yesterday (off)|Mar 14, 3:09:26 PM (off)|"
            "http://127.0.0.1/i/b.png|-|Clear Recent Images]|-|Quit Kapsho");
  ASSERT_TRUE(host.click(item, "Mar 13, 9:05:00 AM"));
  EXPECT_TRUE(waitUntil([&] {
    return readFile(bin_.file("xdg-open.url")) == "http://127.0.0.1/i/a.png";
  })) << agentErrors();

  ASSERT_TRUE(host.click(item, "Clear Recent Images"));
  EXPECT_TRUE(waitUntil([&] {
    return !storedDomain(DaemonDomain).contains("Recent Images") &&
           host.menu(item) == "Recent Images[Clear Recent Images (off)]|-|Quit Kapsho";
  })) << host.menu(item);

  const std::string idle = host.icon(item);
  ASSERT_TRUE(waitUntil([&] { return agentWatching(agent.pid()); })) << agentErrors();
  writeFile(outside_.file("capture"), "PNG bytes");
  fs::rename(outside_.file("capture"), folder_.file("Picture 1.png"));
  ASSERT_TRUE(waitUntil([&] { return host.icon(item) != idle; })) << agentErrors();
  ASSERT_TRUE(emitNotification({NotificationName, "com.kapsho.KapshoPref", ShowKey + "<false>}"}));
  ASSERT_TRUE(waitUntil([&] { return host.items().empty(); })) << agentErrors();
  // Emptied from outside while the item is hidden, the list shows in the next menu built.
  setDefault(DaemonDomain, "Recent Images", platform::Array{});

  // YES, another signature, an empty user info, a string reading as yes, the key missing, a
  // non-zero byte.
  const std::pair<std::string, bool> steps[] = {
      {ShowKey + "<true>}", true},  {"'false'", true},           {"@a{sv} {}", false},
      {ShowKey + "<'Yes'>}", true}, {"{'Show': <true>}", false}, {ShowKey + "<byte 0x01>}", true},
  };
  for (const auto& [userInfo, shown] : steps) {
    SCOPED_TRACE(userInfo);
    ASSERT_TRUE(emitNotification({NotificationName, "", userInfo}));
    EXPECT_TRUE(waitUntil([&] {
      return host.items().size() == (shown ? 1u : 0u) &&
             storedDomain(DaemonDomain)["Show Status Item"] == shown;
    }));
  }
  item = host.items().at(0);
  EXPECT_EQ(host.icon(item), idle);
  EXPECT_EQ(host.menu(item), "Recent Images[-|Clear Recent Images (off)]|-|Quit Kapsho");

  ASSERT_TRUE(host.click(item, "Quit Kapsho"));
  ASSERT_NO_FATAL_FAILURE(expectExit(agent, 0));
}

}  // namespace
