// kapsho-upload-server as the agent and as an attacker meet it: the real binary on a loopback port,
// spoken to byte for byte over raw sockets.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>
#include <latch>
#include <memory>
#include <thread>

#include "tests/support/LoopbackSocket.h"
#include "tests/support/Network.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
using namespace std::string_literals;
namespace fs = std::filesystem;

const std::string kServer = stagePath("bin/kapsho-upload-server");

int status(const std::string& answer) {
  return answer.starts_with("HTTP/1.1 ") ? std::atoi(answer.c_str() + 9) : 0;
}

// The value of a header field of an answer, "" without one.
std::string header(const std::string& answer, const std::string& name) {
  return ReceivedRequest{answer.substr(0, answer.find("\r\n\r\n") + 2), ""}.header(name);
}

// The name the bytes are stored under, without its extension.
std::string nameOf(const std::string& bytes) {
  const auto hash =
      QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256);
  return hash.toHex().left(32).toStdString();
}

// Only images are taken: bytes after a PNG signature pass for one.
const std::string kPng = "\x89PNG\r\n\x1a\n";

// Bytes that stress a multipart parser: every byte value, line breaks and boundary look-alikes.
std::string awkwardBytes(std::size_t size, char seed) {
  std::string bytes;
  for (std::size_t i = 0; bytes.size() < size; ++i)
    bytes += i % 97 == 0 ? "\r\n--"s : std::string(1, static_cast<char>(i * 31 + seed));
  return bytes.substr(0, size);
}

// The images in a data folder, beside which lie their deletion tokens' digests.
long imagesIn(const std::string& folder) {
  return std::count_if(fs::directory_iterator(folder), {}, [](const fs::directory_entry& entry) {
    return !entry.path().string().ends_with(".deletion");
  });
}

std::string basic(const std::string& credentials, const std::string& scheme = "Basic") {
  return scheme + " " + QByteArray::fromStdString(credentials).toBase64().toStdString();
}

class UploadServerTest : public ::testing::Test {
 protected:
  // Starts the server on a port it picks, which its first log line names.
  void start(std::vector<std::string> argv = {}) {
    server.reset();
    // Without --data-dir it stores under the user's data folder.
    argv.insert(argv.begin(), {kServer, "--port", "0"});
    // The last server's log must not be read for this one's.
    fs::remove(dir.file("server.log"));
    server.reset(
        new ChildProcess(argv, {{"XDG_DATA_HOME", dir.file("share")}}, "", dir.file("server.log")));
    port = loggedPort(dir.file("server.log"));
    ASSERT_NE(port, 0) << readFile(dir.file("server.log")).value_or("");
  }
  // The agent's upload of the bytes, with this Authorization when given.
  std::string uploadOf(const std::string& bytes, const std::string& authorization = "",
                       const std::string& fileName = "shot.png") const {
    auto request = agentUpload(port, bytes.size(), fileName);
    if (!authorization.empty())
      request.head.insert(request.head.size() - 2, "Authorization: " + authorization + "\r\n");
    return request.whole(bytes);
  }
  // The answer to a request sent whole on a connection of its own.
  std::string send(const std::string& request, const std::string& from = "127.0.0.1") const {
    LoopbackSocket socket(port, from);
    socket.send(request);
    return socket.receive(20s);
  }
  std::string get(const std::string& path, const std::string& from = "127.0.0.1") const {
    return send("GET " + path + " HTTP/1.1\r\n\r\n", from);
  }
  // A request's line is written once its connection has closed, which may be after its answer.
  bool logged(const std::string& line) const {
    const auto log = [&] { return readFile(dir.file("server.log")).value_or(""); };
    return waitUntil([&] { return log().find("] " + line + "\n") != std::string::npos; });
  }

  TempDir dir;
  const std::string data = dir.file("share/kapsho/uploads");
  int port = 0;
  std::unique_ptr<ChildProcess> server;
};

// Found in the folder at the start: a crash's temporary, a file under a 64-bit name given out
// before names grew, and a link and a pipe under well-formed names. Then images are uploaded, and
// refused requests each get their answer within 2 s, holding no memory, while a normal upload goes
// on; the hostile ones are sent on and on. Last, 500 MB stream through in the same bounded memory.
TEST_F(UploadServerTest, StoresOnlyImagesUnderTheirHashAndRefusesAllElseAtOnceInBoundedMemory) {
  const std::string taken = kPng + "an image whose name is taken";
  fs::create_directories(data);
  fs::create_symlink("/etc/passwd", data + "/" + nameOf(taken) + ".png");
  mkfifo((data + "/" + std::string(32, 'f') + ".png").c_str(), 0600);
  writeFile(data + "/.incoming-Ab12Cd", "left by a crash");
  writeFile(data + "/0123456789abcdef.png", "given out with a 64-bit name");
  writeFile(data + "/" + nameOf(kPng + "stored as a page once") + ".html",
            kPng + "stored as a page once");
  start({"--base-url", "http://shots.example/k/", "--max-bytes", "600000000"});
  EXPECT_FALSE(fs::exists(data + "/.incoming-Ab12Cd"));
  EXPECT_TRUE(get("/i/0123456789abcdef.png").ends_with("\r\n\r\ngiven out with a 64-bit name"));
  EXPECT_EQ(status(get("/i/" + nameOf(taken) + ".png")), 404);
  EXPECT_EQ(status(get("/i/" + std::string(32, 'f') + ".png")), 404);
  EXPECT_EQ(status(send(uploadOf(taken))), 409);

  // The bytes, their file's name, the extension their type gives and the type served; no type
  // for bytes that are no image. The first was stored under its client's name before.
  const std::tuple<std::string, std::string, std::string, std::string> images[] = {
      {kPng + "stored as a page once", "page.html", ".png", "image/png"},
      {kPng + awkwardBytes(300000, 7), "Screen Shot.PNG", ".png", "image/png"},
      {"\xff\xd8\xff\xe0 JFIF", "shot.jpeg", ".jpg", "image/jpeg"},
      {"GIF87a\x01\0\x01\0"s, "line%0Abreak.p%0Ang", ".gif", "image/gif"},
      {"GIF89a\x01\0\x01\0"s, "x.svg", ".gif", "image/gif"},
      {"MM\0*\0\0\0\x08"s, "page.php", ".tiff", "image/tiff"},
      {"BM\x3a\0\0\0\0\0\0\0\x36\0\0\0"s, "bitmap", ".bmp", "image/bmp"},
      {"RIFF\x24\0\0\0WEBPVP8 "s, "shot.webp", ".webp", "image/webp"},
      {"BMW, not a bitmap", "bmw.bmp", "", ""},
      {"RIFF\x24\0\0\0WAVEfmt "s, "sound.webp", "", ""},
  };
  const std::string oldName = "/i/" + nameOf(std::get<0>(images[0])) + ".html";
  EXPECT_EQ(header(get(oldName), "Content-Type"), "image/png") << "an old address stopped serving";
  for (const auto& [bytes, fileName, suffix, type] : images) {
    SCOPED_TRACE(fileName);
    const std::string answer = send(uploadOf(bytes, "", fileName)), name = nameOf(bytes) + suffix;
    EXPECT_EQ(status(answer), type.empty() ? 415 : 302);
    if (type.empty()) continue;
    EXPECT_EQ(header(answer, "Location"), "http://shots.example/k/i/" + name);
    // A range is not served: the answer is the whole file.
    const std::string served = send("GET /i/" + name + " HTTP/1.1\r\nRange: bytes=1-2\r\n\r\n");
    EXPECT_TRUE(served.ends_with("\r\n\r\n" + bytes)) << "served bytes differ from the upload";
    EXPECT_EQ(header(served, "Content-Type") + "; " + header(served, "X-Content-Type-Options"),
              type + "; nosniff");
  }

  const std::string picture = kPng + "a picture", image = "/i/" + nameOf(picture) + ".png";
  const auto getOf = [](const std::string& target) { return "GET " + target + " HTTP/1.1\r\n"; };
  const std::string postLine = "POST /app_upload.php HTTP/1.1\r\n",
                    form = "Content-Type: multipart/form-data; boundary=XYZ\r\n";
  // An upload of the body, and a part of a form's body by its Content-Disposition and its bytes.
  const auto post = [&](const std::string& body) {
    return postLine + form + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const auto part = [](const std::string& disposition, const std::string& bytes) {
    return "--XYZ\r\nContent-Disposition: form-data; " + disposition + "\r\n\r\n" + bytes + "\r\n";
  };
  const std::string app = "name=\"app_upload\"", file = "name=\"userfile\"; filename=\"a.png\"",
                    end = "--XYZ--\r\n";
  std::string bait = "name=\"userfile\"", manyHeaders = getOf(image);
  for (int i = 0; i < 65000; ++i) bait += "; filename=\"";
  for (int i = 0; i < 65; ++i) manyHeaders += "X: y\r\n";
  // What each is, the request, what is sent after it again and again until the server closes or
  // 256 MB went, and the answer's status.
  const std::tuple<const char*, std::string, std::string, int> refusals[] = {
      {"truncated", post((part(app, "Upload") + part(file, picture)).substr(0, 150)), "", 400},
      {"wrong app_upload", post(part(app, "upload") + part(file, picture) + end), "", 400},
      {"empty userfile", post(part(app, "Upload") + part(file, "") + end), "", 400},
      {"upload of no stated length", postLine + form + "Transfer-Encoding: chunked\r\n\r\n", "",
       411},
      {"POST image", "POST " + image + " HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", "", 405},
      {"regex-bait part header", post(part(bait, "x") + end), "", 400},
      {"PRI with a huge chunked body", "PRI / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
       "100000\r\n" + std::string(0x100000, 'z') + "\r\n", 404},
      {"gzip body", postLine + "Content-Encoding: gzip\r\nContent-Length: 1000000\r\n\r\n",
       std::string(1000, '\x1f'), 415},
      {"header flood", getOf("/"), "X-Flood: y\r\n", 431},
      {"many small headers", manyHeaders + "\r\n", "", 431},
      {"request line of megabytes", getOf("/" + std::string(4 << 20, 'a')) + "\r\n", "", 414},
      // On a route that would answer them, so that only the framing check refuses them.
      {"two lengths", getOf(image) + "Content-Length: 5\r\nContent-Length: 6\r\n\r\n", "", 400},
      {"gzip transfer", getOf(image) + "Transfer-Encoding: gzip\r\n\r\n", "", 400},
      {"smuggled GET after a refused upload",
       postLine + form + "Content-Length: 600000001\r\n\r\n" + getOf(image) + "\r\n", "", 413},
      {"control bytes in the target", getOf("/i/\x1b]2;owned\x07") + "\r\n", "", 404},
  };
  for (const auto& [what, request, endless, expected] : refusals) {
    SCOPED_TRACE(what);
    LoopbackSocket attacker(port);
    attacker.send(request);
    std::thread flood([&] {
      for (std::size_t sent = 0; !endless.empty() && sent < (256u << 20) && attacker.send(endless);)
        sent += endless.size();
    });
    EXPECT_EQ(status(send(uploadOf(picture))), 302) << "a normal upload waited on the attacker";
    const std::string answer = attacker.receive(2s);
    flood.join();
    EXPECT_EQ(status(answer), expected);
    EXPECT_EQ(header(answer, "Allow"), expected == 405 ? "GET, HEAD" : "");
    EXPECT_EQ(header(answer, "Connection"), "close");
  }

  constexpr std::size_t kSize = 500u << 20;
  const std::string piece = awkwardBytes(1 << 20, 3);
  const auto request = agentUpload(port, kSize, "huge.png");
  LoopbackSocket socket(port);
  ASSERT_TRUE(socket.send(request.head + request.partsBefore + kPng + piece.substr(8)));
  for (std::size_t sent = piece.size(); sent < kSize; sent += piece.size())
    ASSERT_TRUE(socket.send(piece));
  ASSERT_TRUE(socket.send(request.partsAfter));
  const std::string location = header(socket.receive(120s), "Location");
  EXPECT_EQ(fs::file_size(data + location.substr(location.rfind('/'))), kSize);
  EXPECT_EQ(imagesIn(data), 14) << "a refused request left a file";
  // Far below what the uploads and bodies sent here would take if the server held them.
  EXPECT_LT(processMemoryKiB(server->pid(), "VmHWM").value(), 100 * 1024);
  EXPECT_TRUE(logged("127.0.0.1 GET /i/\\x1b]2;owned\\x07 404 no such image"));
}

// The file is the part named userfile beside app_upload, as RFC 7578 allows them to be written;
// parts without a name are passed over. (How the reader cuts forms, and bodies mutated at random,
// are the multipart unit test's and fuzz target's.)
TEST_F(UploadServerTest, TakesTheFilePartByItsNameAndPassesOverNamelessParts) {
  start();
  const std::string picture = kPng + "a picture";
  const auto part = [](const std::string& disposition, const std::string& bytes) {
    return "--B\r\nContent-Disposition: form-data" + disposition + "\r\n\r\n" + bytes + "\r\n";
  };
  const std::string form = part("; name=\"app_upload\"", "Upload") +
                           part("; name=\"userfile\"; filename=\"a.png\"", picture) + "--B--\r\n";
  // What each is, the body and the status.
  const std::tuple<const char*, std::string, int> forms[] = {
      {"a part without a name", part("", "x") + form, 302},
      {"a file without a name", part("; filename=\"b.png\"", picture) + form, 302},
      {"unquoted names",
       part("; name=app_upload", "Upload") + part("; name=userfile", picture) + "--B--", 302},
      {"only nameless parts",
       part("", "Upload") + part("; filename=\"a.png\"", picture) + "--B--\r\n", 400},
  };
  for (const auto& [what, body, expected] : forms)
    EXPECT_EQ(status(send("POST /app_upload.php HTTP/1.1\r\nContent-Type: multipart/form-data; "
                          "boundary=B\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body)),
              expected)
        << what;
}

// Behind a trusted proxy the client and the origin it asked for are the ones the proxy names; from
// anyone else those fields are ignored. An upload's first storer gets a deletion address, which
// deletes it only by POST and with its token; a listed user gets a file for other upload tools.
TEST_F(UploadServerTest, BelievesOnlyTrustedProxiesDeletesWithTheTokenAndHandsOutClientFiles) {
  const std::string users = dir.file("users");
  writeFile(users, "alice:right\n");
  chmod(users.c_str(), 0600);
  start({"--users", users, "--rate", "1/min", "--trusted-proxy", "127.0.0.2", "--trusted-proxy",
         "127.0.8.0/24"});
  const std::string alice = basic("alice:right"),
                    local = "http://127.0.0.1:" + std::to_string(port);
  const auto through = [&](const std::string& bytes, const std::string& fields) {
    auto request = agentUpload(port, bytes.size());
    if (fields.find("Host:") != std::string::npos) {
      const auto host = request.head.find("Host:");
      request.head.erase(host, request.head.find("\r\n", host) + 2 - host);
    }
    request.head.insert(request.head.size() - 2, "Authorization: " + alice + "\r\n" + fields);
    return request.whole(bytes);
  };
  // From where, the forwarding fields, the client named and where its address starts.
  const std::tuple<std::string, std::string, std::string, std::string> hops[] = {
      {"127.0.0.2", "X-Forwarded-For: 6.6.6.6, 198.51.100.7\r\nX-Forwarded-Proto: https\r\n",
       "198.51.100.7", "https://127.0.0.1:" + std::to_string(port)},
      {"127.0.0.2", "X-Forwarded-For: 198.51.100.8, 127.0.8.9\r\nHost: shots.example\r\n",
       "198.51.100.8", "http://shots.example"},
      {"127.0.8.1",
       "Forwarded: for=1.2.3.4, for=\"[2001:db8::7]:4711\";proto=HTTPS;host=img.example\r\n",
       "2001:db8::7", "https://img.example"},
      {"127.0.0.3",
       "X-Forwarded-For: 198.51.100.9\r\nX-Forwarded-Proto: https\r\nHost: evil.example\r\n",
       "127.0.0.3", local},
      {"127.0.0.2", "X-Forwarded-For: not an address\r\nHost: a\"b\r\n", "127.0.0.2", local},
  };
  for (const auto& [from, fields, client, origin] : hops) {
    SCOPED_TRACE(fields);
    const std::string bytes = kPng + from + fields;
    const std::string answer = send(through(bytes, fields), from);
    EXPECT_EQ(header(answer, "Location"), origin + "/i/" + nameOf(bytes) + ".png");
    EXPECT_TRUE(logged(client + " POST /app_upload.php 302 stored " + nameOf(bytes) + ".png (" +
                       std::to_string(bytes.size()) + " bytes) for alice"));
    // The rate is the named client's.
    EXPECT_EQ(status(send(through(kPng + "again" + from + fields, fields), from)), 429);
  }

  // Asked for JSON, a created image is 201 with its address and its deletion address.
  const std::string image = kPng + "to delete";
  auto upload = agentUpload(port, image.size());
  upload.head.insert(upload.head.size() - 2,
                     "Authorization: " + alice + "\r\nAccept: application/json\r\n");
  const std::string created = send(upload.whole(image), "127.0.0.4");
  const std::string deletion = header(created, "X-Delete-Url"),
                    path = "/i/" + nameOf(image) + ".png";
  ASSERT_EQ(status(created), 201) << created;
  EXPECT_TRUE(created.ends_with("\r\n\r\n{\"deletion_url\":\"" + deletion + "\",\"url\":\"" +
                                local + path + "\"}\n"))
      << created;
  EXPECT_EQ(header(created, "Location"), local + path);
  ASSERT_TRUE(deletion.starts_with(local + "/d/" + nameOf(image) + ".png/")) << deletion;
  EXPECT_EQ(header(send(uploadOf(image, alice), "127.0.0.5"), "X-Delete-Url"), "")
      << "the same bytes again gave a second deletion address";
  const std::string target = deletion.substr(local.size()),
                    token = target.substr(target.rfind('/') + 1);
  const auto post = [&](const std::string& what) {
    return status(send("POST " + what + " HTTP/1.1\r\nContent-Length: 0\r\n\r\n"));
  };
  EXPECT_NE(get(target).find("<form method=\"post\">"), std::string::npos);
  EXPECT_EQ(status(get(path)), 200) << "a GET of the deletion address deleted the image";
  std::string wrong = token;
  wrong.back() = wrong.back() == '0' ? '1' : '0';
  EXPECT_EQ(post(target.substr(0, target.size() - token.size()) + wrong), 404);
  EXPECT_EQ(post(target), 200);
  EXPECT_EQ(status(get(path)), 404);
  EXPECT_EQ(post(target), 404);

  // The file other upload tools read, for alice only, the same from the command line.
  EXPECT_EQ(status(get("/kapsho.sxcu")), 401);
  const std::string file =
      send("GET /kapsho.sxcu HTTP/1.1\r\nAuthorization: " + alice + "\r\n\r\n");
  const auto json =
      QJsonDocument::fromJson(QByteArray::fromStdString(file.substr(file.find("\r\n\r\n") + 4)))
          .object();
  EXPECT_EQ(json["RequestURL"].toString().toStdString(), local + "/app_upload.php");
  EXPECT_EQ(json["Headers"].toObject()["Authorization"].toString().toStdString(), alice);
  EXPECT_EQ(json["URL"].toString(), "{header:Location}");
  EXPECT_EQ(json["DeletionURL"].toString(), "{header:X-Delete-Url}");
  EXPECT_EQ(runCommand({kServer, "--port", std::to_string(port), "--users", users, "--client-file",
                        "alice"})
                .out,
            file.substr(file.find("\r\n\r\n") + 4));
}

// Slow clients hold neither the service nor their connection past its deadline. Uploads whose head
// the server has taken ("100 Continue") hold their connections up to the limits; on a stop signal
// one of them is finished and the others are ended once the grace is over.
TEST_F(UploadServerTest,
       LimitsSlowAndHeldConnectionsAndStopsWithinItsGraceFinishingUploadsInFlight) {
  start({"--request-timeout", "2"});
  // Each sends a byte of a never-ending request head whenever the test looks, so it never goes
  // quiet and only the whole request's deadline ends it.
  std::vector<std::unique_ptr<LoopbackSocket>> slow;
  for (int i = 0; i < 12; ++i) slow.push_back(std::make_unique<LoopbackSocket>(port));
  for (auto& socket : slow) socket->send("GET /slow HTTP/1.1\r\nX-Slow: ");
  EXPECT_EQ(status(send(uploadOf(kPng + "a picture"))), 302);
  EXPECT_TRUE(waitUntil([&] {
    for (auto& socket : slow) socket->send("a");
    return std::all_of(slow.begin(), slow.end(), [](auto& s) { return s->closedByServer(); });
  }));

  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    start({"--max-per-client", "2", "--max-connections", "4"});
    const std::string bytes = kPng + "12345";
    auto request = agentUpload(port, bytes.size());
    request.head.insert(request.head.size() - 2, "Expect: 100-continue\r\n");
    std::vector<std::unique_ptr<LoopbackSocket>> held;
    const auto holds = [&](const std::string& from) {
      held.push_back(std::make_unique<LoopbackSocket>(port, from));
      held.back()->send(request.head);
      return statusLine(held.back()->receive(5s, "\r\n\r\n")) == "HTTP/1.1 100 Continue";
    };
    // A closed connection gives its place back a moment later, hence the retries.
    const auto take = [&](auto from) { return waitUntil([&] { return holds(from); }); };
    ASSERT_TRUE(take("127.0.0.2"));
    LoopbackSocket& uploading = *held.back();
    ASSERT_TRUE(take("127.0.0.2"));
    EXPECT_FALSE(holds("127.0.0.2")) << "a third connection from one client was taken";
    ASSERT_TRUE(take("127.0.0.3") && take("127.0.0.4"));
    EXPECT_FALSE(holds("127.0.0.5")) << "a fifth connection was taken";

    ASSERT_EQ(kill(server->pid(), signal), 0);
    EXPECT_TRUE(waitUntil([&] { return !LoopbackSocket(port).connected(); }));
    uploading.send(request.partsBefore + bytes + request.partsAfter);
    EXPECT_EQ(status(uploading.receive()), 302);
    // Exited with status 0, not held by the other uploads.
    EXPECT_EQ(server->wait(8s), 0);
  }
}

// Bad options end the server with status 1. Then a hundred clients, each from an address of its
// own, upload at the same moment; one in ten has no token, a wrong one or another scheme. Served
// images stay public.
TEST_F(UploadServerTest, BadOptionsExitWithOneAndOnlyListedUsersUploadEachOnlySoOftenAMinute) {
  for (const std::string& usage :
       {"--bogus"s, "--port 70000"s, "stray"s, "--base-url ftp://x/"s,
        "--request-timeout 5000000000"s, "--rate 5/sec"s, "--users "s + dir.file("missing")}) {
    const auto result = runCommand({"sh", "-c", "exec " + kServer + " " + usage}, 5s);
    EXPECT_TRUE(result.exitCode == 1 && result.err.starts_with("kapsho-upload-server: "))
        << usage << ": " << result.err;
  }
  // A users file others may use, or that lists no one or not line by line, is refused.
  const std::string users = dir.file("users");
  const std::tuple<std::string, mode_t, std::string> refusedUsers[] = {
      {"alice:t\n", 0604, ": others than its owner may use it (chmod 600)"},
      {"# who\n\nalice\n", 0600, " line 3: expected name:token"},
      {":t\n", 0600, " line 1: expected name:token"},
      {"alice:\n", 0600, " line 1: expected name:token"},
      {"alice:t\r\nalice:u\r\n", 0400, " line 2: the name alice is listed twice"},
      {"# nobody yet\n", 0600, ": lists no users"},
  };
  for (const auto& [text, mode, error] : refusedUsers) {
    writeFile(users, text);
    chmod(users.c_str(), mode);
    EXPECT_EQ(runCommand({kServer, "--users", users}, 5s).err,
              "kapsho-upload-server: " + users + error + "\n");
  }
  // Written by an editor that starts with a byte-order mark.
  writeFile(users,
            "\xef\xbb\xbf"
            "alice:right\r\nbob:to:ken\n");
  chmod(users.c_str(), 0600);
  start({"--users", users});
  const std::string refused[] = {"", basic("alice:wrong"), basic("carol:right"), "Bearer right",
                                 basic("alice:right\0more"s)};
  std::latch ready(100);
  std::vector<std::jthread> clients;
  for (std::size_t i = 0; i < 100; ++i)
    clients.emplace_back([&, i] {
      const std::string from = "127.0.1." + std::to_string(i + 1), image = kPng + from;
      LoopbackSocket socket(port, from);
      ready.arrive_and_wait();
      socket.send(
          uploadOf(image, i % 10 ? (i % 2 ? basic("alice:right") : basic("bob:to:ken", "bAsIc"))
                                 : refused[i / 10 % 5]));
      const std::string answer = socket.receive(30s);
      // Refused with the challenge, or stored and served back.
      EXPECT_TRUE(i % 10 ? get("/i/" + nameOf(image) + ".png", from).ends_with("\r\n\r\n" + image)
                         : header(answer, "WWW-Authenticate") ==
                               "Basic realm=\"kapsho-upload-server\", charset=\"UTF-8\"")
          << i << ": " << answer;
    });
  clients.clear();
  EXPECT_EQ(imagesIn(data), 90) << "unauthorised bytes kept";
  EXPECT_TRUE(logged("127.0.1.2 POST /app_upload.php 302 stored " + nameOf(kPng + "127.0.1.2") +
                     ".png (17 bytes) for alice"));

  // A refused upload counts too, so that tokens cannot be guessed at any rate. A second server
  // finds the port taken. Listening on every address, it hands out the machine's name.
  start({"--users", users, "--rate", "2/min", "--bind", "::"});
  EXPECT_EQ(runCommand({kServer, "--bind", "::", "--port", std::to_string(port)}).exitCode, 1);
  EXPECT_EQ(status(send(uploadOf(kPng + "a picture"))), 401);
  const std::string stored = send(uploadOf(kPng + "a picture", basic("alice:right")));
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(header(stored, "Location"), "http://" + std::string(host) + ":" + std::to_string(port) +
                                            "/i/" + nameOf(kPng + "a picture") + ".png");
  const std::string over = send(uploadOf(kPng + "a picture", basic("alice:right")));
  // The first upload's minute, less the moments since.
  const int wait = std::atoi(header(over, "Retry-After").c_str());
  EXPECT_TRUE(status(over) == 429 && wait > 50 && wait <= 60) << over;
  EXPECT_EQ(status(send(uploadOf(kPng + "elsewhere", basic("alice:right")), "127.0.0.2")), 302);
}

}  // namespace
