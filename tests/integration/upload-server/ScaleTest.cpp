// kapsho-upload-server at scale, on the real components: instances that keep their images in an
// S3-compatible store, behind nginx terminating TLS, spoken to by curl.
#include <gtest/gtest.h>
#include <signal.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <filesystem>
#include <memory>

#include "tests/support/LoopbackSocket.h"
#include "tests/support/Network.h"
#include "tests/support/Stores.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kServer = stagePath("bin/kapsho-upload-server");
const std::string kBucket = "shots";

std::string nameOf(const std::string& bytes) {
  return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
             .toHex()
             .left(32)
             .toStdString() +
         ".png";
}

// A header field of an answer's header block, "" without one.
std::string field(const std::string& headers, const std::string& name) {
  return ReceivedRequest{headers, ""}.header(name);
}

// The bytes of a PNG picture as far as the service can tell.
std::string picture(const std::string& seed, std::size_t size = 0) {
  std::string bytes = "\x89PNG\r\n\x1a\n" + seed;
  for (std::size_t i = 0; bytes.size() < size; ++i) bytes += static_cast<char>(i * 131 + 7);
  return bytes;
}

class ScaleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!S3Store::available() || !ReverseProxy::available()) return;
    store = new S3Store;
    if (store->started()) store->request("PUT", "/" + kBucket);
  }
  static void TearDownTestSuite() { delete store; }

  void SetUp() override {
    if (!S3Store::available() || !ReverseProxy::available())
      GTEST_SKIP() << "needs root, Ceph's radosgw, ceph-mon and ceph-osd, and nginx";
    ASSERT_TRUE(store->started()) << "the S3 store did not start";
  }

  // An instance on the bucket, on a port it picks, trusting the proxy on 127.0.0.1.
  struct Instance {
    std::unique_ptr<ChildProcess> process;
    std::string log;
    int port = 0;
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port); }
    std::string logged() const { return readFile(log).value_or(""); }
  };
  Instance instance(const std::vector<std::string>& extra = {}) {
    Instance started;
    const std::string n = std::to_string(++instances);
    started.log = dir.file("instance" + n + ".log");
    std::vector<std::string> argv = {kServer, "--port", "0", "--data-dir", dir.file("spool" + n)};
    argv.insert(argv.end(),
                {"--store", "s3://" + kBucket + "/img", "--trusted-proxy", "127.0.0.1"});
    argv.insert(argv.end(),
                {"--s3-endpoint", store->endpoint(), "--s3-credentials", store->credentialsFile()});
    argv.insert(argv.end(), extra.begin(), extra.end());
    started.process =
        std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{}, "", started.log);
    started.port = loggedPort(started.log);
    EXPECT_NE(started.port, 0) << started.logged();
    return started;
  }

  // curl's answer to an upload of the bytes from a loopback address, with extra arguments.
  Answer upload(const std::string& url, const std::string& bytes, const std::string& from,
                const std::vector<std::string>& extra = {}) const {
    writeFile(dir.file("upload.png"), bytes);
    std::vector<std::string> argv = {
        "--cacert", certificates.authority(), "--interface", from,
        "-F",       "app_upload=Upload",      "-F",          "userfile=@" + dir.file("upload.png")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(url + "/app_upload.php");
    return curl(argv);
  }
  Answer fetch(const std::string& url, const std::string& method = "GET") const {
    return curl({"--cacert", certificates.authority(), "-X", method, url});
  }
  Answer object(const std::string& name, const std::string& method = "GET") const {
    return store->request(method, "/" + kBucket + "/img/" + name);
  }

  static inline S3Store* store = nullptr;
  TempDir dir;
  TestCertificates certificates;
  int instances = 0;
};

// Two instances behind nginx: an upload lands in the bucket whole and is served by either; the
// log and the rate limit name the client nginx saw, never one the client forged; its deletion
// address removes it from both at once.
TEST_F(ScaleTest, InstancesBehindAProxyShareTheBucketAndNameTheRealClient) {
  Instance a = instance({"--rate", "1/min"}), b = instance({"--rate", "1/min"});
  ReverseProxy proxy({a.port, b.port}, certificates.certificate(), certificates.key());
  ASSERT_TRUE(proxy.started());

  const std::string bytes = picture("through the proxy", 5 << 20), name = nameOf(bytes);
  const Answer stored = upload(proxy.url(), bytes, "127.0.0.7", {"-H", "X-Forwarded-For: 6.6.6.6"});
  ASSERT_EQ(stored.status, 302) << stored.body;
  EXPECT_EQ(field(stored.headers, "Location"), proxy.url() + "/i/" + name);
  const Answer kept = object(name);
  EXPECT_TRUE(kept.status == 200 && kept.body == bytes) << "the bucket's object differs";
  EXPECT_EQ(field(kept.headers, "Content-Type"), "image/png");
  for (const Instance* server : {&a, &b}) {
    const Answer served = fetch(server->url() + "/i/" + name);
    EXPECT_TRUE(served.status == 200 && served.body == bytes) << "instance " << server->port;
    EXPECT_EQ(field(served.headers, "Content-Type"), "image/png");
  }
  const std::string line = "127.0.0.7 POST /app_upload.php 302 stored " + name;
  EXPECT_TRUE(waitUntil([&] { return (a.logged() + b.logged()).find(line) != std::string::npos; }))
      << a.logged() << b.logged();
  EXPECT_EQ((a.logged() + b.logged()).find("6.6.6.6"), std::string::npos);

  // The client's second upload in the minute, on the instance its address is sent to.
  const Answer over = upload(proxy.url(), picture("again"), "127.0.0.7");
  EXPECT_EQ(over.status, 429) << over.body;
  EXPECT_TRUE(over.body.starts_with("too many uploads from 127.0.0.7;")) << over.body;
  EXPECT_EQ(upload(proxy.url(), picture("another client"), "127.0.0.8").status, 302);
  // Straight to an instance, a forged field is not believed.
  const Answer direct =
      upload(a.url(), picture("direct"), "127.0.0.9",
             {"-H", "X-Forwarded-For: 6.6.6.6", "-H", "X-Forwarded-Proto: https"});
  EXPECT_EQ(field(direct.headers, "Location"), a.url() + "/i/" + nameOf(picture("direct")));

  const std::string deletion = field(stored.headers, "X-Delete-Url");
  ASSERT_TRUE(deletion.starts_with(proxy.url() + "/d/" + name + "/")) << deletion;
  EXPECT_EQ(fetch(deletion, "POST").status, 200);
  for (const Instance* server : {&a, &b})
    EXPECT_EQ(fetch(server->url() + "/i/" + name).status, 404) << "instance " << server->port;
  EXPECT_EQ(object(name, "HEAD").status, 404);
}

// An instance killed while an upload comes leaves nothing in the bucket. A store that is down
// gets 503 and Retry-After for uploads and images alike, and the service takes uploads again once
// the store is back.
TEST_F(ScaleTest, AKilledInstanceLeavesNoObjectAndAStoreDownIs503UntilItIsBack) {
  Instance killed = instance();
  const std::string bytes = picture("cut off", 1 << 20);
  const auto request = agentUpload(killed.port, bytes.size());
  LoopbackSocket socket(killed.port);
  ASSERT_TRUE(socket.send(request.head + request.partsBefore + bytes.substr(0, bytes.size() / 2)));
  ASSERT_EQ(kill(killed.process->pid(), SIGKILL), 0);
  killed.process->wait();
  EXPECT_EQ(object(nameOf(bytes), "HEAD").status, 404) << "a cut-off upload left an object";

  Instance server = instance();
  const std::string before = picture("before the store went down");
  ASSERT_EQ(upload(server.url(), before, "127.0.0.1").status, 302);
  ASSERT_TRUE(store->stopGateway());
  const Answer refused = upload(server.url(), picture("while it is down"), "127.0.0.1");
  const Answer unserved = fetch(server.url() + "/i/" + nameOf(before));
  store->startGateway();
  for (const Answer* answer : {&refused, &unserved}) {
    EXPECT_EQ(answer->status, 503) << answer->body;
    EXPECT_EQ(field(answer->headers, "Retry-After"), "30");
  }
  EXPECT_EQ(upload(server.url(), picture("once it is back"), "127.0.0.1").status, 302);
  EXPECT_EQ(fetch(server.url() + "/i/" + nameOf(before)).body, before);
}

}  // namespace
