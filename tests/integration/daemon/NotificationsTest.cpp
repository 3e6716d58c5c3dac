// The staged agent's desktop notifications, shown by a real notification server (dunst, on a
// virtual display and a private bus of the test's own), with and without tray hosts of both kinds
// (a StatusNotifierWatcher, and trayer's X11 tray), and their action opened in the user's browser
// as the real xdg-open finds it (BROWSER, here a recorder).
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "platform/foundation/UserDefaults.h"
#include "tests/integration/loginitems/LoginItemsTestSupport.h"
#include "tests/support/Desktop.h"
#include "tests/support/Network.h"
#include "tests/support/TrayHost.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string Agent = stagePath(kAgentInTree);
const std::string NoServerLine = "No notification server answered (";

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The upload server answers "Picture N.png" with the address http://images.example/i/N.png?a=1&b=2
// (an address whose '&' a server reading markup would misread), as a redirect or, to the custom
// uploader's request, as text; and "Picture 500.png" and above with 500.
// dunst reads markup, never lets a notification expire, and records each one it is given as
// "id|summary|body", the body's lines joined by '/'.
class NotificationsOnDesktop : public ::testing::Test {
 protected:
  NotificationsOnDesktop() { login_items_test::becomeSubreaper(); }
  // kapsho-prefs starts System Events for the session, as the pane does: it ends with the test.
  ~NotificationsOnDesktop() override { login_items_test::endSystemEvents(); }
  void SetUp() override {
    ASSERT_TRUE(platform::NSUserDefaults::setPersistentDomain({{"location", folder_.path()}},
                                                              "com.apple.screencapture"));
    ASSERT_TRUE(platform::NSUserDefaults::setPersistentDomain(
        {{"Upload Host", "127.0.0.1:" + std::to_string(uploads_.port())}},
        "com.kapsho.KapshoDaemon"));
    writeProgram(files_.file("browser"), "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$0.opened\"\n");
    writeProgram(files_.file("record"),
                 "#!/bin/sh\nprintf '%s|%s|%s\\n' \"$DUNST_ID\" \"$DUNST_SUMMARY\" "
                 "\"$(printf '%s' \"$DUNST_BODY\" | tr '\\n' /)\" >> \"$0.shown\"\n");
    writeFile(files_.file("dunstrc"),
              "[global]\nmarkup = full\n[urgency_normal]\ntimeout = 0\n[record]\nsummary = \"*\"\n"
              "script = " +
                  files_.file("record") + "\n");
  }
  void startNotificationServer() {
    server_.emplace(std::vector<std::string>{"dunst", "-config", files_.file("dunstrc")},
                    std::map<std::string, std::string>{}, "/dev/null", files_.file("dunst.err"));
    ASSERT_TRUE(waitUntil([] {
      return runCommand({"dunstctl", "count"}).exitCode == 0;
    })) << readFile(files_.file("dunst.err")).value_or("");
  }
  void startAgent() {
    agent_.emplace(std::vector<std::string>{Agent},
                   std::map<std::string, std::string>{{"BROWSER", files_.file("browser")}},
                   "/dev/null", files_.file("agent.err"));
    ASSERT_TRUE(waitUntil([&] { return agentWatching(agent_->pid()); })) << log();
  }
  std::string log() const { return readFile(files_.file("agent.err")).value_or(""); }
  // Drops the screenshot into the folder and waits for the agent to log its outcome.
  void upload(int number) {
    const auto outcomes = [&] {
      return occurrences(log(), "Copying URL to clipboard: ") + occurrences(log(), "Upload got ");
    };
    const size_t before = outcomes();
    writeFile(files_.file("shot"), "PNG bytes");
    fs::rename(files_.file("shot"), folder_.file("Picture " + std::to_string(number) + ".png"));
    ASSERT_TRUE(waitUntil([&] { return outcomes() == before + 1; })) << log();
  }
  // Waits until the log holds the line `count` times: the agent has seen the tray host change.
  void waitForLog(const std::string& line, size_t count) {
    ASSERT_TRUE(waitUntil([&] { return occurrences(log(), line + "\n") == count; }))
        << "no \"" << line << "\" line number " << count << " in the log:\n"
        << log();
  }
  std::vector<std::string> shown() const {
    std::vector<std::string> lines;
    std::istringstream text(readFile(files_.file("record.shown")).value_or(""));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }
  static std::string uploaded(int number) {
    return "Screenshot uploaded|http://images.example/i/" + std::to_string(number) +
           ".png?a=1&amp;b=2/The address is on the clipboard.";
  }

  TempHome home_;
  TempDir files_, folder_;
  PrivateBus bus_;
  VirtualDisplay display_;
  ScriptedServer uploads_{[](const ReceivedRequest& request) -> std::optional<std::string> {
    std::smatch number;
    std::regex_search(request.body, number, std::regex("filename=\"Picture ([0-9]+)"));
    if (number.empty() || std::stoi(number[1]) >= 500)
      return httpAnswer("500 Internal Server Error");
    // Through the custom uploader file: the address is the answer's text.
    if (request.line().starts_with("POST /custom "))
      return httpAnswer("200 OK", "",
                        "http://images.example/i/" + number[1].str() + ".png?a=1&b=2");
    return httpAnswer("302 Found",
                      "Location: http://images.example/i/" + number[1].str() + ".png?a=1&b=2\r\n");
  }};
  std::optional<ChildProcess> server_, agent_;
};

// Without a notification server nothing is shown and one log line says so, however many uploads
// follow; a server that comes later shows the next upload. Without a tray a finished upload is
// notified with its address, the next one replaces it on the screen, and the notification's action
// opens the address; a failure is notified with the log's text. A tray host that registers with
// the watcher, or an X11 tray, stops them under "auto", and they start again when it goes. "on" and
// "off", chosen with kapsho-prefs while the agent runs, count from the next upload.
TEST_F(NotificationsOnDesktop, UploadsAreNotifiedWithoutATrayOnceAServerRunsAndTheActionOpens) {
  startAgent();
  upload(1);
  ASSERT_TRUE(waitUntil([&] { return occurrences(log(), NoServerLine) == 1; })) << log();
  upload(2);
  startNotificationServer();
  // One notification waiting to go out gives way to a newer one: each is awaited.
  for (int number : {3, 12}) {
    upload(number);
    ASSERT_TRUE(waitUntil([&] { return shown().size() == (number == 3 ? 1u : 2u); })) << log();
  }
  EXPECT_EQ(shown()[0].substr(0, shown()[0].find('|')), shown()[1].substr(0, shown()[1].find('|')))
      << "the second replaces the first";
  EXPECT_EQ(runCommand({"dunstctl", "count", "displayed"}).out, "1\n");
  ASSERT_EQ(runCommand({"dunstctl", "action", "0"}).exitCode, 0);
  EXPECT_TRUE(waitUntil([&] {
    return readFile(files_.file("browser.opened")) == "http://images.example/i/12.png?a=1&b=2\n";
  })) << log();

  std::optional<TrayHost> host;
  std::optional<ChildProcess> trayer;
  const auto prefs = [](const char* mode) {
    ASSERT_EQ(runCommand({stagePath("bin/kapsho-prefs"), "notify", mode}).exitCode, 0);
  };
  // What changes before the upload, the screenshot's number, and whether it is notified.
  const std::tuple<std::function<void()>, int, bool> steps[] = {
      {[] {}, 500, true},
      {[&] { host.emplace(), waitForLog("Tray host registered", 1); }, 4, false},
      {[&] { host->setHostRegistered(false), waitForLog("Tray host gone", 1); }, 5, true},
      {[&] { host->setHostRegistered(true), waitForLog("Tray host registered", 2); }, 6, false},
      {[&] { prefs("on"); }, 7, true},
      {[&] { prefs("off"), host.reset(), waitForLog("Tray host gone", 2); }, 8, false},
      {[&] {
         prefs("auto");
         trayer.emplace(std::vector<std::string>{"trayer"}, std::map<std::string, std::string>{},
                        "/dev/null", "/dev/null");
         ASSERT_TRUE(waitUntil(systemTrayOwned)) << "trayer owns no tray";
       },
       9, false},
      {[&] {
         trayer.reset();
         ASSERT_TRUE(waitUntil([] { return !systemTrayOwned(); }));
       },
       10, true},
      {[&] {
         writeFile(files_.file("custom.sxcu"),
                   R"({"RequestURL": "http://127.0.0.1:)" + std::to_string(uploads_.port()) +
                       R"(/custom", "Body": "MultipartFormData", "FileFormName": "f",)"
                       R"( "URL": "{response}"})");
         ASSERT_EQ(
             runCommand({stagePath("bin/kapsho-prefs"), "uploader", files_.file("custom.sxcu")})
                 .exitCode,
             0);
       },
       11, true},
      {[] {}, 501, true},
  };
  std::vector<std::string> expected = {uploaded(3), uploaded(12)};
  for (const auto& [change, number, notified] : steps) {
    SCOPED_TRACE("Picture " + std::to_string(number));
    change();
    upload(number);
    if (!notified) continue;
    expected.push_back(number >= 500 ? "Screenshot upload failed|Upload got 500 response"
                                     : uploaded(number));
    EXPECT_TRUE(waitUntil([&] { return shown().size() == expected.size(); })) << log();
  }
  std::vector<std::string> withoutIds = shown();
  for (std::string& line : withoutIds) line.erase(0, line.find('|') + 1);
  EXPECT_EQ(withoutIds, expected) << log();
  EXPECT_EQ(occurrences(log(), NoServerLine), 1u) << log();
}

}  // namespace
