// Uploads against a scripted loopback server: the request's bytes, each outcome with its status
// images and timers, the clipboard, the recent-uploads list and the held error.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "platform/appkit/Pasteboard.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/unit/daemon/AgentFixture.h"

using namespace agent_testing;
using platform::NSUserDefaults;

namespace {

// An agent whose upload host is the given port on the loopback interface.
class UploadTest : public ::testing::Test {
 protected:
  void startAgent(int port) {
    NSUserDefaults::standardUserDefaults().setObject("127.0.0.1:" + std::to_string(port),
                                                     UploadHostKey);
    controller = std::make_unique<KapshoController>();
  }
  std::string screenshot(const std::string& name, const std::string& bytes) {
    const std::string path = environment.folder() + "/" + name;
    testing_support::writeFile(path, bytes);
    return path;
  }
  // The distinct status images shown until the look is idle again, and how long that took.
  std::vector<std::string> looksUntilIdle(double* seconds = nullptr) {
    std::vector<std::string> looks{statusImageName(*controller)};
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(spinUntil([&] {
      if (statusImageName(*controller) != looks.back())
        looks.push_back(statusImageName(*controller));
      return looks.back() == "KapshoStatus";
    }));
    if (seconds) *seconds = clock.elapsed() / 1000.0;
    return looks;
  }
  std::optional<std::string> clipboard() {
    return platform::NSPasteboard::generalPasteboard().stringForType(platform::NSStringPboardType);
  }
  std::optional<platform::Array> recentImages() {
    return NSUserDefaults::standardUserDefaults().arrayForKey(RecentImageUploadsKey);
  }

  AgentEnvironment environment;
  std::unique_ptr<KapshoController> controller;
};

std::string expectedBody(const std::string& boundary, const std::string& name,
                         const std::string& file) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"app_upload\"\r\n\r\nUpload" +
         "\r\n--" + boundary +
         "\r\nContent-Disposition: form-data; name=\"userfile\"; filename=\"" + name +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + file + "\r\n--" + boundary +
         "--\r\n";
}

TEST_F(UploadTest, RedirectPutsTheAddressOnTheClipboardAndInTheList) {
  const std::string address = "http://images.example/i/abc.png";
  ScriptedServer server([&](const ReceivedRequest&) {
    return httpAnswer("302 Found", "Location: " + address + "\r\n");
  });
  startAgent(server.port());
  const std::string file = std::string("\x89PNG\r\n\x1a\n\0\r\n--KapshoBoundaryX", 28);
  controller->matchPath(screenshot("Picture 1.png", file));
  EXPECT_EQ(statusImageName(*controller), "KapshoStatus-Pending");
  ASSERT_TRUE(spinUntil([&] { return clipboard() == address; }));

  ASSERT_EQ(server.requests().size(), 1u) << "the address itself is never fetched";
  const ReceivedRequest request = server.requests()[0];
  EXPECT_EQ(request.head.substr(0, request.head.find("\r\n")), "POST /app_upload.php HTTP/1.1");
  EXPECT_EQ(request.header("Content-Type"), "multipart/form-data; boundary=KapshoBoundaryY");
  EXPECT_EQ(request.body, expectedBody("KapshoBoundaryY", "Picture 1.png", file));
  EXPECT_EQ(request.body.size(), 181 + 3 * 15 + 13 + file.size());

  const auto recent = recentImages();
  ASSERT_TRUE(recent && recent->size() == 1);
  const auto& record = *(*recent)[0].dictionary();
  EXPECT_EQ(*record.at("url").string(), address);
  EXPECT_TRUE(platform::NSDate::dateWithString(*record.at("date").string()));
  const auto* submenu = controller->statusItem()->menu()->itemArray()[0]->submenu();
  ASSERT_EQ(submenu->itemArray().size(), 3u);
  EXPECT_EQ(
      std::any_cast<platform::NSURL>(submenu->itemArray()[0]->representedObject()).absoluteString(),
      address);

  double seconds = 0;
  EXPECT_EQ(looksUntilIdle(&seconds),
            (std::vector<std::string>{"KapshoStatus-Finished", "KapshoStatus"}));
  EXPECT_GE(seconds, 1.9);
  EXPECT_FALSE(controller->statusError());
  EXPECT_FALSE(controller->currentConnection());
}

TEST_F(UploadTest, FileNamesCannotBreakTheRequest) {
  ScriptedServer server(
      [](const ReceivedRequest&) { return httpAnswer("302 Found", "Location: /i/x\r\n"); });
  startAgent(server.port());
  const std::string name = "Picture \"1\"\r\nX-Injected: 1\xC3\xA9.png";
  controller->matchPath(screenshot(name, ""));
  ASSERT_TRUE(spinUntil([&] { return clipboard() == "/i/x"; })) << "a relative address is kept";
  const ReceivedRequest request = server.requests().at(0);
  const std::string written = "Picture %221%22%0D%0AX-Injected: 1\xC3\xA9.png";
  EXPECT_EQ(request.body, expectedBody("KapshoBoundary", written, ""));
  EXPECT_EQ(request.body.size(), 181 + 3 * 14 + written.size());
  EXPECT_EQ(request.header("X-Injected"), "");
}

TEST_F(UploadTest, AnswersThatAreNoUsableRedirectShowTheErrorBriefly) {
  for (const std::string& answer :
       {httpAnswer("302 Found"), httpAnswer("200 OK"), httpAnswer("404 Not Found"),
        httpAnswer("303 See Other", "Location: http://bad host/\r\n")}) {
    ScriptedServer server([&](const ReceivedRequest&) { return answer; });
    startAgent(server.port());
    platform::NSPasteboard::generalPasteboard().declareTypes({platform::NSStringPboardType},
                                                             nullptr);
    platform::NSPasteboard::generalPasteboard().setString("before", platform::NSStringPboardType);
    controller->matchPath(screenshot("Picture 2.png", "png"));
    ASSERT_TRUE(spinUntil([&] { return statusImageName(*controller) == "KapshoStatus-Error"; }))
        << answer;
    EXPECT_FALSE(controller->currentConnection());
    EXPECT_FALSE(controller->statusError());
    EXPECT_EQ(controller->statusItem()->menu()->itemArray()[0]->title(), "Recent Images");
    double seconds = 0;
    EXPECT_EQ(looksUntilIdle(&seconds),
              (std::vector<std::string>{"KapshoStatus-Error", "KapshoStatus"}));
    EXPECT_GE(seconds, 1.9);
    EXPECT_FALSE(recentImages());
    EXPECT_EQ(clipboard(), "before");
  }
}

TEST_F(UploadTest, AFailedExchangeHoldsItsErrorUntilTheReset) {
  startAgent(testing_support::freeLocalPort());
  controller->matchPath(screenshot("Picture 3.png", "png"));
  ASSERT_TRUE(spinUntil([&] { return controller->statusError().has_value(); }));
  EXPECT_EQ(statusImageName(*controller), "KapshoStatus-Error");
  const auto& menu = *controller->statusItem()->menu();
  EXPECT_EQ(menu.itemArray()[0]->title(),
            "Error: " + controller->statusError()->localizedDescription());
  EXPECT_FALSE(menu.isItemEnabled(*menu.itemArray()[0]));
  EXPECT_TRUE(menu.itemArray()[1]->isSeparatorItem());
  double seconds = 0;
  looksUntilIdle(&seconds);
  EXPECT_GE(seconds, 4.9);
  EXPECT_FALSE(controller->statusError());
  EXPECT_EQ(controller->statusItem()->menu()->itemArray()[0]->title(), "Recent Images");
}

TEST_F(UploadTest, AServerThatNeverAnswersTimesOut) {
  ScriptedServer server([](const ReceivedRequest&) { return std::nullopt; });
  platform::NSURLConnection::setTimeoutOverrideForTesting(0.3);
  startAgent(server.port());
  controller->matchPath(screenshot("Picture 4.png", "png"));
  const bool failed = spinUntil([&] { return controller->statusError().has_value(); });
  platform::NSURLConnection::setTimeoutOverrideForTesting(std::nullopt);
  ASSERT_TRUE(failed);
  EXPECT_EQ(controller->statusError()->code(), platform::NSURLErrorTimedOut);
  EXPECT_EQ(statusImageName(*controller), "KapshoStatus-Error");
}

TEST_F(UploadTest, ANewerUploadReplacesTheOneInFlight) {
  int answered = 0;
  ScriptedServer server([&](const ReceivedRequest& request) -> std::optional<std::string> {
    if (request.body.find("Picture 5.png") != std::string::npos) return std::nullopt;
    ++answered;
    return httpAnswer("302 Found", "Location: http://x/6\r\n");
  });
  startAgent(server.port());
  controller->matchPath(screenshot("Picture 5.png", "first"));
  const auto first = controller->currentConnection();
  ASSERT_TRUE(spinUntil([&] { return server.requests().size() == 1; }));

  // A file that cannot be read leaves the upload in flight alone.
  controller->matchPath(environment.folder() + "/Picture 404.png");
  EXPECT_EQ(controller->currentConnection(), first);
  EXPECT_EQ(statusImageName(*controller), "KapshoStatus-Pending");

  controller->matchPath(screenshot("Picture 6.png", "second"));
  const auto second = controller->currentConnection();
  ASSERT_TRUE(second && second != first);

  // Late events of the replaced exchange decide nothing.
  const auto request = platform::NSMutableURLRequest::requestWithURL(
      *platform::NSURL::URLWithString("http://x/"), platform::NSURLRequestReloadIgnoringCacheData,
      60);
  const platform::NSHTTPURLResponse redirect(302, {{"Location", "http://x/5"}}), ok(200, {});
  EXPECT_FALSE(controller->connectionWillSendRequest(*first, request, &redirect));
  controller->connectionDidReceiveResponse(*first, ok);
  controller->connectionDidFailWithError(*first,
                                         platform::NSError("NSURLErrorDomain", -1004, "no"));
  EXPECT_EQ(controller->currentConnection(), second);
  EXPECT_EQ(statusImageName(*controller), "KapshoStatus-Pending");
  EXPECT_FALSE(controller->statusError());

  ASSERT_TRUE(spinUntil([&] { return clipboard() == "http://x/6"; }));
  EXPECT_EQ(looksUntilIdle(), (std::vector<std::string>{"KapshoStatus-Finished", "KapshoStatus"}));
  EXPECT_EQ(recentImages()->size(), 1u);
  EXPECT_EQ(answered, 1);
}

TEST_F(UploadTest, TheListKeepsTheTenNewestRecords) {
  startAgent(testing_support::freeLocalPort());
  auto records = [](size_t count) {
    platform::Array list;
    for (size_t i = 0; i < count; ++i)
      list.emplace_back(uploadRecord("http://x/" + std::to_string(i), "2008-03-14 15:09:26 -0700"));
    return list;
  };
  const struct {
    std::optional<platform::Value> stored;
    size_t length;
  } cases[] = {{std::nullopt, 1},
               {records(9), 10},
               {records(10), 10},
               {records(15), 10},
               {platform::Value("not a list"), 1}};
  for (const auto& c : cases) {
    if (c.stored)
      NSUserDefaults::standardUserDefaults().setObject(*c.stored, RecentImageUploadsKey);
    else
      NSUserDefaults::standardUserDefaults().removeObjectForKey(RecentImageUploadsKey);
    controller->finishedUpload(*platform::NSURL::URLWithString("http://new/"));
    const auto list = recentImages();
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), c.length);
    EXPECT_EQ(*(*list)[0].dictionary()->at("url").string(), "http://new/");
    if (c.length == 10) {
      EXPECT_EQ(*(*list)[9].dictionary()->at("url").string(), "http://x/8");
    }
    EXPECT_EQ(clipboard(), "http://new/");
  }
}

}  // namespace
