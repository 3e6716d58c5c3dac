// kapsho-upload-server as the agent meets it: the real binary on a loopback port, real curl.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "tests/support/TestSupport.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const std::string kServer = stagePath("bin/kapsho-upload-server");

struct Reply {
  int status = 0;
  std::string headers;
  std::string body;
  std::string header(const std::string& name) const {
    const auto at = headers.find("\r\n" + name + ": ");
    if (at == std::string::npos) return {};
    const auto start = at + name.size() + 4;
    return headers.substr(start, headers.find("\r\n", start) - start);
  }
};

Reply curl(std::vector<std::string> args) {
  args.insert(args.begin(), {"curl", "-s", "-i", "--max-time", "20"});
  std::string out = runCommand(args).out;
  Reply reply;
  // curl shows an interim "100 Continue" before the answer to a large body.
  while (out.starts_with("HTTP/") && out.compare(9, 1, "1") == 0)
    out.erase(0, out.find("\r\n\r\n") + 4);
  if (out.size() < 12) return reply;
  reply.status = std::stoi(out.substr(9, 3));
  const auto end = out.find("\r\n\r\n");
  reply.headers = out.substr(0, end + 2);
  reply.body = out.substr(end + 4);
  return reply;
}

std::string sha256Prefix(const std::string& path) {
  return runCommand({"sha256sum", path}).out.substr(0, 16);
}

bool accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

// Bytes that stress a multipart parser: every byte value, line breaks and boundary look-alikes.
std::string awkwardBytes(std::size_t size, char seed) {
  std::string bytes;
  for (std::size_t i = 0; bytes.size() < size; ++i)
    bytes += i % 97 == 0 ? std::string("\r\n--") : std::string(1, static_cast<char>(i * 31 + seed));
  return bytes.substr(0, size);
}

class UploadServerTest : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{kServer, "--port", std::to_string(port), "--data-dir", data};
    argv.insert(argv.end(), extra.begin(), extra.end());
    server = std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{}, "",
                                            dir.file("server.log"));
    ASSERT_TRUE(waitUntil([&] { return accepts(port); }));
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }
  Reply upload(const std::string& file, const std::string& fileName = "") {
    return curl({"-F", "app_upload=Upload", "-F",
                 "userfile=@" + file + (fileName.empty() ? "" : ";filename=" + fileName),
                 url("/app_upload.php")});
  }
  std::size_t storedFiles() const {
    return std::distance(fs::directory_iterator(data), fs::directory_iterator());
  }

  TempDir dir;
  const std::string data = dir.file("uploads");
  const int port = freeLocalPort();
  std::unique_ptr<ChildProcess> server;
};

TEST_F(UploadServerTest, StoresUnderTheContentHashAndServesTheBytesBack) {
  start({"--base-url", "http://shots.example/k/"});
  const std::string file = dir.file("Screen Shot.PNG");
  writeFile(file, awkwardBytes(300000, 7));
  const std::string name = sha256Prefix(file) + ".png";

  const Reply stored = upload(file);
  EXPECT_EQ(stored.status, 302);
  EXPECT_EQ(stored.header("Location"), "http://shots.example/k/i/" + name);
  EXPECT_EQ(upload(file).header("Location"), stored.header("Location"));
  EXPECT_EQ(storedFiles(), 1u);

  const Reply fetched = curl({url("/i/" + name)});
  EXPECT_EQ(fetched.status, 200);
  EXPECT_EQ(fetched.header("Content-Type"), "image/png");
  EXPECT_TRUE(fetched.body == readFile(file)) << "served bytes differ from the upload";
  const Reply head = curl({"-I", url("/i/" + name)});
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.header("Content-Length"), "300000");
  EXPECT_TRUE(head.body.empty());

  EXPECT_NE(readFile(dir.file("server.log"))
                ->find("POST /app_upload.php 302 stored " + name + " (300000 bytes)"),
            std::string::npos);
}

TEST_F(UploadServerTest, NamesKeepOnlyAPlainExtension) {
  start();
  const std::string file = dir.file("bytes");
  writeFile(file, "not really an image");
  const std::string hash = sha256Prefix(file);
  const struct {
    std::string fileName, suffix, contentType;
  } cases[] = {
      {"shot.JPEG", ".jpeg", "image/jpeg"},
      {"archive.tar.gz", ".gz", "application/gzip"},
      {"Écran %22quoted%22.png", ".png", "image/png"},
      {"line%0Abreak.p%0Ang", "", "application/octet-stream"},
      {"x.abcdefghijklmnopq", "", "application/octet-stream"},
      {"trailing.", "", "application/octet-stream"},
      {"blob.weird123", ".weird123", "application/octet-stream"},
      {"page.html", ".html", "text/html"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileName);
    const Reply stored = upload(file, c.fileName);
    EXPECT_EQ(stored.header("Location"), url("/i/" + hash + c.suffix));
    const Reply served = curl({stored.header("Location")});
    EXPECT_EQ(served.header("Content-Type"), c.contentType);
    // Whatever was uploaded, no script of it runs with the server's origin.
    EXPECT_EQ(served.header("Content-Security-Policy"), "default-src 'none'; sandbox");
    EXPECT_EQ(served.header("X-Content-Type-Options"), "nosniff");
  }
}

TEST_F(UploadServerTest, RefusesMalformedRequestsAndKeepsServing) {
  start({"--max-bytes", "4096"});
  const std::string good = dir.file("good.png"), big = dir.file("big.png");
  writeFile(good, "small picture");
  writeFile(big, awkwardBytes(5000, 1));
  writeFile(dir.file("secret.png"), "secret");
  writeFile(dir.file("truncated"),
            "--XYZ\r\nContent-Disposition: form-data; name=\"app_upload\"\r\n\r\nUpload\r\n"
            "--XYZ\r\nContent-Disposition: form-data; name=\"userfile\"; filename=\"a.png\"\r\n"
            "\r\nhalf of a pic");
  const std::string multipart = "Content-Type: multipart/form-data",
                    xyz = multipart + ";boundary=XYZ";
  const std::string post = url("/app_upload.php"), app = "app_upload=Upload",
                    bigFile = "userfile=@" + big;
  const struct {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string allow;
  } cases[] = {
      {"not multipart", {"--data", app, post}, 400, ""},
      {"no boundary", {"-H", multipart, "--data-binary", "@" + good, post}, 400, ""},
      {"garbage", {"-H", xyz, "--data-binary", "junk", post}, 400, ""},
      {"truncated", {"-H", xyz, "--data-binary", "@" + dir.file("truncated"), post}, 400, ""},
      {"no app_upload", {"-F", "userfile=@" + good, post}, 400, ""},
      {"wrong app_upload", {"-F", "app_upload=upload", "-F", "userfile=@" + good, post}, 400, ""},
      {"no userfile", {"-F", app, post}, 400, ""},
      {"too large", {"-F", app, "-F", bigFile, post}, 413, ""},
      {"too large, chunked",
       {"-HTransfer-Encoding: chunked", "-F", app, "-F", bigFile, post},
       413,
       ""},
      {"GET upload", {post}, 405, "POST"},
      {"POST image", {"-d", "x", url("/i/0123456789abcdef.png")}, 405, "GET, HEAD"},
      {"unknown path", {url("/upload")}, 404, ""},
      {"unknown image", {url("/i/0123456789abcdef.png")}, 404, ""},
      {"escape", {"--path-as-is", url("/i/../secret.png")}, 404, ""},
      {"encoded escape", {url("/i/%2e%2e%2fsecret.png")}, 404, ""},
      {"upper-case name", {url("/i/0123456789ABCDEF.png")}, 404, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Reply reply = curl(c.args);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.header("Allow"), c.allow);
    EXPECT_TRUE(reply.body.size() > 1 && reply.body.find('\n') == reply.body.size() - 1)
        << "not a one-line reason: " << reply.body;
  }
  EXPECT_EQ(storedFiles(), 0u) << "a refused request left a file";
  EXPECT_EQ(upload(good).status, 302);
  EXPECT_TRUE(server->running());
}

TEST_F(UploadServerTest, ConcurrentUploadsStoreCompleteFiles) {
  start();
  std::vector<std::string> files;
  std::vector<std::unique_ptr<ChildProcess>> clients;
  for (int i = 0; i < 8; ++i) {
    // Pairs of identical contents race for the same name.
    files.push_back(dir.file("shot" + std::to_string(i) + ".png"));
    writeFile(files.back(), awkwardBytes(1 << 20, static_cast<char>(i / 2)));
    clients.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{"curl", "-s", "-o", "/dev/null", "-w",
                                 "%{http_code} %{redirect_url}", "-F", "app_upload=Upload", "-F",
                                 "userfile=@" + files.back(), url("/app_upload.php")},
        std::map<std::string, std::string>{}, files.back() + ".reply"));
  }
  for (std::size_t i = 0; i < clients.size(); ++i) {
    ASSERT_TRUE(clients[i]->wait(std::chrono::seconds(60)));
    const std::string reply = readFile(files[i] + ".reply").value_or("");
    ASSERT_EQ(reply.substr(0, 4), "302 ");
    const std::string location = reply.substr(4);
    EXPECT_EQ(location, url("/i/" + sha256Prefix(files[i]) + ".png"));
    EXPECT_TRUE(curl({location}).body == readFile(files[i])) << files[i] << " was not kept whole";
  }
  EXPECT_EQ(storedFiles(), 4u);
}

TEST_F(UploadServerTest, EndsCleanlyOnSigtermAndSigint) {
  for (const int signal : {SIGTERM, SIGINT}) {
    start();
    ASSERT_EQ(kill(server->pid(), signal), 0);
    const auto status = server->wait();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "signal " << signal;
  }
}

TEST_F(UploadServerTest, StoresUnderXdgDataHomeByDefault) {
  ChildProcess defaults({kServer, "--port", std::to_string(port)},
                        {{"XDG_DATA_HOME", dir.file("share")}}, "", dir.file("server.log"));
  ASSERT_TRUE(waitUntil([&] { return accepts(port); }));
  EXPECT_TRUE(fs::is_directory(dir.file("share/kapsho/uploads")));
}

TEST_F(UploadServerTest, BadUsageExitsWithStatusOne) {
  const std::vector<std::vector<std::string>> usages = {
      {"--bogus"}, {"--port", "x"},      {"--port", "70000"},        {"--port"},
      {"stray"},   {"--max-bytes", "0"}, {"--base-url", "ftp://x/"},
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
  EXPECT_NE(taken.err.find("cannot listen"), std::string::npos) << taken.err;
  EXPECT_EQ(runCommand({kServer, "--help"}).exitCode, 0);
}

}  // namespace
