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
  // As given; without it the addresses start with the host that stands for the bound address.
  std::string baseUrl;
  std::string urlHost;
  std::size_t maxBytes = 0;
  unsigned maxConnections = 0;
  unsigned maxPerClient = 0;
  std::chrono::seconds requestTimeout{0};
  // Empty: anyone may upload.
  std::string usersFile;
  // Uploads a client may start in a minute; 0: no limit.
  unsigned ratePerMinute = 0;
  bool baseUrlGiven = false;
  // "ADDR[/BITS]" of each reverse proxy whose forwarding fields are believed.
  std::vector<std::string> trustedProxies;
  // A bucket of an object store instead of the data folder, which then only spools uploads:
  // bucket "" means the folder.
  std::string bucket, bucketPrefix, storeEndpoint, storeRegion, storeCredentials;
  // Not empty: print this user's custom uploader file and exit.
  std::string clientFileUser;
};

struct ShowUsage {
  std::string text;
};

struct UsageError {
  std::string message;
};

// The addresses' start when no --base-url is given: the host and the port listened on.
std::string defaultBaseUrl(const std::string& urlHost, int port);

// Reads argv (program name first) and fills in the defaults for what it does not give.
std::variant<ServerOptions, ShowUsage, UsageError> parseCommandLine(
    const std::vector<std::string>& arguments);

}  // namespace upload_server
