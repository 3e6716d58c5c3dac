// Uploads through custom uploader files against scripted loopback servers: each kind of answer and
// each body that carries an image, redirects followed as a browser follows them, every faulty file
// and answer failing with its line, and the uploader's secrets kept out of the log, the clipboard
// and the recent uploads.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/UploadersFolder.h"
#include "common/constants.h"
#include "platform/appkit/Pasteboard.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/Network.h"
#include "tests/unit/daemon/AgentFixture.h"

using namespace agent_testing;
using namespace testing_support;
using platform::NSUserDefaults;

namespace {

const std::string Png = std::string("\x89PNG\r\n\x1a\n", 8) + "pixels\r\n--KapshoFormBoundary0";
const std::string Token = "sekrit-token-123", Key = "argument-secret-1";

class CustomUploadTest : public ::testing::Test {
 protected:
  CustomUploadTest() {
    NSUserDefaults::standardUserDefaults().setObject("127.0.0.1:" + std::to_string(server.port()),
                                                     UploadHostKey);
    controller = std::make_unique<KapshoController>();
  }
  // Answers by the request's path; "/loop" sends it round again.
  std::optional<std::string> answer(const ReceivedRequest& request) {
    const std::string path = request.line().substr(request.line().find(' ') + 1);
    const std::string target = path.substr(0, path.find_first_of("? "));
    if (target == "/loop") return httpAnswer("302 Found", "Location: /loop\r\n");
    const auto found = answers.find(target);
    return found == answers.end() ? httpAnswer("404 Not Found") : found->second;
  }
  // Writes an uploader file of the newer syntax that sends to the path with a secret header and
  // the other fields given, names it in the settings and uploads a screenshot through it.
  void uploadThrough(const std::string& path, const std::string& fields) {
    writeFile(files.file("uploader.sxcu"),
              R"~({"Version": "14.0.0", "RequestURL": ")~" + server.url(path) +
                  R"~(", "Headers": {"Authorization": "Bearer )~" + Token + "\"}, " + fields + "}");
    setUploader(files.file("uploader.sxcu"));
    upload();
  }
  void setUploader(const platform::Value& setting) {
    NSUserDefaults::standardUserDefaults().setObject(setting, CustomUploaderKey);
  }
  void upload() {
    writeFile(environment.folder() + "/Picture 1.png", Png);
    controller->matchPath(environment.folder() + "/Picture 1.png");
  }
  // The look once the upload has its outcome, and the reset it armed.
  std::string outcome() {
    if (!spinUntil([&] { return !controller->currentConnection(); })) return "no outcome";
    const auto& timer = controller->statusTimer();
    return statusImageName(*controller) + " for " +
           (timer ? std::to_string(timer->timeInterval()) : "ever");
  }
  std::string clipboard() {
    return platform::NSPasteboard::generalPasteboard()
        .stringForType(platform::NSStringPboardType)
        .value_or("");
  }
  // The newest record's address and deletion address.
  std::string recent() {
    const auto list = NSUserDefaults::standardUserDefaults().arrayForKey(RecentImageUploadsKey);
    if (!list || list->empty()) return "none";
    const auto& record = *list->front().dictionary();
    const auto deletion = record.find(RecentImageDeletionURLKey);
    return *record.at("url").string() + " | " +
           (deletion == record.end() ? "none" : *deletion->second.string());
  }

  AgentEnvironment environment;
  StderrCapture log;
  TempDir files;
  std::map<std::string, std::string> answers;
  ScriptedServer server{[this](const ReceivedRequest& request) { return answer(request); }};
  std::unique_ptr<KapshoController> controller;
};

// The screenshot holds the first boundary a custom uploader tries, so its form takes the next.
const std::string Boundary = "KapshoFormBoundary1";

std::string part(const std::string& name, const std::string& value) {
  return "--" + Boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
         value + "\r\n";
}

std::string filePart(const std::string& name) {
  return "--" + Boundary + "\r\nContent-Disposition: form-data; name=\"" + name +
         "\"; filename=\"Picture 1.png\"\r\nContent-Type: image/png\r\n\r\n" + Png + "\r\n--" +
         Boundary + "--\r\n";
}

// Each kind of answer gives the address the template names to the clipboard and the recent list,
// with the deletion address where the file names one; the multipart and the binary body carry the
// screenshot's bytes as they are. An empty setting sends the built-in request.
TEST_F(CustomUploadTest, EachKindOfAnswerPutsTheAddressItsTemplateGivesOnTheClipboard) {
  ScriptedServer other([](const ReceivedRequest&) { return httpAnswer("200 OK", "", "<html>"); });
  const std::string at = "http://127.0.0.1:" + std::to_string(server.port());
  answers = {
      {"/app_upload.php", httpAnswer("302 Found", "Location: https://i.example/built-in.png\r\n")},
      {"/json", httpAnswer("201 Created", "",
                           R"~({"files": [{"url": "https://i.example/j.png",
                                           "delete": "https://i.example/d/j"}]})~")},
      {"/text", httpAnswer("200 OK", "", "https://i.example/t.png\r\n")},
      {"/header", httpAnswer("200 OK", "X-Image: https://i.example/h.png\r\n")},
      {"/r1", httpAnswer("307 Temporary Redirect", "Location: /r2\r\n")},
      {"/r2", httpAnswer("303 See Other", "Location: " + other.url("/final") + "\r\n")},
      {"/old", httpAnswer("302 Found", "Location: " + at + "/i/old.png\r\n")},
      {"/i/old.png", httpAnswer("200 OK", "", "image bytes")},
  };
  const struct {
    std::string path, fields, address, deletion;
  } rows[] = {
      {"", "", "https://i.example/built-in.png", "none"},
      {"/json",
       R"~("Body": "MultipartFormData", "FileFormName": "image", "Parameters": {"album": "a b"},
           "Arguments": {"key": ")~" +
           Key + R"~("}, "URL": "{json:files[0].url}", "DeletionURL": "{json:files[0].delete}")~",
       "https://i.example/j.png", "https://i.example/d/j"},
      {"/text", R"~("Body": "Binary", "URL": "")~", "https://i.example/t.png", "none"},
      {"/header", R"~("FileFormName": "f", "URL": "{header:X-Image}")~", "https://i.example/h.png",
       "none"},
      {"/r1", R"~("Body": "Binary", "URL": "{responseurl}")~", other.url("/final"), "none"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path + " " + row.fields);
    if (row.path.empty()) {
      setUploader("");
      upload();
    } else {
      uploadThrough(row.path, row.fields);
    }
    EXPECT_EQ(outcome(), "KapshoStatus-Finished for 2.000000");
    EXPECT_EQ(clipboard(), row.address);
    EXPECT_EQ(recent(), row.address + " | " + row.deletion);
  }
  // An older file, by a bare name in the uploaders' folder: its answer's Location is the last
  // redirect's, the image the redirect names fetched as a browser would, with GET.
  std::filesystem::create_directories(customUploadersFolder());
  writeFile(customUploadersFolder() + "/old.sxcu",
            R"~({"RequestURL": ")~" + at + R"~(/old", "FileFormName": "f",
                 "ResponseType": "LocationHeader"})~");
  setUploader("old.sxcu");
  upload();
  EXPECT_EQ(outcome(), "KapshoStatus-Finished for 2.000000");
  EXPECT_EQ(clipboard(), at + "/i/old.png");

  // What reached the servers, in order: the line, the type, the credentials and the body. 307
  // repeats the request, 303 turns it into a GET without a body, and the credentials stay with
  // their origin.
  std::vector<std::string> seen;
  for (const auto* from : {&server, &other})
    for (const auto& request : from->requests())
      seen.push_back(request.line() + " | " + request.header("Content-Type") + " | " +
                     request.header("Authorization") + " | " + request.body);
  ASSERT_EQ(seen.size(), 9u);
  EXPECT_TRUE(seen[0].starts_with(
      "POST /app_upload.php HTTP/1.1 | multipart/form-data; boundary=KapshoBoundary |  | "));
  const std::string form = "multipart/form-data; boundary=" + Boundary + " | Bearer " + Token,
                    png = "image/png | Bearer " + Token;
  EXPECT_EQ(std::vector(seen.begin() + 1, seen.end()),
            (std::vector<std::string>{
                "POST /json?album=a%20b HTTP/1.1 | " + form + " | " + part("key", Key) +
                    filePart("image"),
                "POST /text HTTP/1.1 | " + png + " | " + Png,
                "POST /header HTTP/1.1 | " + form + " | " + filePart("f"),
                "POST /r1 HTTP/1.1 | " + png + " | " + Png,
                "POST /r2 HTTP/1.1 | " + png + " | " + Png,
                "POST /old HTTP/1.1 | multipart/form-data; boundary=" + Boundary + " |  | " +
                    filePart("f"),
                "GET /i/old.png HTTP/1.1 |  |  | ",
                "GET /final HTTP/1.1 |  |  | ",
            }));
  EXPECT_EQ(log.text().find(Token), std::string::npos) << log.text();
}

// A faulty file, setting or answer fails the upload with one line saying what is wrong (each
// refusal of the reader is a row of its own unit test);
// nothing is copied or recorded, and a secret the server echoes is not logged. A failure before
// the exchange, or of the exchange itself, is held for the menu; a useless answer is not.
TEST_F(CustomUploadTest, EachFaultyFileSettingOrAnswerFailsWithALineSayingWhy) {
  answers = {
      {"/huge", httpAnswer("200 OK", "", std::string(100 << 20, 'x'))},
      {"/refused", httpAnswer("401 Unauthorized", "", R"~({"error": "bad key )~" + Key + "\"}")},
  };
  const std::string json = R"~("FileFormName": "f", "URL": "{json:url}",
                               "ErrorMessage": "{json:error}", "Arguments": {"k": ")~" +
                           Key + "\"}";
  const std::string path = files.file("uploader.sxcu"), custom = "Upload failed: custom uploader ";
  const struct {
    std::string path, fields, file, line;
    double interval;
  } rows[] = {
      {"", "", "{\"RequestURL\": ", custom + path + ": not JSON: unterminated object at offset 15",
       5},
      {"/huge", json, "", "Upload got 200 response: the answer is larger than 1048576 bytes", 2},
      {"/refused", json, "", "Upload got 401 response: bad key ***", 2},
      {"/loop", json, "", "Upload failed: too many HTTP redirects", 5},
  };
  const std::string clipboardBefore = clipboard();
  std::string held = "none";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    if (row.path.empty()) {
      writeFile(path, row.file);
      setUploader(path);
      upload();
    } else {
      uploadThrough(row.path, row.fields);
    }
    EXPECT_EQ(outcome(), "KapshoStatus-Error for " + std::to_string(row.interval));
    EXPECT_NE(log.text().find("] " + row.line + "\n"), std::string::npos) << log.text();
    if (row.interval == 5) held = row.line.substr(row.line.find(": ") + 2);
    const auto& error = controller->statusError();
    EXPECT_EQ(error ? error->localizedDescription() : "none", held);
  }
  EXPECT_EQ(server.requests().back().line(), "GET /loop HTTP/1.1");
  EXPECT_EQ(server.requests().size(), 2u + 6u) << "five redirects followed, no sixth";

  setUploader(files.file("absent.sxcu"));
  upload();
  EXPECT_EQ(outcome(), "KapshoStatus-Error for 5.000000");
  setUploader(platform::Value(true));
  upload();
  EXPECT_EQ(outcome(), "KapshoStatus-Error for 5.000000");
  const std::string lines = log.text();
  EXPECT_NE(lines.find("] " + custom + files.file("absent.sxcu") + ": cannot be read\n"),
            std::string::npos);
  EXPECT_NE(lines.find("] Upload failed: Custom Uploader: expected a file's path\n"),
            std::string::npos);
  EXPECT_EQ(lines.find(Key), std::string::npos) << lines;
  EXPECT_EQ(lines.find(Token), std::string::npos) << lines;
  EXPECT_EQ(lines.find("Copying URL"), std::string::npos) << lines;
  EXPECT_EQ(clipboard(), clipboardBefore);
  EXPECT_EQ(recent(), "none");
}

}  // namespace
