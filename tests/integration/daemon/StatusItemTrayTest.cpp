// The agent's status item on real tray hosts, shown and hidden by the notification that any
// process of the user may post (here `gdbus emit`, a client no one here wrote): a tray host of
// the StatusNotifierItem kind that reads and clicks the exported menu, and an XEmbed tray.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "platform/foundation/UserDefaults.h"
#include "tests/integration/daemon/AgentDesktop.h"
#include "tests/support/TrayHost.h"

using namespace agent_testing;
using namespace testing_support;
using platform::NSUserDefaults;
namespace fs = std::filesystem;

namespace {

const std::string DaemonDomain = "com.kapsho.KapshoDaemon";
const std::string NotificationName = "com.kapsho.kapsho Show Status Item";

void emitShow(const std::string& value) {
  ASSERT_TRUE(emitNotification({NotificationName, "com.kapsho.KapshoPref",
                                "{'ShowStatusItemNotificationKey': " + value + "}"}));
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

// Takes connections into its backlog and never answers: an upload to it stays pending.
class SilentServer {
 public:
  SilentServer() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("no silent server");
    port_ = ntohs(address.sin_port);
  }
  ~SilentServer() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

class StatusItemOnTray : public AgentOnDesktop {
 protected:
  void SetUp() override {
    defaultsWrite("com.apple.screencapture", "location", folder_.path());
    writeFile(bin_.file("xdg-open"), "#!/bin/sh\nprintf '%s' \"$1\" > \"$0.url\"\n");
    fs::permissions(bin_.file("xdg-open"), fs::perms::owner_all);
  }

  // Records in UTC, so that their titles do not depend on the machine's zone. No browser runs
  // here: a stand-in handler first on PATH writes down the address it is given.
  ChildProcess startAgentOn(int uploadPort) {
    defaultsWrite(DaemonDomain, "Upload Host", "127.0.0.1:" + std::to_string(uploadPort));
    return startAgent({{"TZ", "UTC"}, {"PATH", bin_.path() + ":" + std::getenv("PATH")}});
  }

  void dropScreenshot(pid_t agent) {
    ASSERT_TRUE(waitUntil([&] { return agentWatching(agent); })) << agentErrors();
    writeFile(outside_.file("capture"), "PNG bytes");
    fs::rename(outside_.file("capture"), folder_.file("Picture 1.png"));
  }

  // The one item on the host, once there is exactly one.
  std::string onlyItem(const TrayHost& host) {
    std::string item;
    EXPECT_TRUE(waitUntil([&] {
      const auto items = host.items();
      if (items.size() == 1) item = items[0];
      return items.size() == 1;
    })) << logs();
    return item;
  }

  TempDir folder_, outside_, bin_;
};

TEST_F(StatusItemOnTray, TheHostReadsTheMenuAndClicksThroughIt) {
  storeRecentImages({{"http://127.0.0.1/i/b.png", "2008-03-14 15:09:26 +0000"},
                     {"http://127.0.0.1/i/a.png", "2008-03-13 09:05:00 +0000"}});
  TrayHost host;
  ChildProcess agent = startAgentOn(freeLocalPort());
  const std::string item = onlyItem(host);
  const std::string records = "Mar 14, 3:09:26 PM|Mar 13, 9:05:00 AM|-|Clear Recent Images";
  EXPECT_EQ(host.menu(item), "Recent Images[" + records + "]|-|Quit Kapsho");

  // Nothing listens at the upload port: the failure is held for the menu's first line.
  dropScreenshot(agent.pid());
  std::string menu;
  ASSERT_TRUE(waitUntil([&] { return (menu = host.menu(item)).starts_with("Error"); })) << logs();
  EXPECT_EQ(menu, "Error: Could not connect to the server. (off)|-|Recent Images[" + records +
                      "]|-|Quit Kapsho");

  ASSERT_TRUE(host.click(item, "Mar 13, 9:05:00 AM"));
  EXPECT_TRUE(waitUntil([&] {
    return readFile(bin_.file("xdg-open.url")) == "http://127.0.0.1/i/a.png";
  })) << logs();

  ASSERT_TRUE(host.click(item, "Clear Recent Images"));
  EXPECT_TRUE(waitUntil([&] {
    return !valueForKey(NSUserDefaults::persistentDomainForName(DaemonDomain).value(),
                        "Recent Images");
  }));
  EXPECT_TRUE(waitUntil([&] {
    return host.menu(item).ends_with("Recent Images[Clear Recent Images (off)]|-|Quit Kapsho");
  })) << host.menu(item);

  ASSERT_TRUE(host.click(item, "Quit Kapsho"));
  const auto status = agent.wait();
  ASSERT_TRUE(status && WIFEXITED(*status)) << logs();
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

TEST_F(StatusItemOnTray, HiddenWhilePendingTheItemComesBackIdleWithAFreshMenu) {
  SilentServer server;
  TrayHost host;
  ChildProcess agent = startAgentOn(server.port());
  const std::string first = onlyItem(host);
  const std::string idle = host.icon(first);
  ASSERT_FALSE(idle.empty());
  dropScreenshot(agent.pid());
  ASSERT_TRUE(waitUntil([&] { return host.icon(first) != idle; })) << logs();

  emitShow("<false>");
  ASSERT_TRUE(waitUntil([&] { return host.items().empty(); })) << logs();
  // Changed from outside while the item is hidden, the list shows in the next menu built.
  storeRecentImages({{"http://127.0.0.1/i/c.png", "2008-03-15 23:59:59 +0000"}});
  emitShow("<true>");
  const std::string again = onlyItem(host);
  EXPECT_NE(again, first);
  EXPECT_EQ(host.icon(again), idle);
  EXPECT_EQ(host.menu(again),
            "Recent Images[Mar 15, 11:59:59 PM|-|Clear Recent Images]|-|Quit Kapsho");
  EXPECT_EQ(host.registrations(), 2);
}

// Each notification in turn, from a process of its own; after each, what the agent stored and
// whether its item is on the host. One that should go unheard is followed by a YES, so that
// hearing it would cost one more registration.
TEST_F(StatusItemOnTray, NotificationsShowOrHideTheItemAndOddOnesDoNoHarm) {
  struct Step {
    const char* what;
    std::vector<std::string> arguments;
    bool shown;
  };
  const std::string key = "{'ShowStatusItemNotificationKey': ";
  const std::vector<Step> steps = {
      {"NO", {NotificationName, "com.kapsho.KapshoPref", key + "<false>}"}, false},
      {"YES", {NotificationName, "com.kapsho.KapshoPref", key + "<true>}"}, true},
      {"two strings", {NotificationName, "com.kapsho.KapshoPref"}, true},
      {"three strings", {NotificationName, "", "'true'"}, true},
      {"another name", {"com.kapsho.kapsho Hide", "", key + "<false>}"}, true},
      {"a string reading as yes", {NotificationName, "", key + "<'Yes'>}"}, true},
      {"an empty user info", {NotificationName, "", "@a{sv} {}"}, false},
      {"the key missing", {NotificationName, "", "{'Show': <true>}"}, false},
      {"a signed number in a string", {NotificationName, "", key + "<' -007'>}"}, true},
      {"a nested dictionary", {NotificationName, "", key + "<{'a': <true>}>}"}, false},
      {"a non-zero byte", {NotificationName, "", key + "<byte 0x01>}"}, true},
      {"an array of integers", {NotificationName, "", key + "<@ai [1]>}"}, false},
      {"a boolean in a variant", {NotificationName, "", key + "<<true>>}"}, true},
      {"a string reading as no", {NotificationName, "", key + "<'no'>}"}, false},
      {"a structure", {NotificationName, "", key + "<(true, 1)>}"}, false},
      {"YES again", {NotificationName, "", key + "<true>}"}, true},
  };
  TrayHost host;
  ChildProcess agent = startAgentOn(freeLocalPort());
  onlyItem(host);
  EXPECT_EQ(storedShow(), std::nullopt);
  int shows = 1;
  bool shown = true;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_TRUE(emitNotification(step.arguments));
    const bool changed = step.arguments.size() == 3 && step.arguments[0] == NotificationName;
    EXPECT_TRUE(waitUntil([&] {
      return host.items().size() == (step.shown ? 1u : 0u) &&
             (!changed || storedShow() == step.shown);
    })) << logs();
    shows += step.shown && !shown;
    shown = step.shown;
  }
  // A notification that was wrongly heard would have hidden and shown the item once more.
  EXPECT_EQ(host.registrations(), shows);
  EXPECT_TRUE(agent.running());
}

TEST_F(StatusItemOnTray, WithoutASessionBusTheAgentRunsAndSaysItCannotHear) {
  ChildProcess agent =
      startAgent({{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + logs_.file("none")}});
  ASSERT_TRUE(waitUntil([&] { return agentWatching(agent.pid()); })) << logs();
  const std::string errors = agentErrors();
  const std::string line =
      "No session bus: the notification \"" + NotificationName + "\" cannot be heard\n";
  ASSERT_NE(errors.find(line), std::string::npos) << errors;
  EXPECT_EQ(errors.find(line), errors.rfind(line)) << errors;
  ASSERT_EQ(kill(agent.pid(), SIGHUP), 0);
  const auto status = agent.wait();
  ASSERT_TRUE(status && WIFEXITED(*status)) << logs();
  EXPECT_EQ(WEXITSTATUS(*status), 0);
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

TEST_F(StatusItemOnTray, OnAnXEmbedTrayTheIconEmbedsOnceAfterHidingAndShowing) {
  ChildProcess tray({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request"}, {},
                    logs_.file("trayer.out"), logs_.file("trayer.err"));
  ASSERT_TRUE(waitUntil([] { return iconsInTray() == 0; })) << logs();
  ChildProcess agent = startAgentOn(freeLocalPort());
  ASSERT_TRUE(waitUntil([] { return iconsInTray() == 1; })) << logs();
  emitShow("<false>");
  ASSERT_TRUE(waitUntil([] { return iconsInTray() == 0; })) << logs();
  emitShow("<true>");
  ASSERT_TRUE(waitUntil([] { return iconsInTray() == 1; })) << logs();
}

}  // namespace
