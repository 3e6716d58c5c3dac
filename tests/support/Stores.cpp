#include "tests/support/Stores.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "tests/support/LoopbackSocket.h"

namespace testing_support {

namespace {

using namespace std::chrono_literals;

const std::string kStoreScript = std::string(KAPSHO_SOURCE_DIR) + "/tests/support/s3-store.sh";
constexpr int kTries = 5;

bool isRoot() {
  return geteuid() == 0;
}

// The text with each "{name}" replaced by its value.
std::string fill(std::string text, const std::map<std::string, std::string>& values) {
  for (const auto& [name, value] : values)
    for (size_t at; (at = text.find("{" + name + "}")) != std::string::npos;)
      text.replace(at, name.size() + 2, value);
  return text;
}

// nginx and sshd cannot take a socket bound for them: a port taken since it was found free ends
// the server at once, and the next is tried. The server, started on `port`, once it listens.
std::unique_ptr<ChildProcess> startOnFreePort(
    int& port, const std::function<std::unique_ptr<ChildProcess>(int)>& start) {
  for (int attempt = 0; attempt < kTries; ++attempt) {
    port = freeLocalPort();
    auto process = start(port);
    if (waitUntil([&] { return LoopbackSocket(port).connected(); }, 10s) && !process->wait(200ms))
      return process;
  }
  return nullptr;
}

}  // namespace

Answer curl(const std::vector<std::string>& arguments) {
  TempDir dir;
  std::vector<std::string> argv = {"curl",           "-s", "-D",          dir.file("headers"), "-o",
                                   dir.file("body"), "-w", "%{http_code}"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const auto result = runCommand(argv, 60s);
  return {std::atoi(result.out.c_str()), readFile(dir.file("headers")).value_or(""),
          readFile(dir.file("body")).value_or("")};
}

bool S3Store::available() {
  return isRoot() && access("/usr/bin/radosgw", X_OK) == 0 &&
         access("/usr/bin/ceph-mon", X_OK) == 0;
}

S3Store::S3Store() {
  const auto started = runCommand({"bash", kStoreScript, "start", dir_.file("store")}, 180s);
  std::istringstream words(started.out);
  if (started.exitCode != 0 || !(words >> port_ >> access_ >> secret_)) {
    port_ = 0;
    return;
  }
  writeFile(credentialsFile(), "[default]\naws_access_key_id = " + access_ +
                                   "\naws_secret_access_key = " + secret_ + "\n");
  chmod(credentialsFile().c_str(), 0600);
}

S3Store::~S3Store() {
  runCommand({"bash", kStoreScript, "stop", dir_.file("store")}, 60s);
}

Answer S3Store::request(const std::string& method, const std::string& path,
                        const std::string& bodyFile) const {
  std::vector<std::string> argv = {"--max-time",  "30",
                                   "--aws-sigv4", "aws:amz:us-east-1:s3",
                                   "--user",      access_ + ":" + secret_,
                                   "-H",          "x-amz-content-sha256: UNSIGNED-PAYLOAD"};
  if (method == "HEAD")
    argv.push_back("-I");
  else
    argv.insert(argv.end(), {"-X", method});
  if (!bodyFile.empty()) argv.insert(argv.end(), {"-T", bodyFile});
  argv.push_back(endpoint() + path);
  return curl(argv);
}

bool S3Store::stopGateway() const {
  return runCommand({"bash", kStoreScript, "gateway", dir_.file("store"), "stop"}, 30s).exitCode ==
         0;
}

bool S3Store::startGateway() const {
  return runCommand({"bash", kStoreScript, "gateway", dir_.file("store"), "start"}, 120s)
             .exitCode == 0;
}

bool ReverseProxy::available() {
  return isRoot() && access("/usr/sbin/nginx", X_OK) == 0;
}

ReverseProxy::ReverseProxy(const std::vector<int>& upstreamPorts, const std::string& certificate,
                           const std::string& key) {
  std::string upstream;
  for (const int port : upstreamPorts)
    upstream += "server 127.0.0.1:" + std::to_string(port) + "; ";
  process_ = startOnFreePort(port_, [&](int port) {
    writeFile(dir_.file("nginx.conf"), fill(R"(daemon off; master_process off; user root;
pid {dir}/nginx.pid; error_log {dir}/error.log;
events {}
http {
  access_log off; client_max_body_size 100m; client_body_temp_path {dir}/body;
  proxy_temp_path {dir}/proxy; fastcgi_temp_path {dir}/fastcgi; uwsgi_temp_path {dir}/uwsgi;
  scgi_temp_path {dir}/scgi;
  upstream shots { hash $remote_addr; {upstream} }
  server {
    listen 127.0.0.1:{port} ssl; ssl_certificate {certificate}; ssl_certificate_key {key};
    location / {
      proxy_pass http://shots; proxy_request_buffering off;
      proxy_set_header Host $host:$server_port;
      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
      proxy_set_header X-Forwarded-Proto $scheme;
    }
  }
}
)",
                                            {{"dir", dir_.path()},
                                             {"upstream", upstream},
                                             {"port", std::to_string(port)},
                                             {"certificate", certificate},
                                             {"key", key}}));
    return std::make_unique<ChildProcess>(std::vector<std::string>{
        "/usr/sbin/nginx", "-p", dir_.path(), "-c", dir_.file("nginx.conf")});
  });
}

ReverseProxy::~ReverseProxy() = default;

bool SSHServer::available() {
  return isRoot() && access("/usr/sbin/sshd", X_OK) == 0 &&
         access("/usr/bin/ssh-keygen", X_OK) == 0;
}

SSHServer::SSHServer() {
  std::filesystem::create_directories(folder());
  // sshd wants its privilege separation folder, which Debian makes only at boot.
  std::filesystem::create_directories("/run/sshd");
  for (const char* key : {"host_key", "user_key"})
    if (runCommand({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "kapsho-test", "-f",
                    dir_.file(key)})
            .exitCode != 0)
      return;
  std::filesystem::copy_file(dir_.file("user_key.pub"), dir_.file("authorized_keys"));
  process_ = startOnFreePort(port_, [&](int port) {
    writeFile(dir_.file("sshd_config"),
              "Port " + std::to_string(port) + "\nListenAddress 127.0.0.1\nHostKey " +
                  dir_.file("host_key") + "\nAuthorizedKeysFile " + dir_.file("authorized_keys") +
                  "\nPidFile " + dir_.file("sshd.pid") + "\nAllowUsers " + user() +
                  "\nPermitRootLogin prohibit-password\nAuthenticationMethods publickey\n"
                  "PasswordAuthentication no\nKbdInteractiveAuthentication no\nUsePAM no\n"
                  "StrictModes no\nSubsystem sftp internal-sftp\n");
    return std::make_unique<ChildProcess>(std::vector<std::string>{
        "/usr/sbin/sshd", "-D", "-f", dir_.file("sshd_config"), "-E", dir_.file("sshd.log")});
  });
}

SSHServer::~SSHServer() = default;

std::string SSHServer::user() const {
  const passwd* account = getpwuid(geteuid());
  return account ? account->pw_name : "root";
}

std::string SSHServer::knownHostsLine(int port) const {
  const std::string key = readFile(dir_.file("host_key.pub")).value_or("");
  return "[127.0.0.1]:" + std::to_string(port) + " " + key.substr(0, key.rfind(' ')) + "\n";
}

std::string SSHServer::hostKeyFingerprint() const {
  std::istringstream words(runCommand({"ssh-keygen", "-l", "-f", dir_.file("host_key.pub")}).out);
  std::string bits, fingerprint;
  words >> bits >> fingerprint;
  return fingerprint;
}

}  // namespace testing_support
