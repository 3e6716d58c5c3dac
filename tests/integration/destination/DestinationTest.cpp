// Uploads to destinations of the user's own, against real servers on loopback started once for
// this program: OpenSSH's sshd and an S3-compatible store (Ceph's RADOS Gateway). The agent's
// controller runs here, as in its unit tests, so that its clipboard, state and log are at hand;
// kapsho-prefs runs as the program it is.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <regex>

#include "common/Destination.h"
#include "common/constants.h"
#include "platform/appkit/Pasteboard.h"
#include "tests/integration/loginitems/LoginItemsTestSupport.h"
#include "tests/support/Desktop.h"
#include "tests/support/Network.h"
#include "tests/support/Stores.h"
#include "tests/unit/daemon/AgentFixture.h"

using namespace agent_testing;
using namespace testing_support;
using platform::NSUserDefaults;
using platform::Value;
namespace fs = std::filesystem;

namespace {

using Keys = std::map<std::string, Value>;

SSHServer& sshServer() {
  static SSHServer server;
  return server;
}

S3Store& s3Store() {
  static S3Store store;
  return store;
}

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
  return bytes;
}

// Every file of a folder, hidden ones too, by name.
std::map<std::string, std::string> filesIn(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(folder))
    files[entry.path().filename()] = readFile(entry.path()).value_or("");
  return files;
}

class DestinationTest : public ::testing::Test {
 protected:
  DestinationTest() { login_items_test::becomeSubreaper(); }
  // kapsho-prefs starts System Events for the session, as the pane does: it ends with the test.
  ~DestinationTest() override { login_items_test::endSystemEvents(); }
  // The agent's destination settings: these and no others.
  void setDestination(const Keys& keys) {
    platform::Dictionary domain = storedDomain(DaemonBundleID);
    Destination::removeFrom(domain);
    domain.insert(keys.begin(), keys.end());
    NSUserDefaults::setPersistentDomain(domain, DaemonBundleID);
  }
  // An SFTP destination at a folder of the test's own, reached at the port, logging in with the
  // user's key file unless more says "" for it.
  void sftpDestination(int port, const Keys& more = {}) {
    folder_ = sshServer().folder() + "/" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(folder_);
    Keys keys = {{Destination::URLKey, "sftp://" + sshServer().user() +
                                           "@127.0.0.1:" + std::to_string(port) + folder_ + "/"},
                 {Destination::AddressKey, "https://img.example.org/shots/{name}"},
                 {Destination::KeyFileKey, sshServer().userKey()}};
    for (const auto& [key, value] : more) keys.insert_or_assign(key, value);
    if (keys.at(Destination::KeyFileKey).string()->empty()) keys.erase(Destination::KeyFileKey);
    setDestination(keys);
  }
  void trustHosts(const std::string& lines) {
    fs::create_directories(home() + "/.ssh");
    writeFile(knownHosts(), lines);
  }
  std::string home() const { return std::getenv("HOME"); }
  std::string knownHosts() const { return home() + "/.ssh/known_hosts"; }
  // Uploads a screenshot and waits for its outcome: the look then, and the reset it armed.
  void upload(const std::string& name, const std::string& bytes, const std::string& image,
              double interval) {
    writeFile(environment_.folder() + "/" + name, bytes);
    controller_.matchPath(environment_.folder() + "/" + name);
    // Settings that cannot work fail the upload before it starts.
    if (controller_.currentConnection()) {
      EXPECT_EQ(statusImageName(controller_), "KapshoStatus-Pending");
    }
    ASSERT_TRUE(spinUntil([&] { return !controller_.currentConnection(); }, 120000));
    EXPECT_EQ(statusImageName(controller_), image) << log_.text();
    ASSERT_TRUE(controller_.statusTimer());
    EXPECT_EQ(controller_.statusTimer()->timeInterval(), interval);
  }
  // The upload's outcome as the log tells it: the address copied, or why the upload failed.
  void expectLogged(const std::string& line) {
    EXPECT_NE(log_.text().find(line + "\n"), std::string::npos) << line << "\n" << log_.text();
  }
  std::string clipboard() {
    return platform::NSPasteboard::generalPasteboard()
        .stringForType(platform::NSStringPboardType)
        .value_or("");
  }

  AgentEnvironment environment_;
  StderrCapture log_;
  KapshoController controller_;
  std::string folder_;
};

#define NEEDS_SSH()                                                                  \
  if (!SSHServer::available()) GTEST_SKIP() << "sshd needs root and openssh-server"; \
  ASSERT_TRUE(sshServer().started())

#define NEEDS_S3()                                                                      \
  if (!S3Store::available()) GTEST_SKIP() << "the store needs root and Ceph's radosgw"; \
  ASSERT_TRUE(s3Store().started())

// The file goes whole under its own name, made safe in an address, or under the next free variant
// of it (a stored file is never replaced), or a random name; the address from the template is on
// the clipboard and first in the recent list. No dot name is left. A destination wins over a
// custom uploader file. Without a key file, the user's SSH agent logs in.
TEST_F(DestinationTest, SFTPPutsTheFileWholeUnderItsNameAndCopiesItsAddress) {
  NEEDS_SSH();
  trustHosts(sshServer().knownHostsLine(sshServer().port()));
  sftpDestination(sshServer().port(), {{CustomUploaderKey, "missing.sxcu"}});
  const std::string first = randomBytes(300000, 1), second = randomBytes(1000, 2);
  upload("Picture 1.png", first, "KapshoStatus-Finished", 2.0);
  expectLogged("Copying URL to clipboard: https://img.example.org/shots/Picture-1.png");
  upload("Picture 1.png", second, "KapshoStatus-Finished", 2.0);
  EXPECT_EQ(clipboard(), "https://img.example.org/shots/Picture-1-2.png");
  EXPECT_EQ(filesIn(folder_), (std::map<std::string, std::string>{{"Picture-1.png", first},
                                                                  {"Picture-1-2.png", second}}));

  TempDir agentFolder;
  const std::string agentSocket = agentFolder.file("agent");
  const ChildProcess agent({"ssh-agent", "-D", "-a", agentSocket}, {}, "/dev/null", "/dev/null");
  ASSERT_TRUE(waitUntil([&] { return fs::exists(agentSocket); }));
  const ScopedEnv agentAddress("SSH_AUTH_SOCK", agentSocket);
  ASSERT_EQ(runCommand({"ssh-add", sshServer().userKey()}).exitCode, 0);
  sftpDestination(sshServer().port(),
                  {{Destination::NamingKey, "random"}, {Destination::KeyFileKey, ""}});
  upload("Picture 2.png", "png", "KapshoStatus-Finished", 2.0);
  const std::string address = clipboard(), name = address.substr(address.rfind('/') + 1);
  EXPECT_TRUE(std::regex_match(name, std::regex("[a-z0-9]{20}\\.png"))) << address;
  EXPECT_EQ(readFile(folder_ + "/" + name), "png");
  const auto recent = NSUserDefaults::standardUserDefaults().arrayForKey(RecentImageUploadsKey);
  EXPECT_EQ(*recent->front().dictionary()->at("url").string(), address);
}

// A host key the known-hosts file does not hold is never accepted: the upload fails, naming the
// key's fingerprint as ssh shows it, and nothing reaches the server's folder.
TEST_F(DestinationTest, SFTPRefusesAnUnknownOrChangedHostKeyNamingItsFingerprint) {
  NEEDS_SSH();
  sftpDestination(sshServer().port());
  const std::string server = "127.0.0.1:" + std::to_string(sshServer().port()),
                    key = "ED25519 key " + sshServer().hostKeyFingerprint();
  const std::string other = readFile(sshServer().userKey() + ".pub").value_or("");
  const struct {
    const char* trace;
    std::optional<std::string> knownHosts;
    std::string reason;
  } cases[] = {
      {"no known hosts", std::nullopt,
       "The SSH host key of " + server + " is unknown (" + key +
           "): if that is the server's key, add it to " + knownHosts()},
      {"another key known", "[127.0.0.1]:" + std::to_string(sshServer().port()) + " " + other,
       "The SSH host key of " + server + " differs from the one in " + knownHosts() + " (" + key +
           "): the server's key was changed, or someone is in between"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.trace);
    fs::remove(knownHosts());
    if (c.knownHosts) trustHosts(*c.knownHosts);
    upload("Picture 4.png", "png", "KapshoStatus-Error", 5.0);
    expectLogged("Upload failed: " + c.reason);
    EXPECT_EQ(controller_.statusItem()->menu()->itemArray()[0]->title(), "Error: " + c.reason);
    EXPECT_TRUE(filesIn(folder_).empty());
  }
}

// The connection goes in the middle of the upload: the file never appears under its name, and
// the part that came is taken away again.
TEST_F(DestinationTest, SFTPLeavesNothingWhenTheConnectionIsLostMidway) {
  NEEDS_SSH();
  CuttingRelay relay(sshServer().port(), 1 << 20);
  trustHosts(sshServer().knownHostsLine(relay.port()));
  sftpDestination(relay.port());
  upload("Picture 5.png", randomBytes(8 << 20, 5), "KapshoStatus-Error", 5.0);
  EXPECT_NE(log_.text().find("Upload failed: "), std::string::npos);
  EXPECT_TRUE(filesIn(folder_).empty());
}

// Each object holds the file's bytes under the prefix, with the type its name tells and, where
// asked, reading for anyone; a taken name is never replaced; a file over 64 MiB goes in parts.
TEST_F(DestinationTest, S3StoresTheObjectWithItsBytesTypeAndReadingRights) {
  NEEDS_S3();
  S3Store& store = s3Store();
  ASSERT_EQ(store.request("PUT", "/shots").status, 200);
  const struct {
    std::string name, bytes;
    bool publicRead;
    std::string key, type;
    int anyone;        // what anyone gets without keys
    const char* etag;  // a whole object's MD5, or one of parts with their count
  } cases[] = {
      {"Picture 1.png", randomBytes(300000, 1), true, "agent/Picture-1.png", "image/png", 200,
       "[0-9a-f]{32}"},
      {"Picture 1.png", randomBytes(1000, 2), false, "agent/Picture-1-2.png", "image/png", 403,
       "[0-9a-f]{32}"},
      {"Picture 2.JPG", randomBytes((64 << 20) + 1, 3), false, "agent/Picture-2.jpg", "image/jpeg",
       403, "[0-9a-f]{32}-5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    setDestination({{Destination::URLKey, "s3://shots/agent/"},
                    {Destination::AddressKey, "https://cdn.example.org/{name}"},
                    {Destination::EndpointKey, store.endpoint()},
                    {Destination::RegionKey, "us-east-1"},
                    {Destination::KeysFileKey, store.credentialsFile()},
                    {Destination::PublicReadKey, c.publicRead}});
    upload(c.name, c.bytes, "KapshoStatus-Finished", 2.0);
    EXPECT_EQ(clipboard(), "https://cdn.example.org/" + c.key.substr(6));
    const Answer object = store.request("GET", "/shots/" + c.key);
    EXPECT_EQ(object.status, 200);
    EXPECT_TRUE(object.body == c.bytes) << "the object holds other bytes";
    EXPECT_NE(object.headers.find("Content-Type: " + c.type + "\r\n"), std::string::npos);
    EXPECT_TRUE(std::regex_search(object.headers,
                                  std::regex("\r\nETag: \"" + std::string(c.etag) + "\"\r\n")))
        << object.headers;
    EXPECT_EQ(curl({store.endpoint() + "/shots/" + c.key}).status, c.anyone);
  }
}

// The store's keys come from the keys file (its owner's alone), else where the AWS tools find
// them: the environment, then the shared credentials file's profile. Keys the store refuses give
// the store's own error.
TEST_F(DestinationTest, S3TakesTheKeysWhereTheAWSToolsFindThemAndReportsTheStoresRefusal) {
  NEEDS_S3();
  S3Store& store = s3Store();
  ASSERT_EQ(store.request("PUT", "/keys").status, 200);
  const std::string file = home() + "/keys", shared = home() + "/.aws/credentials";
  const auto keys = [](const std::string& access, const std::string& secret) {
    return "[default]\naws_access_key_id = " + access + "\naws_secret_access_key = " + secret +
           "\n";
  };
  const std::string good = keys(store.accessKey(), store.secretKey()),
                    wrongSecret = keys(store.accessKey(), "wrong"),
                    unknownKey = keys("AKUNKNOWN", "wrong"),
                    profile = "[shots]\naws_access_key_id=" + store.accessKey() +
                              "\naws_secret_access_key=" + store.secretKey() + "\n",
                    refused = "the store refused Picture-6.png: ",
                    readable = "Destination Keys File: " + file +
                               ": others than its owner may use it (chmod 600)",
                    noKeys =
                        "no keys for the store: name a keys file, set AWS_ACCESS_KEY_ID and "
                        "AWS_SECRET_ACCESS_KEY, or give " +
                        shared + " a [default] profile";
  const std::map<std::string, std::string> fromEnvironment = {
      {"AWS_ACCESS_KEY_ID", store.accessKey()}, {"AWS_SECRET_ACCESS_KEY", store.secretKey()}};
  const struct {
    const char* trace;
    std::string keysFile;
    mode_t mode;
    std::map<std::string, std::string> environment;
    std::string sharedFile, failure;  // "" for a stored file
  } cases[] = {
      {"a keys file", good, 0600, {}, "", ""},
      {"others may read it", good, 0644, {}, "", readable},
      {"a wrong secret", wrongSecret, 0600, {}, "", refused + "SignatureDoesNotMatch (HTTP 403)"},
      {"an unknown key", unknownKey, 0600, {}, "", refused + "InvalidAccessKeyId (HTTP 403)"},
      {"the environment", "", 0, fromEnvironment, "", ""},
      {"a profile", "", 0, {{"AWS_PROFILE", "shots"}}, profile, ""},
      {"nowhere", "", 0, {}, "", noKeys},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.trace);
    std::vector<std::unique_ptr<ScopedEnv>> environment;
    for (const char* name : {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_PROFILE"})
      environment.push_back(std::make_unique<ScopedEnv>(
          name,
          c.environment.contains(name) ? std::optional(c.environment.at(name)) : std::nullopt));
    fs::remove(file);
    fs::remove_all(home() + "/.aws");
    if (!c.keysFile.empty()) {
      writeFile(file, c.keysFile);
      chmod(file.c_str(), c.mode);
    }
    if (!c.sharedFile.empty()) {
      fs::create_directories(home() + "/.aws");
      writeFile(shared, c.sharedFile);
    }
    Keys settings = {{Destination::URLKey, "s3://keys/"},
                     {Destination::AddressKey, "https://cdn.example.org/{name}"},
                     {Destination::EndpointKey, store.endpoint()},
                     {Destination::RegionKey, "us-east-1"}};
    if (!c.keysFile.empty()) settings[Destination::KeysFileKey] = file;
    setDestination(settings);
    if (c.failure.empty()) {
      upload("Picture 6.png", "png", "KapshoStatus-Finished", 2.0);
      const std::string address = clipboard();
      EXPECT_EQ(store.request("GET", "/keys/" + address.substr(address.rfind('/') + 1)).body,
                "png");
    } else {
      upload("Picture 6.png", "png", "KapshoStatus-Error", 5.0);
      expectLogged("Upload failed: " + c.failure);
    }
  }
}

// kapsho-prefs destination stores a destination only when it can work, with --test only once a
// picture went there; a destination takes the place of a custom uploader, and builtin clears
// both. Nothing else in the agent's settings changes.
TEST_F(DestinationTest, PrefsStoresOnlyADestinationThatWorks) {
  NEEDS_SSH();
  NEEDS_S3();
  S3Store& store = s3Store();
  ASSERT_EQ(store.request("PUT", "/prefs").status, 200);
  fs::copy_file(store.credentialsFile(), home() + "/keys");
  folder_ = sshServer().folder() + "/prefs";
  fs::create_directories(folder_);
  const std::string sftp = "sftp://" + sshServer().user() +
                           "@127.0.0.1:" + std::to_string(sshServer().port()) + folder_ + "/";
  const std::vector<std::string> s3 = {"s3://prefs/", "--endpoint", store.endpoint(), "--region",
                                       "us-east-1"};
  const platform::Dictionary before = {{"Other", Value("kept")},
                                       {"Custom Uploader", Value("/uploaders/x.sxcu")}};
  const auto with = [](std::vector<std::string> arguments, const std::vector<std::string>& more) {
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  };
  const struct {
    const char* trace;
    std::vector<std::string> arguments;
    int exitCode;
    std::string out, err;  // out: a pattern; err: the very text
    platform::Dictionary after;
  } cases[] = {
      {"no address", s3, 1, "",
       "kapsho-prefs: Destination Address: no address template, so no address can be made for "
       "the clipboard (give one such as https://img.example.org/{name})\n",
       before},
      {"an unknown host key",
       {sftp, "--address", "https://img.example.org/{name}", "--key", sshServer().userKey(),
        "--test"},
       1,
       "",
       "kapsho-prefs: the test upload to " + sftp +
           " failed: The SSH host key of 127.0.0.1:" + std::to_string(sshServer().port()) +
           " is unknown (ED25519 key " + sshServer().hostKeyFingerprint() +
           "): if that is the server's key, add it to " + knownHosts() + "\n",
       before},
      {"a store that takes the test picture",
       with(s3, {"--address", "https://cdn.example.org/{name}", "--keys", "keys", "--test"}),
       0,
       "Test upload: https://cdn.example.org/[a-z0-9]{20}\\.png\n"
       "Uploader: s3://prefs/, served at https://cdn.example.org/\\{name\\}\n",
       "",
       {{"Other", Value("kept")},
        {Destination::URLKey, Value("s3://prefs/")},
        {Destination::AddressKey, Value("https://cdn.example.org/{name}")},
        {Destination::KeysFileKey, Value(home() + "/keys")},
        {Destination::EndpointKey, Value(store.endpoint())},
        {Destination::RegionKey, Value("us-east-1")},
        {Destination::NamingKey, Value("own")}}},
      {"builtin", {"builtin"}, 0, "Uploader: built in\n", "", {{"Other", Value("kept")}}},
  };
  // From the home folder: a relative keys file is named whole in the settings.
  const auto prefs = [&](const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"env", "-C", home(), stagePath("bin/kapsho-prefs")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runCommand(argv, std::chrono::seconds(60));
  };
  const auto stored = [] { return Value(storedDomain(DaemonBundleID)).description(); };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.trace);
    fs::remove(knownHosts());
    NSUserDefaults::setPersistentDomain(before, DaemonBundleID);
    const CommandResult result = prefs(with({"destination"}, c.arguments));
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_TRUE(std::regex_match(result.out, std::regex(c.out))) << result.out;
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(stored(), Value(c.after).description());
  }
  EXPECT_TRUE(filesIn(folder_).empty());

  // The pane's uploader row shows the destination, and the built-in uploader clears it.
  NSUserDefaults::setPersistentDomain(
      {{Destination::URLKey, Value("s3://prefs/")},
       {Destination::AddressKey, Value("https://cdn.example.org/{name}")},
       {Destination::EndpointKey, Value(store.endpoint())},
       {Destination::RegionKey, Value("us-east-1")}},
      DaemonBundleID);
  const CommandResult status = prefs({"status"});
  EXPECT_NE(status.out.find("\nUploader: s3://prefs/, served at https://cdn.example.org/{name}\n"),
            std::string::npos)
      << status.out << status.err;
  const CommandResult builtIn = prefs({"uploader", "none"});
  EXPECT_EQ(builtIn.exitCode, 0) << builtIn.err;
  EXPECT_EQ(stored(), Value(platform::Dictionary{}).description());
}

}  // namespace
