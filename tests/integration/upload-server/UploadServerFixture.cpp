#include "tests/integration/upload-server/UploadServerFixture.h"

#include <sys/stat.h>

#include <QByteArray>

namespace upload_server_testing {

using namespace testing_support;
namespace fs = std::filesystem;

const std::string kServer = stagePath("bin/kapsho-upload-server");

std::string Reply::header(const std::string& name) const {
  const auto at = headers.find("\r\n" + name + ": ");
  if (at == std::string::npos) return {};
  const auto start = at + name.size() + 4;
  return headers.substr(start, headers.find("\r\n", start) - start);
}

Reply curl(std::vector<std::string> args) {
  args.insert(args.begin(), {"curl", "-s", "-i", "--max-time", "20"});
  std::string out = runCommand(args).out;
  Reply reply;
  // curl shows an interim "100 Continue" before the answer to a large body.
  while (out.starts_with("HTTP/1.1 100 ")) out.erase(0, out.find("\r\n\r\n") + 4);
  if (out.size() < 12) return reply;
  reply.status = std::stoi(out.substr(9, 3));
  const auto end = out.find("\r\n\r\n");
  reply.headers = out.substr(0, end + 2);
  reply.body = out.substr(end + 4);
  return reply;
}

std::string sha256Name(const std::string& path) {
  return runCommand({"sha256sum", path}).out.substr(0, 32);
}

std::string png(const std::string& bytes) {
  return "\x89PNG\r\n\x1a\n" + bytes;
}

std::string awkwardBytes(std::size_t size, char seed) {
  std::string bytes;
  for (std::size_t i = 0; bytes.size() < size; ++i)
    bytes += i % 97 == 0 ? std::string("\r\n--") : std::string(1, static_cast<char>(i * 31 + seed));
  return bytes.substr(0, size);
}

std::string agentRequest(int port, const std::string& bytes, const std::string& credentials) {
  auto request = agentUpload(port, bytes.size());
  if (!credentials.empty())
    request.head.insert(request.head.size() - 2,
                        "Authorization: Basic " +
                            QByteArray::fromStdString(credentials).toBase64().toStdString() +
                            "\r\n");
  return request.whole(bytes);
}

void UploadServerTest::start(std::vector<std::string> extra) {
  std::vector<std::string> argv{kServer, "--port", std::to_string(port), "--data-dir", data};
  argv.insert(argv.end(), extra.begin(), extra.end());
  server = std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{}, "",
                                          dir.file("server.log"));
  ASSERT_TRUE(waitUntil([&] { return LoopbackSocket(port).connected(); }));
}

Reply UploadServerTest::upload(const std::string& file, const std::string& fileName) {
  return curl({"-F", "app_upload=Upload", "-F",
               "userfile=@" + file + (fileName.empty() ? "" : ";filename=" + fileName),
               url("/app_upload.php")});
}

std::size_t UploadServerTest::storedFiles() const {
  return std::distance(fs::directory_iterator(data), fs::directory_iterator());
}

std::string UploadServerTest::users(const std::string& lines) const {
  writeFile(dir.file("users"), lines);
  chmod(dir.file("users").c_str(), 0600);
  return dir.file("users");
}

std::string UploadServerTest::log() const {
  return readFile(dir.file("server.log")).value_or("");
}

bool UploadServerTest::logged(const std::string& line) const {
  return waitUntil([&] { return log().find("] " + line + "\n") != std::string::npos; });
}

long UploadServerTest::peakMemoryKiB() const {
  return processMemoryKiB(server->pid(), "VmHWM").value_or(-1);
}

}  // namespace upload_server_testing
