// The staged agent on a desktop of the test's own (a temporary HOME, a private session bus, a
// virtual display) with the real upload server or real tray hosts: screenshots to addresses on
// the clipboard, the status item shown and hidden by the notification that any process of the
// user may post (here `gdbus emit`, a client no one here wrote), and the ways the agent ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <sstream>

#include "platform/foundation/UserDefaults.h"
#include "tests/support/Desktop.h"
#include "tests/support/Network.h"
#include "tests/support/TrayHost.h"

using namespace testing_support;
using platform::NSUserDefaults;
namespace fs = std::filesystem;

namespace {

const std::string DaemonDomain = "com.kapsho.KapshoDaemon";
const std::string NotificationName = "com.kapsho.kapsho Show Status Item";
const std::string ShowKey = "{'ShowStatusItemNotificationKey': ";

void defaultsWrite(const std::string& domain, const std::string& key, const std::string& value) {
  ASSERT_EQ(runCommand({stagePath("bin/kapsho-defaults"), "write", domain, key, "-string", value})
                .exitCode,
            0);
}

// "Show Status Item" as the agent stored it, or nullopt while it has stored none.
std::optional<bool> storedShow() {
  const auto domain = NSUserDefaults::persistentDomainForName(DaemonDomain);
  const platform::Value* value = domain ? valueForKey(*domain, "Show Status Item") : nullptr;
  return value ? value->boolean() : std::nullopt;
}

void storeRecentImages(const std::vector<std::pair<std::string, std::string>>& records) {
  platform::Array list;
  for (const auto& [url, date] : records)
    list.emplace_back(platform::Dictionary{{"url", url}, {"date", date}});
  auto domain =
      NSUserDefaults::persistentDomainForName(DaemonDomain).value_or(platform::Dictionary{});
  domain.insert_or_assign("Recent Images", list);
  ASSERT_TRUE(NSUserDefaults::setPersistentDomain(domain, DaemonDomain));
}

// The agent's output is kept for a failure's message. It runs in UTC, so that the
// titles of records do not depend on the machine's zone, and with a stand-in for the browser
// first on PATH that writes down the address it is given.
class AgentOnDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    defaultsWrite("com.apple.screencapture", "location", folder_.path());
    writeFile(bin_.file("xdg-open"), "#!/bin/sh\nprintf '%s' \"$1\" > \"$0.url\"\n");
    fs::permissions(bin_.file("xdg-open"), fs::perms::owner_all);
  }
  ChildProcess startAgent(int uploadPort, std::map<std::string, std::string> env = {}) {
    defaultsWrite(DaemonDomain, "Upload Host", "127.0.0.1:" + std::to_string(uploadPort));
    env.insert({{"LANGUAGE", "en"}, {"TZ", "UTC"}, {"PATH", bin_.path() + ":" + getenv("PATH")}});
    return ChildProcess({stagePath("lib/kapsho/KapshoPref.prefPane/Contents/Resources/"
                                   "KapshoDaemon.app/Contents/MacOS/KapshoDaemon")},
                        env, logs_.file("agent.out"), logs_.file("agent.err"));
  }
  std::string agentErrors() const { return readFile(logs_.file("agent.err")).value_or(""); }
  void expectExit(ChildProcess& agent, int code) {
    const auto status = agent.wait();
    ASSERT_TRUE(status && WIFEXITED(*status)) << agentErrors();
    EXPECT_EQ(WEXITSTATUS(*status), code);
  }
  // The one item on the host, once there is exactly one.
  std::string onlyItem(const TrayHost& host) {
    EXPECT_TRUE(waitUntil([&] { return host.items().size() == 1; })) << agentErrors();
    return host.items().empty() ? "" : host.items()[0];
  }

  TempHome home_;
  TempDir logs_, folder_, outside_, bin_;
  PrivateBus bus_;
  VirtualDisplay display_;
};

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
TEST_F(AgentOnDesktop, ScreenshotsAreUploadedWholeAndNewestLast) {
  TempDir data;
  TunnelProxy proxy;
  const int port = freeLocalPort();
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  ChildProcess server({stagePath("bin/kapsho-upload-server"), "--bind", "127.0.0.1", "--port",
                       std::to_string(port), "--data-dir", data.path(), "--base-url", base});
  ChildProcess agent = startAgent(port, {{"http_proxy", proxy.url()}});
  ASSERT_TRUE(waitUntil([&] { return agentWatching(agent.pid()); })) << agentErrors();

  const std::string inPlace = picture(9);
  const int writer = open(folder_.file("Picture 9.png").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_EQ(write(writer, inPlace.data(), 150000), 150000);
  // Picture 3 is the newest; neither the names nor the order of renaming say so.
  for (unsigned n : {2, 1, 4, 3}) {
    writeFile(outside_.file(std::to_string(n)), picture(n));
    const timespec times[2] = {{1000000000L + n % 4 * 10, 0}, {1000000000L + n % 4 * 10, 0}};
    utimensat(AT_FDCWD, outside_.file(std::to_string(n)).c_str(), times, 0);
  }
  for (unsigned n : {2, 1, 4, 3})
    fs::rename(outside_.file(std::to_string(n)),
               folder_.file("Picture " + std::to_string(n) + ".png"));
  const auto clipboardShows = [&](const std::string& bytes) {
    const std::string stored = storedAs(data, bytes);
    return !stored.empty() &&
           runCommand({"xclip", "-o", "-selection", "clipboard"}).out == base + "/i/" + stored;
  };
  ASSERT_TRUE(waitUntil([&] { return clipboardShows(picture(3)); })) << agentErrors();
  EXPECT_EQ(storedAs(data, inPlace.substr(0, 150000)), "") << "nothing goes while it is written";

  ASSERT_EQ(write(writer, inPlace.data() + 150000, 150000), 150000);
  close(writer);
  ASSERT_TRUE(waitUntil([&] { return clipboardShows(inPlace); })) << agentErrors();
  const std::string address = base + "/i/" + storedAs(data, inPlace);
  const auto recent =
      runCommand({stagePath("bin/kapsho-defaults"), "read", DaemonDomain, "Recent Images"});
  EXPECT_NE(recent.out.find(address), std::string::npos) << recent.out;
  EXPECT_EQ(proxy.requests().back().line(), "POST " + base + "/app_upload.php HTTP/1.1");
}

TEST_F(AgentOnDesktop, AMissingCaptureFolderEndsTheStartUpWithItsReport) {
  defaultsWrite("com.apple.screencapture", "location", folder_.file("missing"));
  ChildProcess agent = startAgent(freeLocalPort());
  expectExit(agent, 1);
  EXPECT_NE(agentErrors().find("*** Terminating app due to uncaught exception 'KQueueError', "
                               "reason: 'Error setting up kqueue: No such file or directory'"),
            std::string::npos)
      << agentErrors();
}

TEST_F(AgentOnDesktop, WithoutASessionBusTheAgentRunsAndSaysOnceItCannotHear) {
  ChildProcess agent = startAgent(
      freeLocalPort(), {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + logs_.file("none")}});
  ASSERT_TRUE(waitUntil([&] { return agentWatching(agent.pid()); })) << agentErrors();
  const std::string errors = agentErrors();
  const std::string line =
      "No session bus: the notification \"" + NotificationName + "\" cannot be heard\n";
  ASSERT_NE(errors.find(line), std::string::npos) << errors;
  EXPECT_EQ(errors.find(line), errors.rfind(line)) << errors;
  ASSERT_EQ(kill(agent.pid(), SIGHUP), 0) << "the hang-up signal ends the agent";
  expectExit(agent, 0);
}

// A tray host of the StatusNotifierItem kind reads the exported menu and clicks through it.
// Hidden while an upload is pending, the item comes back idle with a menu built afresh. Then each
// notification in turn, from a process of its own: one wrongly heard, or a YES that made a second
// item, would cost a registration more than counted.
TEST_F(AgentOnDesktop, OnATrayHostTheMenuWorksAndNotificationsHideAndShowTheItem) {
  storeRecentImages({{"http://127.0.0.1/i/b.png", "2008-03-14 15:09:26 +0000"},
                     {"http://127.0.0.1/i/a.png", "2008-03-13 09:05:00 +0000"}});
  ScriptedServer silent([](const ReceivedRequest&) { return std::nullopt; });
  TrayHost host;
  ChildProcess agent = startAgent(silent.port());
  std::string item = onlyItem(host);
  EXPECT_EQ(host.menu(item),
            "Recent Images[Mar 14, 3:09:26 PM|Mar 13, 9:05:00 AM|-|Clear Recent "
            "Images]|-|Quit Kapsho");
  ASSERT_TRUE(host.click(item, "Mar 13, 9:05:00 AM"));
  EXPECT_TRUE(waitUntil([&] {
    return readFile(bin_.file("xdg-open.url")) == "http://127.0.0.1/i/a.png";
  })) << agentErrors();

  const std::string idle = host.icon(item);
  ASSERT_TRUE(waitUntil([&] { return agentWatching(agent.pid()); })) << agentErrors();
  writeFile(outside_.file("capture"), "PNG bytes");
  fs::rename(outside_.file("capture"), folder_.file("Picture 1.png"));
  ASSERT_TRUE(waitUntil([&] { return host.icon(item) != idle; })) << agentErrors();
  ASSERT_TRUE(emitNotification({NotificationName, "com.kapsho.KapshoPref", ShowKey + "<false>}"}));
  ASSERT_TRUE(waitUntil([&] { return host.items().empty() && storedShow() == false; }))
      << agentErrors();
  // Changed from outside while the item is hidden, the list shows in the next menu built.
  storeRecentImages({{"http://127.0.0.1/i/c.png", "2008-03-15 23:59:59 +0000"}});

  const struct {
    const char* what;
    std::vector<std::string> arguments;
    bool shown;
  } steps[] = {
      {"YES", {NotificationName, "com.kapsho.KapshoPref", ShowKey + "<true>}"}, true},
      {"a string, not a user info", {NotificationName, "", "'false'"}, true},
      {"another name", {"com.kapsho.kapsho Hide", "", ShowKey + "<false>}"}, true},
      {"an empty user info", {NotificationName, "", "@a{sv} {}"}, false},
      {"a string reading as yes", {NotificationName, "", ShowKey + "<'Yes'>}"}, true},
      {"a non-zero byte", {NotificationName, "", ShowKey + "<byte 0x01>}"}, true},
      {"the key missing", {NotificationName, "", "{'Show': <true>}"}, false},
      {"a nested dictionary", {NotificationName, "", ShowKey + "<{'a': <true>}>}"}, false},
      {"YES again", {NotificationName, "", ShowKey + "<true>}"}, true},
  };
  int shows = 1;
  bool shown = false;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_TRUE(emitNotification(step.arguments));
    const bool heard = step.arguments.size() == 3 && step.arguments[0] == NotificationName;
    EXPECT_TRUE(waitUntil([&] {
      return host.items().size() == (step.shown ? 1u : 0u) &&
             (!heard || storedShow() == step.shown);
    })) << agentErrors();
    shows += step.shown && !shown;
    shown = step.shown;
  }
  EXPECT_EQ(host.registrations(), shows);
  item = onlyItem(host);
  EXPECT_EQ(host.icon(item), idle);
  EXPECT_EQ(host.menu(item),
            "Recent Images[Mar 15, 11:59:59 PM|-|Clear Recent Images]|-|Quit Kapsho");

  ASSERT_TRUE(host.click(item, "Clear Recent Images"));
  EXPECT_TRUE(waitUntil([&] {
    return !valueForKey(NSUserDefaults::persistentDomainForName(DaemonDomain).value(),
                        "Recent Images") &&
           host.menu(item) == "Recent Images[Clear Recent Images (off)]|-|Quit Kapsho";
  })) << host.menu(item);
  ASSERT_TRUE(host.click(item, "Quit Kapsho"));
  expectExit(agent, 0);
}

// How many windows of the agent an XEmbed tray (trayer) holds; -1 while there is no tray. In
// the tree that xwininfo prints, what a window holds is indented deeper below it.
int iconsInTray() {
  std::istringstream tree(runCommand({"xwininfo", "-root", "-tree"}).out);
  std::string line;
  size_t panelDepth = std::string::npos;
  int icons = 0;
  while (std::getline(tree, line)) {
    const size_t depth = line.find_first_not_of(' ');
    if (depth == std::string::npos) continue;
    if (panelDepth == std::string::npos) {
      if (line.find("(\"panel\" \"trayer\")") != std::string::npos) panelDepth = depth;
    } else if (depth <= panelDepth) {
      break;
    } else {
      icons += line.find("(\"KapshoDaemon\" \"KapshoDaemon\")") != std::string::npos;
    }
  }
  return panelDepth == std::string::npos ? -1 : icons;
}

TEST_F(AgentOnDesktop, OnAnXEmbedTrayTheIconEmbedsOnceAfterHidingAndShowing) {
  ChildProcess tray({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request"});
  ASSERT_TRUE(waitUntil([] { return iconsInTray() == 0; })) << agentErrors();
  ChildProcess agent = startAgent(freeLocalPort());
  ASSERT_TRUE(waitUntil([] { return iconsInTray() == 1; })) << agentErrors();
  ASSERT_TRUE(emitNotification({NotificationName, "", ShowKey + "<false>}"}));
  ASSERT_TRUE(waitUntil([] { return iconsInTray() == 0; })) << agentErrors();
  ASSERT_TRUE(emitNotification({NotificationName, "", ShowKey + "<true>}"}));
  ASSERT_TRUE(waitUntil([] { return iconsInTray() == 1; })) << agentErrors();
}

}  // namespace
