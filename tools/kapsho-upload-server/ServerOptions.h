// The upload server's settings, read from its command line.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <variant>
#include <vector>

namespace upload_server {

struct ServerOptions {
  std::string bindAddress;
  int port = 0;
  std::string dataDir;
  std::string baseUrl;
  std::size_t maxBytes = 0;
  unsigned maxConnections = 0;
  unsigned maxPerClient = 0;
  std::chrono::seconds requestTimeout{0};
  // Empty: anyone may upload.
  std::string usersFile;
  // Uploads a client may start in a minute; 0: no limit.
  unsigned ratePerMinute = 0;
};

struct ShowUsage {
  std::string text;
};

struct UsageError {
  std::string message;
};

// Reads argv (program name first) and fills in the defaults for what it does not give.
std::variant<ServerOptions, ShowUsage, UsageError> parseCommandLine(
    const std::vector<std::string>& arguments);

}  // namespace upload_server
