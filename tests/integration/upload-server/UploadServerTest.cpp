// kapsho-upload-server as the agent and as an attacker meet it: the real binary on a loopback
// port, real curl, and raw sockets for what curl will not send.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "tests/integration/upload-server/UploadServerFixture.h"

namespace {

using namespace testing_support;
using namespace upload_server_testing;
namespace fs = std::filesystem;

// Sends a byte of a never-ending request head to each socket every 100 ms until stopped.
class Trickle {
 public:
  explicit Trickle(std::vector<std::unique_ptr<LoopbackSocket>>& sockets)
      : thread_([this, &sockets] {
          for (auto& socket : sockets) socket->send("GET /slow HTTP/1.1\r\nX-Slow: ");
          while (!stop_) {
            for (auto& socket : sockets) socket->send("a");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
          }
        }) {}
  ~Trickle() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

TEST_F(UploadServerTest, StoresUnderTheContentHashAndServesTheBytesBack) {
  start({"--base-url", "http://shots.example/k/"});
  const std::string file = dir.file("Screen Shot.PNG");
  writeFile(file, png(awkwardBytes(300000, 7)));
  const std::string name = sha256Name(file) + ".png";

  const Reply stored = upload(file);
  EXPECT_EQ(stored.status, 302);
  EXPECT_EQ(stored.header("Location"), "http://shots.example/k/i/" + name);
  EXPECT_EQ(upload(file).header("Location"), stored.header("Location"));
  EXPECT_EQ(storedFiles(), 1u);
  EXPECT_EQ(fs::status(data + "/" + name).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);

  // A range is not served: the answer is the whole file.
  const Reply fetched = curl({"-r", "10-19", url("/i/" + name)});
  EXPECT_EQ(fetched.status, 200);
  EXPECT_EQ(fetched.header("Content-Type"), "image/png");
  EXPECT_TRUE(fetched.body == readFile(file)) << "served bytes differ from the upload";
  const Reply head = curl({"-I", url("/i/" + name)});
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.header("Content-Length"), "300008");
  EXPECT_TRUE(head.body.empty());

  EXPECT_TRUE(logged("127.0.0.1 POST /app_upload.php 302 stored " + name + " (300008 bytes)"));
}

TEST_F(UploadServerTest, RefusesMalformedRequestsAndKeepsServing) {
  start({"--max-bytes", "4096"});
  const std::string good = dir.file("good.png"), big = dir.file("big.png");
  writeFile(good, png("small picture"));
  writeFile(big, png(awkwardBytes(5000, 1)));
  writeFile(dir.file("empty.png"), "");
  writeFile(dir.file("secret.png"), "secret");
  writeFile(dir.file("truncated"),
            "--XYZ\r\nContent-Disposition: form-data; name=\"app_upload\"\r\n\r\nUpload\r\n"
            "--XYZ\r\nContent-Disposition: form-data; name=\"userfile\"; filename=\"a.png\"\r\n"
            "\r\nhalf of a pic");
  const std::string multipart = "Content-Type: multipart/form-data",
                    xyz = multipart + ";boundary=XYZ";
  const std::string post = url("/app_upload.php"), app = "app_upload=Upload";
  const std::string image = url("/i/0123456789abcdef0123456789abcdef.png");
  const struct {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string allow;
  } cases[] = {
      {"not multipart", {"--data", app, post}, 400, ""},
      {"no boundary", {"-H", multipart, "--data-binary", "@" + good, post}, 400, ""},
      {"truncated", {"-H", xyz, "--data-binary", "@" + dir.file("truncated"), post}, 400, ""},
      {"no app_upload", {"-F", "userfile=@" + good, post}, 400, ""},
      {"wrong app_upload", {"-F", "app_upload=upload", "-F", "userfile=@" + good, post}, 400, ""},
      {"no userfile", {"-F", app, post}, 400, ""},
      {"empty userfile", {"-F", app, "-F", "userfile=@" + dir.file("empty.png"), post}, 400, ""},
      {"too large", {"-F", app, "-F", "userfile=@" + big, post}, 413, ""},
      {"chunked",
       {"-HTransfer-Encoding: chunked", "-F", app, "-F", "userfile=@" + good, post},
       411,
       ""},
      {"GET upload", {post}, 405, "POST"},
      {"POST image", {"-d", "x", image}, 405, "GET, HEAD"},
      {"unknown path", {url("/upload")}, 404, ""},
      {"unknown image", {image}, 404, ""},
      {"escape", {"--path-as-is", url("/i/../secret.png")}, 404, ""},
      {"encoded escape", {url("/i/%2e%2e%2fsecret.png")}, 404, ""},
      {"upper-case name", {url("/i/0123456789ABCDEF0123456789ABCDEF.png")}, 404, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Reply reply = curl(c.args);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.header("Allow"), c.allow);
    EXPECT_EQ(reply.header("Connection"), "close");
    EXPECT_TRUE(reply.body.size() > 1 && reply.body.find('\n') == reply.body.size() - 1)
        << "not a one-line reason: " << reply.body;
  }
  EXPECT_EQ(storedFiles(), 0u) << "a refused request left a file";
  EXPECT_EQ(upload(good).status, 302);
}

TEST_F(UploadServerTest, HostileRequestsGetTheirRefusalAtOnceWhileUploadsGoOn) {
  start({"--max-bytes", "1000000"});
  const std::string good = dir.file("good.png");
  writeFile(good, png("a picture"));
  const std::string image = "/i/" + sha256Name(good) + ".png";
  ASSERT_EQ(upload(good).status, 302);

  const auto repeat = [](const std::string& piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
  };
  const std::string post = "POST /app_upload.php HTTP/1.1\r\nHost: x\r\n";
  const std::string get = "GET " + image + " HTTP/1.1\r\nHost: x\r\n";
  const std::string bait = "--XYZ\r\nContent-Disposition: form-data; name=\"userfile\"" +
                           repeat("; filename=\"", 65000) + "\r\n\r\nx\r\n--XYZ--\r\n";
  const std::string smuggled = "GET " + image + " HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string chunk = "100000\r\n" + std::string(0x100000, 'z') + "\r\n";
  const struct {
    const char* what;
    std::string request;
    // Sent after the request, again and again, until the server closes or 256 MB went.
    std::string endless;
    std::string status;
  } cases[] = {
      {"regex-bait part header",
       post + "Content-Type: multipart/form-data; boundary=XYZ\r\nContent-Length: " +
           std::to_string(bait.size()) + "\r\n\r\n" + bait,
       "", "HTTP/1.1 400 Bad Request"},
      {"PRI with a huge chunked body", "PRI / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
       chunk, "HTTP/1.1 404 Not Found"},
      {"gzip body",
       post + "Content-Encoding: gzip\r\nContent-Type: multipart/form-data; boundary=XYZ\r\n"
              "Content-Length: 1000000\r\n\r\n",
       std::string(1000, '\x1f'), "HTTP/1.1 415 Unsupported Media Type"},
      {"header flood", "GET / HTTP/1.1\r\n", "X-Flood: y\r\n",
       "HTTP/1.1 431 Request Header Fields Too Large"},
      {"many small headers", "GET " + image + " HTTP/1.1\r\n" + repeat("X: y\r\n", 65) + "\r\n", "",
       "HTTP/1.1 431 Request Header Fields Too Large"},
      {"request line of megabytes", "GET /" + std::string(4 << 20, 'a') + " HTTP/1.1\r\n\r\n", "",
       "HTTP/1.1 414 URI Too Long"},
      // On a route that would answer them, so that only the framing check refuses them.
      {"two lengths", get + "Content-Length: 5\r\nContent-Length: 50\r\n\r\n12345", "",
       "HTTP/1.1 400 Bad Request"},
      {"length and chunked",
       get + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n12345\r\n0\r\n\r\n", "",
       "HTTP/1.1 400 Bad Request"},
      {"smuggled GET after a refused upload",
       post + "Content-Type: multipart/form-data; boundary=XYZ\r\nContent-Length: 1000001\r\n\r\n" +
           smuggled,
       "", "HTTP/1.1 413 Content Too Large"},
      {"100-continue over the limit",
       post + "Expect: 100-continue\r\nContent-Type: multipart/form-data; boundary=XYZ\r\n"
              "Content-Length: 2000000\r\n\r\n",
       "", "HTTP/1.1 413 Content Too Large"},
      {"control bytes in the target", "GET /i/\x1b]2;owned\x07 HTTP/1.1\r\n\r\n", "",
       "HTTP/1.1 404 Not Found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LoopbackSocket attacker(port);
    ASSERT_TRUE(attacker.connected());
    attacker.send(c.request);
    std::thread flood([&] {
      for (std::size_t sent = 0;
           !c.endless.empty() && sent < (256u << 20) && attacker.send(c.endless);)
        sent += c.endless.size();
    });
    EXPECT_EQ(upload(good).status, 302) << "a normal upload waited on the attacker";
    const std::string reply = attacker.receive(std::chrono::seconds(2));
    flood.join();
    EXPECT_EQ(statusLine(reply), c.status);
    EXPECT_EQ(reply.find("HTTP/1.1", 1), std::string::npos) << "a second answer came: " << reply;
  }
  EXPECT_LT(peakMemoryKiB(), kMemoryCapKiB);
  EXPECT_TRUE(logged("127.0.0.1 POST /app_upload.php 400 malformed multipart body"));
  EXPECT_TRUE(logged("127.0.0.1 GET /i/\\x1b]2;owned\\x07 404 no such image"));
  EXPECT_EQ(log().find('\x1b'), std::string::npos);
}

TEST_F(UploadServerTest, SlowClientsNeitherHoldServiceNorOutliveTheirDeadline) {
  start({"--request-timeout", "2"});
  std::vector<std::unique_ptr<LoopbackSocket>> slow;
  for (int i = 0; i < 12; ++i) slow.push_back(std::make_unique<LoopbackSocket>(port));
  const Trickle trickle(slow);
  const std::string good = dir.file("good.png");
  writeFile(good, png("a picture"));
  EXPECT_EQ(upload(good).status, 302);
  // An upload sent a byte at a time, but whole within the deadline, is stored whole.
  LoopbackSocket paced(port);
  const std::string slowBytes = png("slow bytes");
  for (const char byte : agentRequest(port, slowBytes)) {
    paced.send(std::string(1, byte));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(statusLine(paced.receive()), "HTTP/1.1 302 Found");
  writeFile(dir.file("slow.png"), slowBytes);
  EXPECT_EQ(curl({url("/i/" + sha256Name(dir.file("slow.png")) + ".png")}).body, slowBytes);
  // They never go quiet, so only the whole request's deadline ends them.
  EXPECT_TRUE(waitUntil([&] {
    return std::all_of(slow.begin(), slow.end(), [](auto& s) { return s->closedByServer(); });
  }));
  EXPECT_TRUE(logged("127.0.0.1 - /slow - cut off: no whole request within 2 s"));
}

TEST_F(UploadServerTest, LimitsConnectionsPerClientAndOverall) {
  start({"--max-per-client", "2", "--max-connections", "4"});
  // An upload whose head the server has taken ("100 Continue") holds its connection; a refused
  // one is closed. A closed connection gives its place back a moment later, hence the retries.
  const auto hold = [&](const std::string& from) {
    auto socket = std::make_unique<LoopbackSocket>(port, from);
    socket->send(
        "POST /app_upload.php HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 9\r\n"
        "Content-Type: multipart/form-data; boundary=XYZ\r\n\r\n");
    const bool held =
        statusLine(socket->receive(std::chrono::seconds(5), "\r\n\r\n")) == "HTTP/1.1 100 Continue";
    return held ? std::move(socket) : nullptr;
  };
  std::vector<std::unique_ptr<LoopbackSocket>> held;
  const auto take = [&](const std::string& from) {
    std::unique_ptr<LoopbackSocket> socket;
    if (!waitUntil([&] { return (socket = hold(from)) != nullptr; })) return false;
    held.push_back(std::move(socket));
    return true;
  };
  ASSERT_TRUE(take("127.0.0.2") && take("127.0.0.2"));
  EXPECT_EQ(hold("127.0.0.2"), nullptr) << "a third connection from one client was taken";
  ASSERT_TRUE(take("127.0.0.3") && take("127.0.0.4"));
  EXPECT_EQ(hold("127.0.0.5"), nullptr) << "a fifth connection was taken";

  held.pop_back();
  const std::string good = dir.file("good.png");
  writeFile(good, png("a picture"));
  EXPECT_TRUE(waitUntil([&] { return upload(good).status == 302; }));
}

TEST_F(UploadServerTest, StopsWithinItsGraceAndFinishesUploadsInFlight) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    start();
    std::vector<std::unique_ptr<LoopbackSocket>> slow;
    slow.push_back(std::make_unique<LoopbackSocket>(port));
    const Trickle trickle(slow);
    LoopbackSocket uploading(port);
    const std::string bytes = png("12345");
    auto request = agentUpload(port, bytes.size());
    request.head.insert(request.head.size() - 2, "Expect: 100-continue\r\n");
    ASSERT_TRUE(uploading.send(request.head));
    ASSERT_EQ(statusLine(uploading.receive(std::chrono::seconds(10), "\r\n\r\n")),
              "HTTP/1.1 100 Continue");

    ASSERT_EQ(kill(server->pid(), signal), 0);
    EXPECT_TRUE(waitUntil([&] { return !LoopbackSocket(port).connected(); }));
    uploading.send(request.partsBefore + bytes + request.partsAfter);
    EXPECT_EQ(statusLine(uploading.receive()), "HTTP/1.1 302 Found");
    const auto status = server->wait(std::chrono::seconds(8));
    ASSERT_TRUE(status) << "a slow client held the stop";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  }
}

TEST_F(UploadServerTest, NamesAreNeverTakenOverOrFollowedOutOfTheFolder) {
  const std::string secret = dir.file("secret"), bytes = dir.file("bytes.png");
  writeFile(secret, "not for the web");
  writeFile(bytes, png("an image whose name is taken"));
  const std::string planted = "/i/" + sha256Name(secret) + ".png";
  const std::string taken = sha256Name(bytes) + ".png";
  fs::create_directories(data);
  fs::create_symlink(secret, data + planted.substr(2));
  fs::create_symlink(secret, data + "/" + taken);
  mkfifo((data + "/" + std::string(32, 'f') + ".png").c_str(), 0600);
  writeFile(data + "/.incoming-Ab12Cd", "left by a crash");
  writeFile(data + "/0123456789abcdef.png", "given out with a 64-bit name");
  start();
  const Reply legacy = curl({url("/i/0123456789abcdef.png")});
  EXPECT_EQ(legacy.body, "given out with a 64-bit name");
  EXPECT_EQ(legacy.header("Content-Type"), "application/octet-stream");

  EXPECT_FALSE(fs::exists(data + "/.incoming-Ab12Cd"));
  EXPECT_EQ(curl({url(planted)}).status, 404);
  EXPECT_EQ(curl({url("/i/" + std::string(32, 'f') + ".png")}).status, 404);
  const Reply refused = upload(bytes);
  EXPECT_EQ(refused.status, 409);
  EXPECT_EQ(fs::read_symlink(data + "/" + taken), secret);
  EXPECT_TRUE(logged("127.0.0.1 POST /app_upload.php 409 refused: " + taken +
                     " already holds other bytes"));
}

TEST_F(UploadServerTest, StreamsA500MegabyteUploadInBoundedMemory) {
  start({"--max-bytes", "600000000"});
  constexpr std::size_t kSize = 500u << 20;
  const std::string piece = awkwardBytes(1 << 20, 3);
  const auto request = agentUpload(port, kSize, "huge.png");
  LoopbackSocket socket(port);
  ASSERT_TRUE(socket.send(request.head + request.partsBefore + png(piece.substr(8))));
  for (std::size_t sent = piece.size(); sent < kSize; sent += piece.size())
    ASSERT_TRUE(socket.send(piece));
  ASSERT_TRUE(socket.send(request.partsAfter));
  const std::string reply = socket.receive(std::chrono::seconds(120));
  ASSERT_EQ(statusLine(reply), "HTTP/1.1 302 Found");
  EXPECT_LT(peakMemoryKiB(), kMemoryCapKiB);

  const std::string location = "\r\nLocation: " + url("/i/");
  const auto at = reply.find(location) + location.size();
  const std::string stored = data + "/" + reply.substr(at, reply.find("\r\n", at) - at);
  EXPECT_EQ(fs::file_size(stored), kSize);
  EXPECT_EQ(stored, data + "/" + sha256Name(stored) + ".png");
}

TEST_F(UploadServerTest, StoresUnderXdgDataHomeByDefault) {
  ChildProcess defaults({kServer, "--port", std::to_string(port)},
                        {{"XDG_DATA_HOME", dir.file("share")}}, "", dir.file("server.log"));
  ASSERT_TRUE(waitUntil([&] { return LoopbackSocket(port).connected(); }));
  EXPECT_TRUE(fs::is_directory(dir.file("share/kapsho/uploads")));
}

TEST_F(UploadServerTest, BadUsageExitsWithStatusOne) {
  const std::vector<std::vector<std::string>> usages = {
      {"--bogus"},
      {"--port", "x"},
      {"--port", "70000"},
      {"--port"},
      {"stray"},
      {"--max-bytes", "0"},
      {"--base-url", "ftp://x/"},
      {"--max-connections", "0"},
      {"--max-per-client", "-1"},
      {"--request-timeout", "5000000000"},
      {"--bind", "not an address"},
      {"--rate", "5"},
      {"--rate", "0/min"},
      {"--users", dir.file("missing")},
  };
  for (const auto& usage : usages) {
    std::vector<std::string> argv{kServer, "--data-dir", data};
    argv.insert(argv.end(), usage.begin(), usage.end());
    const CommandResult result = runCommand(argv, std::chrono::seconds(5));
    EXPECT_EQ(result.exitCode, 1) << usage.front();
    EXPECT_NE(result.err.find("kapsho-upload-server: "), std::string::npos) << usage.front();
  }
  start();
  const CommandResult taken = runCommand(
      {kServer, "--port", std::to_string(port), "--data-dir", data}, std::chrono::seconds(5));
  EXPECT_EQ(taken.exitCode, 1);
  EXPECT_NE(taken.err.find("cannot listen on 127.0.0.1 port " + std::to_string(port) +
                           ": Address already in use"),
            std::string::npos)
      << taken.err;
  EXPECT_EQ(runCommand({kServer, "--help"}).exitCode, 0);
}

}  // namespace
