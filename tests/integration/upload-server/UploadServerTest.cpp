// kapsho-upload-server as the agent and as an attacker meet it: the real binary on a loopback port,
// real curl, and raw sockets for what curl will not send.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <filesystem>
#include <latch>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/support/LoopbackSocket.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kServer = stagePath("bin/kapsho-upload-server");
// Far below what the uploads and bodies sent here would take if the server held them.
constexpr long kMemoryCapKiB = 100 * 1024;
const std::string kChallenge = "Basic realm=\"kapsho-upload-server\", charset=\"UTF-8\"";

struct Reply {
  int status = 0;
  std::string headers, body;
  // The first value of the header field, "" without one.
  std::string header(const std::string& name) const {
    const auto at = headers.find("\r\n" + name + ": ");
    if (at == std::string::npos) return {};
    const auto start = at + name.size() + 4;
    return headers.substr(start, headers.find("\r\n", start) - start);
  }
};

Reply parsed(std::string answer) {
  // An interim "100 Continue" may come before the answer to a large body.
  while (answer.starts_with("HTTP/1.1 100 ")) answer.erase(0, answer.find("\r\n\r\n") + 4);
  const auto end = answer.find("\r\n\r\n");
  if (answer.size() < 12 || end == std::string::npos) return {};
  return {std::stoi(answer.substr(9, 3)), answer.substr(0, end + 2), answer.substr(end + 4)};
}

Reply curl(std::vector<std::string> args) {
  args.insert(args.begin(), {"curl", "-s", "-i", "--max-time", "20"});
  return parsed(runCommand(args).out);
}

// The name the bytes are stored under, without its extension.
std::string nameOf(const std::string& bytes) {
  return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
      .toHex()
      .left(32)
      .toStdString();
}

// Only images are taken: these bytes after a PNG signature pass for one.
std::string png(const std::string& bytes) {
  return "\x89PNG\r\n\x1a\n" + bytes;
}

// Bytes that stress a multipart parser: every byte value, line breaks and boundary look-alikes.
std::string awkwardBytes(std::size_t size, char seed) {
  std::string bytes;
  for (std::size_t i = 0; bytes.size() < size; ++i)
    bytes += i % 97 == 0 ? std::string("\r\n--") : std::string(1, static_cast<char>(i * 31 + seed));
  return bytes.substr(0, size);
}

// The agent's upload of these bytes on its own connection, with this Authorization when given.
std::string agentRequest(int port, const std::string& bytes, const std::string& authorization) {
  auto request = agentUpload(port, bytes.size());
  if (!authorization.empty())
    request.head.insert(request.head.size() - 2, "Authorization: " + authorization + "\r\n");
  return request.whole(bytes);
}

std::string basic(const std::string& credentials) {
  return "Basic " + QByteArray::fromStdString(credentials).toBase64().toStdString();
}

// Sends a byte of a never-ending request head to each socket every 100 ms until destroyed.
std::jthread trickle(std::vector<std::unique_ptr<LoopbackSocket>>& sockets) {
  return std::jthread([&sockets](std::stop_token stop) {
    for (auto& socket : sockets) socket->send("GET /slow HTTP/1.1\r\nX-Slow: ");
    while (!stop.stop_requested()) {
      for (auto& socket : sockets) socket->send("a");
      std::this_thread::sleep_for(100ms);
    }
  });
}

class UploadServerTest : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{kServer, "--port", std::to_string(port), "--data-dir", data};
    argv.insert(argv.end(), extra.begin(), extra.end());
    server = std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{}, "",
                                            dir.file("server.log"));
    ASSERT_TRUE(waitUntil([&] { return LoopbackSocket(port).connected(); }));
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }
  // Posts the bytes as the agent's form does, through curl.
  Reply upload(const std::string& bytes, const std::string& fileName = "shot.png",
               std::vector<std::string> args = {}) const {
    writeFile(dir.file("upload"), bytes);
    args.insert(args.end(), {"-F", "app_upload=Upload", "-F",
                             "userfile=@" + dir.file("upload") + ";filename=" + fileName,
                             url("/app_upload.php")});
    return curl(args);
  }
  std::size_t storedFiles() const {
    return std::distance(fs::directory_iterator(data), fs::directory_iterator());
  }
  // A request's line is written once its connection has closed, which may be after its answer.
  bool logged(const std::string& line) const {
    return waitUntil([&] { return log().find("] " + line + "\n") != std::string::npos; });
  }
  std::string log() const { return readFile(dir.file("server.log")).value_or(""); }
  long peakMemoryKiB() const { return processMemoryKiB(server->pid(), "VmHWM").value_or(-1); }

  TempDir dir;
  const std::string data = dir.file("uploads");
  const int port = freeLocalPort();
  std::unique_ptr<ChildProcess> server;
};

TEST_F(UploadServerTest, StoresOnlyImagesUnderTheirHashAndServesThemAsTheirBytesShow) {
  start({"--base-url", "http://shots.example/k/"});
  using namespace std::string_literals;
  const struct {
    std::string bytes, fileName;
    int status;
    std::string suffix, contentType;
  } cases[] = {
      {png(awkwardBytes(300000, 7)), "Screen Shot.PNG", 302, ".png", "image/png"},
      {png("x"), "Écran %22quoted%22.png", 302, ".png", "image/png"},
      {"\xff\xd8\xff\xe0 JFIF", "shot.JPEG", 302, ".jpeg", "image/jpeg"},
      {"GIF87a\x01\0\x01\0"s, "line%0Abreak.p%0Ang", 302, "", "image/gif"},
      {"GIF89a\x01\0\x01\0"s, "x.abcdefghijklmnopq", 302, "", "image/gif"},
      {"II*\0\x08\0\0\0"s, "scan.tif", 302, ".tif", "image/tiff"},
      {"MM\0*\0\0\0\x08"s, "page.html", 302, ".html", "image/tiff"},
      {"BM\x3a\0\0\0\0\0\0\0\x36\0\0\0"s, "bitmap.bmp", 302, ".bmp", "image/bmp"},
      {"RIFF\x24\0\0\0WEBPVP8 "s, "shot.webp", 302, ".webp", "image/webp"},
      {"not really an image", "shot.png", 415, "", ""},
      {"<svg onload=alert(1)>", "shot.svg", 415, "", ""},
      {"BMW, not a bitmap", "bmw.bmp", 415, "", ""},
      {"RIFF\x24\0\0\0WAVEfmt "s, "sound.webp", 415, "", ""},
      {"GIF88a\x01\0\x01\0"s, "shot.gif", 415, "", ""},
      {"\x89PNG", "cut.png", 415, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileName);
    const std::string name = nameOf(c.bytes) + c.suffix;
    ASSERT_EQ(upload(c.bytes, c.fileName).status, c.status);
    if (c.status != 302) continue;
    EXPECT_EQ(upload(c.bytes, c.fileName).header("Location"), "http://shots.example/k/i/" + name);
    EXPECT_EQ(fs::status(data + "/" + name).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    // A range is not served: the answer is the whole file.
    const Reply served = curl({"-r", "1-2", url("/i/" + name)});
    EXPECT_EQ(served.status, 200);
    EXPECT_TRUE(served.body == c.bytes) << "served bytes differ from the upload";
    EXPECT_EQ(served.header("Content-Type"), c.contentType);
    EXPECT_EQ(
        served.header("Content-Security-Policy") + " " + served.header("X-Content-Type-Options"),
        "default-src 'none'; sandbox nosniff");
  }
  EXPECT_EQ(storedFiles(), 9u) << "a refused file was kept, or stored bytes stored twice";
  const std::string first = nameOf(cases[0].bytes) + ".png";
  const Reply head = curl({"-I", url("/i/" + first)});
  EXPECT_EQ(head.header("Content-Length"), "300008");
  EXPECT_TRUE(head.status == 200 && head.body.empty());
  EXPECT_TRUE(logged("127.0.0.1 POST /app_upload.php 302 stored " + first + " (300008 bytes)"));
  EXPECT_TRUE(
      logged("127.0.0.1 POST /app_upload.php 415 only PNG, JPEG, GIF, TIFF, BMP and WebP images "
             "are taken"));
}

// Each refused request gets its answer within 2 s, holding no memory, while a normal upload goes
// on; the hostile ones are sent on and on.
TEST_F(UploadServerTest, RefusesMalformedAndHostileRequestsAtOnceWhileUploadsGoOn) {
  start({"--max-bytes", "1000000"});
  writeFile(dir.file("secret.png"), "secret");
  const std::string picture = png("a picture"), image = "/i/" + nameOf(picture) + ".png";
  const auto repeat = [](const std::string& piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
  };
  const auto get = [](const std::string& target) { return "GET " + target + " HTTP/1.1\r\n"; };
  const std::string postLine = "POST /app_upload.php HTTP/1.1\r\n",
                    form = "Content-Type: multipart/form-data; boundary=XYZ\r\n";
  // An upload with these header lines, framed by its body's length.
  const auto post = [&](const std::string& headers, const std::string& body) {
    return postLine + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
  };
  // A form's body of parts given by their Content-Disposition parameters and their bytes.
  const auto parts = [](const std::vector<std::pair<std::string, std::string>>& list) {
    std::string body;
    for (const auto& [disposition, bytes] : list)
      body +=
          "--XYZ\r\nContent-Disposition: form-data; " + disposition + "\r\n\r\n" + bytes + "\r\n";
    return body + "--XYZ--\r\n";
  };
  const std::string app = "name=\"app_upload\"", file = "name=\"userfile\"; filename=\"a.png\"";
  const std::string bait = "--XYZ\r\nContent-Disposition: form-data; name=\"userfile\"" +
                           repeat("; filename=\"", 65000) + "\r\n\r\nx\r\n--XYZ--\r\n";
  const std::string chunk = "100000\r\n" + std::string(0x100000, 'z') + "\r\n";
  const struct {
    const char* what;
    std::string request;
    // Sent after the request, again and again, until the server closes or 256 MB went.
    std::string endless;
    int status;
    std::string allow = "";
  } cases[] = {
      {"not multipart", post("Content-Type: application/x-www-form-urlencoded\r\n", "a=b"), "",
       400},
      {"no boundary", post("Content-Type: multipart/form-data\r\n", parts({{app, "Upload"}})), "",
       400},
      // Cut off in the file's bytes.
      {"truncated", post(form, parts({{app, "Upload"}, {file, picture}}).substr(0, 150)), "", 400},
      {"no app_upload", post(form, parts({{file, picture}})), "", 400},
      {"wrong app_upload", post(form, parts({{app, "upload"}, {file, picture}})), "", 400},
      {"no userfile", post(form, parts({{app, "Upload"}})), "", 400},
      {"empty userfile", post(form, parts({{app, "Upload"}, {file, ""}})), "", 400},
      {"chunked", postLine + form + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "", 411},
      {"GET upload", get("/app_upload.php") + "\r\n", "", 405, "POST"},
      {"POST image", "POST " + image + " HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", "", 405,
       "GET, HEAD"},
      {"unknown path", get("/upload") + "\r\n", "", 404},
      {"unknown image", get("/i/0123456789abcdef0123456789abcdef.png") + "\r\n", "", 404},
      {"escape", get("/i/../secret.png") + "\r\n", "", 404},
      {"encoded escape", get("/i/%2e%2e%2fsecret.png") + "\r\n", "", 404},
      {"upper-case name", get("/i/0123456789ABCDEF0123456789ABCDEF.png") + "\r\n", "", 404},
      {"regex-bait part header", post(form, bait), "", 400},
      {"PRI with a huge chunked body", "PRI / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
       chunk, 404},
      {"gzip body",
       postLine + "Content-Encoding: gzip\r\n" + form + "Content-Length: 1000000\r\n\r\n",
       std::string(1000, '\x1f'), 415},
      {"header flood", get("/"), "X-Flood: y\r\n", 431},
      {"many small headers", get(image) + repeat("X: y\r\n", 65) + "\r\n", "", 431},
      {"request line of megabytes", get("/" + std::string(4 << 20, 'a')) + "\r\n", "", 414},
      // On a route that would answer them, so that only the framing check refuses them.
      {"two lengths", get(image) + "Content-Length: 5\r\nContent-Length: 50\r\n\r\n12345", "", 400},
      {"length and chunked",
       get(image) +
           "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n12345\r\n0\r\n\r\n",
       "", 400},
      {"gzip transfer", get(image) + "Transfer-Encoding: gzip\r\n\r\n", "", 400},
      {"smuggled GET after a refused upload",
       postLine + form + "Content-Length: 1000001\r\n\r\n" + get(image) + "\r\n", "", 413},
      {"100-continue over the limit",
       postLine + "Expect: 100-continue\r\n" + form + "Content-Length: 2000000\r\n\r\n", "", 413},
      {"control bytes in the target", get("/i/\x1b]2;owned\x07") + "\r\n", "", 404},
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
    EXPECT_EQ(upload(picture).status, 302) << "a normal upload waited on the attacker";
    const std::string answer = attacker.receive(2s);
    flood.join();
    EXPECT_EQ(statusLine(answer).substr(0, 12), "HTTP/1.1 " + std::to_string(c.status));
    EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << "a second answer came: " << answer;
    EXPECT_EQ(parsed(answer).header("Allow"), c.allow);
    EXPECT_EQ(parsed(answer).header("Connection"), "close");
  }
  EXPECT_EQ(storedFiles(), 1u) << "a refused request left a file";
  EXPECT_LT(peakMemoryKiB(), kMemoryCapKiB);
  EXPECT_TRUE(logged("127.0.0.1 POST /app_upload.php 400 malformed multipart body"));
  EXPECT_TRUE(logged("127.0.0.1 GET /i/\\x1b]2;owned\\x07 404 no such image"));
  EXPECT_EQ(log().find('\x1b'), std::string::npos);
}

TEST_F(UploadServerTest, SlowClientsNeitherHoldServiceNorOutliveTheirDeadline) {
  start({"--request-timeout", "2"});
  std::vector<std::unique_ptr<LoopbackSocket>> slow;
  for (int i = 0; i < 12; ++i) slow.push_back(std::make_unique<LoopbackSocket>(port));
  const std::jthread trickler = trickle(slow);
  EXPECT_EQ(upload(png("a picture")).status, 302);
  // An upload sent a byte at a time, but whole within the deadline, is stored whole.
  LoopbackSocket paced(port);
  const std::string bytes = png("slow bytes");
  for (const char byte : agentRequest(port, bytes, "")) {
    paced.send(std::string(1, byte));
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(statusLine(paced.receive()), "HTTP/1.1 302 Found");
  EXPECT_EQ(curl({url("/i/" + nameOf(bytes) + ".png")}).body, bytes);
  // They never go quiet, so only the whole request's deadline ends them.
  EXPECT_TRUE(waitUntil([&] {
    return std::all_of(slow.begin(), slow.end(), [](auto& s) { return s->closedByServer(); });
  }));
  EXPECT_TRUE(logged("127.0.0.1 - /slow - cut off: no whole request within 2 s"));
}

TEST_F(UploadServerTest, LimitsConnectionsPerClientAndOverall) {
  start({"--max-per-client", "2", "--max-connections", "4"});
  // An upload whose head the server has taken ("100 Continue") holds its connection; a refused one
  // is closed. A closed connection gives its place back a moment later, hence the retries.
  const auto hold = [&](const std::string& from) {
    auto socket = std::make_unique<LoopbackSocket>(port, from);
    socket->send(
        "POST /app_upload.php HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 9\r\n"
        "Content-Type: multipart/form-data; boundary=XYZ\r\n\r\n");
    const bool held = statusLine(socket->receive(5s, "\r\n\r\n")) == "HTTP/1.1 100 Continue";
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
  EXPECT_TRUE(waitUntil([&] { return upload(png("a picture")).status == 302; }));
}

TEST_F(UploadServerTest, StopsWithinItsGraceAndFinishesUploadsInFlight) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    start();
    std::vector<std::unique_ptr<LoopbackSocket>> slow;
    slow.push_back(std::make_unique<LoopbackSocket>(port));
    const std::jthread trickler = trickle(slow);
    LoopbackSocket uploading(port);
    const std::string bytes = png("12345");
    auto request = agentUpload(port, bytes.size());
    request.head.insert(request.head.size() - 2, "Expect: 100-continue\r\n");
    ASSERT_TRUE(uploading.send(request.head));
    ASSERT_EQ(statusLine(uploading.receive(10s, "\r\n\r\n")), "HTTP/1.1 100 Continue");

    ASSERT_EQ(kill(server->pid(), signal), 0);
    EXPECT_TRUE(waitUntil([&] { return !LoopbackSocket(port).connected(); }));
    uploading.send(request.partsBefore + bytes + request.partsAfter);
    EXPECT_EQ(statusLine(uploading.receive()), "HTTP/1.1 302 Found");
    const auto status = server->wait(8s);
    ASSERT_TRUE(status) << "a slow client held the stop";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  }
}

TEST_F(UploadServerTest, NamesAreNeverTakenOverOrFollowedOutOfTheFolder) {
  const std::string secret = dir.file("secret"), bytes = png("an image whose name is taken");
  writeFile(secret, "not for the web");
  const std::string planted = nameOf("not for the web") + ".png", taken = nameOf(bytes) + ".png";
  fs::create_directories(data);
  fs::create_symlink(secret, data + "/" + planted);
  fs::create_symlink(secret, data + "/" + taken);
  mkfifo((data + "/" + std::string(32, 'f') + ".png").c_str(), 0600);
  writeFile(data + "/.incoming-Ab12Cd", "left by a crash");
  writeFile(data + "/0123456789abcdef.png", "given out with a 64-bit name");
  start();
  const Reply legacy = curl({url("/i/0123456789abcdef.png")});
  EXPECT_EQ(legacy.body, "given out with a 64-bit name");
  EXPECT_EQ(legacy.header("Content-Type"), "application/octet-stream");

  EXPECT_FALSE(fs::exists(data + "/.incoming-Ab12Cd"));
  EXPECT_EQ(curl({url("/i/" + planted)}).status, 404);
  EXPECT_EQ(curl({url("/i/" + std::string(32, 'f') + ".png")}).status, 404);
  EXPECT_EQ(upload(bytes).status, 409);
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
  const Reply reply = parsed(socket.receive(120s));
  ASSERT_EQ(reply.status, 302);
  EXPECT_LT(peakMemoryKiB(), kMemoryCapKiB);
  const std::string stored = data + reply.header("Location").substr(url("/i").size());
  EXPECT_EQ(fs::file_size(stored), kSize);
  EXPECT_EQ(stored, data + "/" + runCommand({"sha256sum", stored}).out.substr(0, 32) + ".png");
}

TEST_F(UploadServerTest, BadUsageExitsWithStatusOne) {
  using namespace std::string_literals;
  for (const std::string& usage :
       {"--bogus"s, "--port x"s, "--port 70000"s, "--port"s, "stray"s, "--max-bytes 0"s,
        "--base-url ftp://x/"s, "--max-connections 0"s, "--max-per-client -1"s,
        "--request-timeout 5000000000"s, "--bind 300.1.2.3"s, "--rate 5"s, "--rate 5/sec"s,
        "--rate 0/min"s, "--users "s + dir.file("missing")}) {
    std::vector<std::string> argv{kServer, "--data-dir", data};
    std::istringstream words(usage);
    for (std::string word; words >> word;) argv.push_back(word);
    const CommandResult result = runCommand(argv, 5s);
    EXPECT_EQ(result.exitCode, 1) << usage;
    EXPECT_TRUE(result.err.starts_with("kapsho-upload-server: ")) << usage;
  }
  EXPECT_EQ(runCommand({kServer, "--help"}).exitCode, 0);
  // Without --data-dir it stores under the user's data folder.
  ChildProcess defaults({kServer, "--port", std::to_string(port)},
                        {{"XDG_DATA_HOME", dir.file("share")}}, "", dir.file("server.log"));
  ASSERT_TRUE(waitUntil([&] { return LoopbackSocket(port).connected(); }));
  EXPECT_TRUE(fs::is_directory(dir.file("share/kapsho/uploads")));
  const CommandResult taken =
      runCommand({kServer, "--port", std::to_string(port), "--data-dir", data}, 5s);
  EXPECT_EQ(taken.exitCode, 1);
  EXPECT_NE(taken.err.find("cannot listen on 127.0.0.1 port " + std::to_string(port) +
                           ": Address already in use"),
            std::string::npos)
      << taken.err;
}

// A hundred clients, each from an address of its own, upload at the same moment; one in ten has no
// token, a wrong one or another scheme. Served images stay public.
TEST_F(UploadServerTest, OnlyListedUsersUploadAndEachClientOnlySoOftenAMinute) {
  writeFile(dir.file("users"), "alice:right\nbob:to:ken\n");
  chmod(dir.file("users").c_str(), 0600);
  start({"--users", dir.file("users")});
  const std::string refused[] = {"", basic("alice:wrong"), basic("carol:right"), "Bearer right"};
  struct Client {
    std::string authorization, bytes, reply;
  };
  std::vector<Client> clients(100);
  for (std::size_t i = 0; i < clients.size(); ++i)
    clients[i] = {i % 10 ? basic(i % 2 ? "alice:right" : "bob:to:ken") : refused[i / 10 % 4],
                  png(awkwardBytes(20000, static_cast<char>(i)) + std::to_string(i)), ""};
  std::latch ready(static_cast<std::ptrdiff_t>(clients.size()));
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < clients.size(); ++i)
    threads.emplace_back([&, i] {
      LoopbackSocket socket(port, "127.0.1." + std::to_string(i + 1));
      ready.arrive_and_wait();
      socket.send(agentRequest(port, clients[i].bytes, clients[i].authorization));
      clients[i].reply = socket.receive(30s);
    });
  for (auto& thread : threads) thread.join();
  for (std::size_t i = 0; i < clients.size(); ++i) {
    SCOPED_TRACE(clients[i].authorization);
    const Reply reply = parsed(clients[i].reply);
    EXPECT_EQ(reply.status, i % 10 ? 302 : 401);
    EXPECT_EQ(reply.header("WWW-Authenticate"), i % 10 ? "" : kChallenge);
    if (i % 10) {
      EXPECT_EQ(curl({reply.header("Location")}).body, clients[i].bytes);
    }
  }
  EXPECT_EQ(storedFiles(), 90u) << "an unauthorised upload left a file";
  EXPECT_TRUE(logged("127.0.1.2 POST /app_upload.php 302 stored " + nameOf(clients[1].bytes) +
                     ".png (20009 bytes) for alice"));

  // Each client only so often a minute; a refused upload counts too, so that tokens cannot be
  // guessed at any rate.
  start({"--users", dir.file("users"), "--rate", "2/min"});
  const std::vector<std::string> alice = {"-u", "alice:right"};
  EXPECT_EQ(upload(png("a picture")).status, 401);
  EXPECT_EQ(upload(png("a picture"), "shot.png", alice).status, 302);
  const Reply over = upload(png("a picture"), "shot.png", alice);
  EXPECT_EQ(over.status, 429);
  // The first upload's minute, less the moments since.
  const int wait = std::atoi(over.header("Retry-After").c_str());
  EXPECT_TRUE(wait > 50 && wait <= 60) << over.headers;
  EXPECT_TRUE(logged(
      "127.0.0.1 POST /app_upload.php 429 too many uploads from 127.0.0.1; the next is taken in " +
      std::to_string(wait) + " s"));
  LoopbackSocket other(port, "127.0.0.2");
  ASSERT_TRUE(other.send(agentRequest(port, png("from elsewhere"), basic("alice:right"))));
  EXPECT_EQ(statusLine(other.receive()), "HTTP/1.1 302 Found");
  EXPECT_EQ(curl({url("/i/" + nameOf(png("a picture")) + ".png")}).status, 200);
}

}  // namespace
