// Who may upload what to kapsho-upload-server: only images, only listed users when it has a users
// file, only so many uploads a minute from one client.
#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "tests/integration/upload-server/UploadServerFixture.h"

namespace {

using namespace testing_support;
using namespace upload_server_testing;

const std::string kChallenge = "Basic realm=\"kapsho-upload-server\", charset=\"UTF-8\"";

TEST_F(UploadServerTest, TakesOnlyImagesAndServesThemAsTheirBytesShow) {
  start();
  using namespace std::string_literals;
  const struct {
    std::string bytes, fileName;
    int status;
    std::string suffix, contentType;
  } cases[] = {
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
    const std::string file = dir.file("bytes");
    writeFile(file, c.bytes);
    const Reply stored = upload(file, c.fileName);
    EXPECT_EQ(stored.status, c.status);
    if (c.status != 302) continue;
    EXPECT_EQ(stored.header("Location"), url("/i/" + sha256Name(file) + c.suffix));
    const Reply served = curl({stored.header("Location")});
    EXPECT_EQ(served.header("Content-Type"), c.contentType);
    EXPECT_EQ(
        served.header("Content-Security-Policy") + " " + served.header("X-Content-Type-Options"),
        "default-src 'none'; sandbox nosniff");
  }
  EXPECT_EQ(storedFiles(), 8u) << "a refused file was kept";
  EXPECT_TRUE(
      logged("127.0.0.1 POST /app_upload.php 415 only PNG, JPEG, GIF, TIFF, BMP and WebP images "
             "are taken"));
}

TEST_F(UploadServerTest, UploadsNeedTheTokenOfAListedUserWhileImagesStayPublic) {
  start({"--users", users("alice:right\nbob:to:ken\n")});
  const std::string good = dir.file("good.png");
  writeFile(good, png("a picture"));
  const struct {
    const char* what;
    std::vector<std::string> authorization;
    int status;
  } cases[] = {
      {"none", {}, 401},
      {"wrong token", {"-u", "alice:wrong"}, 401},
      {"unknown user", {"-u", "carol:right"}, 401},
      {"another scheme", {"-H", "Authorization: Bearer right"}, 401},
      {"right token", {"-u", "alice:right"}, 302},
      {"a token with a colon", {"-u", "bob:to:ken"}, 302},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto args = c.authorization;
    args.insert(args.end(),
                {"-F", "app_upload=Upload", "-F", "userfile=@" + good, url("/app_upload.php")});
    const Reply reply = curl(args);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.header("WWW-Authenticate"), c.status == 401 ? kChallenge : "");
    EXPECT_EQ(storedFiles(), c.status == 401 ? 0u : 1u);
  }
  const std::string name = sha256Name(good) + ".png";
  EXPECT_EQ(curl({url("/i/" + name)}).body, readFile(good));
  EXPECT_TRUE(
      logged("127.0.0.1 POST /app_upload.php 302 stored " + name + " (17 bytes) for alice"));
}

TEST_F(UploadServerTest, LimitsUploadsPerClientAddressAndMinute) {
  start({"--rate", "2/min", "--users", users("alice:right\n")});
  const std::string good = dir.file("good.png");
  writeFile(good, png("a picture"));
  const auto asAlice = [&] {
    return curl({"-u", "alice:right", "-F", "app_upload=Upload", "-F", "userfile=@" + good,
                 url("/app_upload.php")});
  };
  // A refused upload counts too, so that tokens cannot be guessed at any rate.
  EXPECT_EQ(upload(good).status, 401);
  EXPECT_EQ(asAlice().status, 302);
  const Reply over = asAlice();
  EXPECT_EQ(over.status, 429);
  // The first upload's minute, less the moments since.
  const int wait = std::atoi(over.header("Retry-After").c_str());
  EXPECT_TRUE(wait > 50 && wait <= 60) << over.headers;
  EXPECT_TRUE(
      logged("127.0.0.1 POST /app_upload.php 429 too many uploads from 127.0.0.1; "
             "the next is taken in " +
             std::to_string(wait) + " s"));

  LoopbackSocket other(port, "127.0.0.2");
  ASSERT_TRUE(other.send(agentRequest(port, png("from elsewhere"), "alice:right")));
  EXPECT_EQ(statusLine(other.receive()), "HTTP/1.1 302 Found");
  EXPECT_EQ(curl({url("/i/" + sha256Name(good) + ".png")}).status, 200);
}

// A hundred clients, each from an address of its own, send at the same moment; one in ten has no
// or a wrong token.
TEST_F(UploadServerTest, AHundredClientsAtOnceStoreNoUnauthorisedByte) {
  start({"--users", users("alice:right\n")});
  struct Client {
    std::string credentials, bytes, reply;
  };
  std::vector<Client> clients(100);
  for (std::size_t i = 0; i < clients.size(); ++i)
    clients[i] = {i % 10   ? "alice:right"
                  : i % 20 ? "alice:wrong"
                           : "",
                  png(awkwardBytes(20000, static_cast<char>(i)) + std::to_string(i)), ""};
  std::latch ready(static_cast<std::ptrdiff_t>(clients.size()));
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < clients.size(); ++i)
    threads.emplace_back([&, i] {
      LoopbackSocket socket(port, "127.0.1." + std::to_string(i + 1));
      ready.arrive_and_wait();
      socket.send(agentRequest(port, clients[i].bytes, clients[i].credentials));
      clients[i].reply = socket.receive(std::chrono::seconds(30));
    });
  for (auto& thread : threads) thread.join();

  for (std::size_t i = 0; i < clients.size(); ++i) {
    SCOPED_TRACE(i);
    const Client& client = clients[i];
    if (client.credentials != "alice:right") {
      EXPECT_EQ(statusLine(client.reply), "HTTP/1.1 401 Unauthorized");
      EXPECT_NE(client.reply.find("\r\nWWW-Authenticate: " + kChallenge + "\r\n"),
                std::string::npos);
      continue;
    }
    ASSERT_EQ(statusLine(client.reply), "HTTP/1.1 302 Found");
    const std::string marker = "\r\nLocation: ";
    const auto at = client.reply.find(marker) + marker.size();
    EXPECT_EQ(curl({client.reply.substr(at, client.reply.find("\r\n", at) - at)}).body,
              client.bytes);
  }
  EXPECT_EQ(storedFiles(), 90u) << "an unauthorised upload left a file";
}

}  // namespace
