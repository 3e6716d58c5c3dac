// The real kapsho-upload-server on a loopback port of its own, driven with real curl and raw
// sockets, for the tests of what it takes, refuses and serves.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/LoopbackSocket.h"
#include "tests/support/TestSupport.h"

namespace upload_server_testing {

extern const std::string kServer;
// Far below what the uploads and bodies sent here would take if the server held them.
constexpr long kMemoryCapKiB = 100 * 1024;

struct Reply {
  int status = 0;
  std::string headers;
  std::string body;
  // The first value of the header field, "" without one.
  std::string header(const std::string& name) const;
};

Reply curl(std::vector<std::string> args);
// The name a file's bytes are stored under, without its extension.
std::string sha256Name(const std::string& path);
// Only images are taken: these bytes after a PNG signature pass for one.
std::string png(const std::string& bytes);
// Bytes that stress a multipart parser: every byte value, line breaks and boundary look-alikes.
std::string awkwardBytes(std::size_t size, char seed);
// The agent's upload of these bytes on its own connection, with the Basic authorization of
// "name:token" when given.
std::string agentRequest(int port, const std::string& bytes, const std::string& credentials = "");

class UploadServerTest : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra = {});
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }
  Reply upload(const std::string& file, const std::string& fileName = "");
  std::size_t storedFiles() const;
  // A users file only the service may read.
  std::string users(const std::string& lines) const;
  std::string log() const;
  // A request's line is written once its connection has closed, which may be after its answer.
  bool logged(const std::string& line) const;
  long peakMemoryKiB() const;

  testing_support::TempDir dir;
  const std::string data = dir.file("uploads");
  const int port = testing_support::freeLocalPort();
  std::unique_ptr<testing_support::ChildProcess> server;
};

}  // namespace upload_server_testing
