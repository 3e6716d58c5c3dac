// The per-client rate at exact moments and within its bounds; the store's promise that an
// address never changes what it serves, met where it can be broken: with names cut to one hex
// digit, so that different bytes meet under a taken name; the form reader fed every way a body
// can be cut; and the server's answer when its own code fails.
#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/LoopbackSocket.h"
#include "tests/support/TestSupport.h"
#include "tools/kapsho-upload-server/AccessControl.h"
#include "tools/kapsho-upload-server/FolderStore.h"
#include "tools/kapsho-upload-server/HttpServer.h"
#include "tools/kapsho-upload-server/Multipart.h"

namespace {

using namespace testing_support;
using namespace upload_server;
using namespace std::chrono_literals;
using namespace std::string_literals;

TEST(RateLimitTest, TakesNUploadsInAnyMinutePerClientAndHoldsABoundedTable) {
  RateLimit limit(2);
  const auto start = RateLimit::Clock::time_point() + 1h;
  // Who comes when, and the wait it is told. An IPv6 client is its /64; an IPv4 client is the
  // same written as a mapped IPv6 address.
  const std::tuple<const char*, std::chrono::milliseconds, std::optional<std::chrono::seconds>>
      steps[] = {
          {"10.0.0.1", 0ms, std::nullopt},
          {"::ffff:10.0.0.1", 10s, std::nullopt},
          {"10.0.0.1", 20s, 40s},
          {"10.0.0.2", 20s, std::nullopt},
          {"10.0.0.1", 59500ms, 1s},
          {"10.0.0.1", 60s, std::nullopt},
          {"2001:db8::1", 0ms, std::nullopt},
          {"2001:db8::ffff:2", 1s, std::nullopt},
          {"2001:db8::3", 2s, 58s},
          {"2001:db8:0:1::3", 2s, std::nullopt},
      };
  for (const auto& [client, at, wait] : steps)
    EXPECT_EQ(limit.admit(client, start + at), wait) << client << " at " << at.count() << " ms";

  // A flood of addresses in one minute: the table stops at its bound, and forgets the clients
  // unseen for longest, not the latest.
  for (int i = 0; i < 100000; ++i)
    limit.admit("10." + std::to_string(i >> 16) + "." + std::to_string(i >> 8 & 255) + "." +
                    std::to_string(i & 255),
                start + 61s);
  EXPECT_EQ(limit.clientsHeld(), RateLimit::kMaxClients);
  EXPECT_EQ(limit.admit("10.1.134.159", start + 62s), std::nullopt);
  EXPECT_EQ(limit.admit("10.1.134.159", start + 62s), 59s) << "the latest client was forgotten";
  // A minute later every client is idle: the next upload leaves only its own entry.
  limit.admit("10.9.9.9", start + 123s);
  EXPECT_EQ(limit.clientsHeld(), 1u);
}

StoreOutcome put(const ImageStore& store, const std::string& bytes) {
  std::string error;
  const auto file = store.receive(&error);
  EXPECT_TRUE(file && file->append(bytes.data(), bytes.size())) << error;
  return store.store(*file, ".png");
}

TEST(ImageStoreTest, ATakenNameKeepsItsBytesAndNamesTellApartTextsSharingTheirFirst64Bits) {
  TempDir dir;
  const FolderStore store(dir.path(), 1);
  // Both names begin with the hex digit c.
  const StoreOutcome first = put(store, "bytes 2");
  EXPECT_EQ(first.text, "c.png");
  EXPECT_EQ(put(store, "bytes 3").kind, StoreOutcome::Kind::NameTaken);
  EXPECT_EQ(readFile(dir.file(first.text)), "bytes 2");
  // The same bytes again are stored under their name.
  const StoreOutcome again = put(store, "bytes 2");
  EXPECT_TRUE(again.kind == StoreOutcome::Kind::Stored && again.text == first.text) << again.text;

  // Two texts that once met under their first 64 bits: whole names keep them apart.
  const FolderStore whole(dir.path());
  for (const std::string text :
       {"kapsho-collision-94f2061de101db1c", "kapsho-collision-76d771da58e1f76b"})
    EXPECT_EQ(readFile(dir.file(put(whole, text).text)), text);
}

// Records the parts as the reader hands them on, each as "name=bytes".
struct RecordedParts : PartSink {
  bool partBegins(const std::string& name) override {
    parts.push_back(name + "=");
    return true;
  }
  bool partBytes(const char* data, std::size_t size) override {
    parts.back().append(data, size);
    return true;
  }
  std::vector<std::string> parts;
};

TEST(MultipartTest, ReadsFormsAsTheRfcsWriteThemHoweverTheBodyIsCut) {
  // The Content-Type, the body, and the parts read ("" when the body is malformed).
  const std::tuple<const char*, std::string, std::string, std::vector<std::string>> forms[] = {
      {"plain",
       "multipart/form-data; boundary=BND",
       "--BND\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"
       "--BND\r\ncontent-disposition: form-data; filename=\"f.png\"; name=\"userfile\"\r\n"
       "Content-Type: image/png\r\n\r\n\r\n--\r\n--BN\r\n--BND--\r\n",
       {"a=1", "userfile=\r\n--\r\n--BN"}},
      {"preamble, padding, epilogue, odd parameters",
       "Multipart/Form-Data ; BOUNDARY=\"x y\"",
       "preamble\r\n--x y  \t\r\nContent-Disposition: form-data; NAME=userfile; name=\"no\"\r\n\r\n"
       "\xff\0\r\n--x y\r\nContent-Disposition: form-data; name=\"q\\\"t\"\r\n\r\n\r\n--x y--"
       "epilogue\r\n--x y\r\n"s,
       {"userfile=\xff\0"s, "q\"t="}},
      {"nameless parts",
       "multipart/form-data; boundary=B",
       "--B\r\nContent-Disposition: form-data\r\n\r\nx\r\n--B\r\n\r\ny\r\n"
       "--B\r\nContent-Disposition: form-data; filename=\"a\"; name=\"unclosed\r\n\r\nz\r\n--B--",
       {"=x", "=y", "=z"}},
      {"no closing boundary", "multipart/form-data; boundary=B", "--B\r\n\r\nx\r\n--B", {}},
      {"junk after a boundary", "multipart/form-data; boundary=B", "--B\r\n\r\nx\r\n--Bx\r\n", {}},
      {"headers past the cap",
       "multipart/form-data; boundary=B",
       "--B\r\nX: " + std::string(MultipartReader::kMaxPartHeader, 'h') + "\r\n\r\nx\r\n--B--",
       {}},
  };
  for (const auto& [what, contentType, body, expected] : forms) {
    const FormType type = formTypeOf(contentType);
    ASSERT_TRUE(type.isFormData && type.boundary) << what;
    // Whole, then cut once at every place (up to 200), then byte by byte.
    for (std::size_t cut = 0; cut <= std::min<std::size_t>(body.size(), 200) + 1; ++cut) {
      SCOPED_TRACE(std::string(what) + ", cut at " + std::to_string(cut));
      RecordedParts sink;
      MultipartReader reader(*type.boundary, sink);
      bool read = true;
      if (cut <= body.size()) {
        read = reader.read(body.data(), cut) && reader.read(body.data() + cut, body.size() - cut);
      } else {
        for (const char byte : body) read = read && reader.read(&byte, 1);
      }
      EXPECT_EQ(read && reader.complete(), !expected.empty()) << "well-formed or not";
      if (!expected.empty()) {
        EXPECT_EQ(sink.parts, expected);
      }
    }
  }
  // Only the whole media type is a form, and only a boundary of 1 to 70 bytes is usable.
  const std::tuple<const char*, bool, std::optional<std::string>> types[] = {
      {"multipart/form-dataX; boundary=B", false, std::nullopt},
      {"multipart/mixed; boundary=B", false, std::nullopt},
      {"multipart/form-data", true, std::nullopt},
      {"multipart/form-data; boundary=", true, std::nullopt},
      {"multipart/form-data; charset=utf-8; boundary=\"unclosed", true, std::nullopt},
      {"multipart/form-data; boundaryx=B; boundary= B ; boundary=C", true, "B"},
  };
  for (const auto& [contentType, isForm, boundary] : types) {
    const FormType type = formTypeOf(contentType);
    EXPECT_TRUE(type.isFormData == isForm && type.boundary == boundary) << contentType;
  }
  EXPECT_FALSE(formTypeOf("multipart/form-data; boundary=" + std::string(71, 'b')).boundary);
  EXPECT_TRUE(formTypeOf("multipart/form-data; boundary=" + std::string(70, 'b')).boundary);
}

// A handler whose code fails at each step of a request, as a bug of its own would.
struct FailingHandler : RequestHandler {
  struct Reader : BodyReader {
    explicit Reader(bool inConsume) : inConsume(inConsume) {}
    void consume(const char*, std::size_t) override {
      if (inConsume) throw std::runtime_error("consume\nfailed");
    }
    Reply finish() override { throw std::logic_error("finish failed"); }
    bool inConsume;
  };
  Start begin(const Request& request) override {
    if (request.path() == "/ok") return Reply::plain(200, "fine");
    if (request.path() == "/begin") throw std::out_of_range("begin failed");
    return std::make_unique<Reader>(request.path() == "/consume");
  }
};

TEST(HttpServerTest, AFaultOfItsOwnCodeIsA500ForThatRequestAloneWithOneLogLine) {
  FailingHandler handler;
  HttpServer server(handler, {8, 8, 10s});
  StderrCapture log;
  auto listener = listenOn("127.0.0.1", 0);
  ASSERT_TRUE(std::holds_alternative<Listener>(listener));
  const int port = std::get<Listener>(listener).port;
  ASSERT_EQ(server.start(std::move(std::get<Listener>(listener))), std::nullopt);
  const auto answer = [&](const std::string& path, const std::string& body) {
    LoopbackSocket socket(port);
    socket.send("POST " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\n\r\n" + body);
    return statusLine(socket.receive());
  };
  for (const char* path : {"/begin", "/consume", "/finish"})
    EXPECT_EQ(answer(path, std::string(100000, 'x')), "HTTP/1.1 500 Internal Server Error") << path;
  EXPECT_EQ(answer("/ok", ""), "HTTP/1.1 200 OK") << "the server did not go on serving";
  server.stop(0ms);
  const std::string lines = log.text();
  for (const char* line : {"127.0.0.1 POST /begin 500 internal error: begin failed\n",
                           "127.0.0.1 POST /consume 500 internal error: consume\\x0afailed\n",
                           "127.0.0.1 POST /finish 500 internal error: finish failed\n"})
    EXPECT_NE(lines.find(line), std::string::npos) << line << " not in:\n" << lines;
}

}  // namespace
