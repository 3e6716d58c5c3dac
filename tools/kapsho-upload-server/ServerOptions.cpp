#include "tools/kapsho-upload-server/ServerOptions.h"

#include <arpa/inet.h>
#include <unistd.h>
#include <climits>

#include <QCommandLineParser>
#include <QStandardPaths>
#include <QStringList>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>

namespace upload_server {

namespace {

constexpr int kDefaultPort = 8451;
constexpr std::size_t kDefaultMaxBytes = 64 * 1024 * 1024;
constexpr unsigned kDefaultMaxConnections = 256;
constexpr unsigned kDefaultMaxPerClient = 32;
constexpr unsigned kDefaultRequestTimeout = 60;

const char* const kUsage =
    "Usage: kapsho-upload-server [options]\n"
    "Receives screenshots posted to /app_upload.php and serves them under /i/<name>.\n"
    "\n"
    "Options:\n"
    "  --bind ADDR             address to listen on (default 127.0.0.1)\n"
    "  --port N                port to listen on (default 8451; 0: any free one, which the\n"
    "                          line logged at the start names)\n"
    "  --data-dir DIR          folder of the stored images\n"
    "                          (default ${XDG_DATA_HOME:-$HOME/.local/share}/kapsho/uploads)\n"
    "  --base-url URL          start of the addresses handed out (default http://ADDR:N, or\n"
    "                          the machine's name for ADDR when ADDR is 0.0.0.0 or ::)\n"
    "  --max-bytes N           largest request body accepted (default 67108864)\n"
    "  --max-connections N     connections served at once (default 256)\n"
    "  --max-per-client N      connections served at once from one address (default 32)\n"
    "  --request-timeout SECS  time a client has to send a whole request (default 60)\n"
    "  --users FILE            take uploads only with the Basic authorization of a user\n"
    "                          listed in FILE as name:token (a file only its owner may read)\n"
    "  --rate N/min            take at most N uploads a minute from one client address\n"
    "  --trusted-proxy ADDR[/BITS]\n"
    "                          believe Forwarded, X-Forwarded-For and X-Forwarded-Proto from\n"
    "                          these addresses only (repeatable)\n"
    "  --store s3://BUCKET[/PREFIX]\n"
    "                          keep the images in a bucket of an S3-compatible store; the data\n"
    "                          folder then holds only uploads on their way\n"
    "  --s3-endpoint URL       the store's address (https://s3.REGION.amazonaws.com by default)\n"
    "  --s3-region R           the store's region (default us-east-1)\n"
    "  --s3-credentials FILE   the store's keys, as an AWS credentials file only its owner may\n"
    "                          read (default: AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY)\n"
    "  --client-file USER      print a custom uploader file for USER of --users, and exit\n"
    "  -h, --help              show this text\n";

// A positive number that fits T, or nullopt.
template <typename T>
std::optional<T> positive(const QString& text) {
  bool ok = false;
  const qulonglong value = text.toULongLong(&ok);
  if (!ok || value == 0 || value > std::numeric_limits<T>::max()) return std::nullopt;
  return static_cast<T>(value);
}

// The host the addresses handed out name: the bound address, or for an address that stands for
// every one ("0.0.0.0", "::"), which no client can reach, the machine's name.
std::optional<std::string> hostForUrl(const std::string& address) {
  in6_addr bytes;
  in_addr bytes4;
  const bool any =
      (inet_pton(AF_INET, address.c_str(), &bytes4) == 1 && bytes4.s_addr == INADDR_ANY) ||
      (inet_pton(AF_INET6, address.c_str(), &bytes) == 1 && IN6_IS_ADDR_UNSPECIFIED(&bytes));
  if (!any) return address.find(':') == std::string::npos ? address : "[" + address + "]";
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !*name) return std::nullopt;
  return name;
}

// The bucket and prefix of "s3://BUCKET[/PREFIX]", as S3 names them: a prefix of safe characters
// only, so that it needs no encoding in a request's path.
std::optional<UsageError> readStore(const std::string& url, ServerOptions& options) {
  if (url.empty()) return std::nullopt;
  const std::string scheme = "s3://";
  const std::string rest = url.starts_with(scheme) ? url.substr(scheme.size()) : "";
  const auto slash = rest.find('/');
  options.bucket = rest.substr(0, slash);
  options.bucketPrefix = slash == std::string::npos ? "" : rest.substr(slash + 1);
  if (!options.bucketPrefix.empty() && !options.bucketPrefix.ends_with('/'))
    options.bucketPrefix += '/';
  const auto safe = [](const std::string& text, const char* punctuation) {
    return std::all_of(text.begin(), text.end(), [&](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) || std::strchr(punctuation, c);
    });
  };
  if (options.bucket.size() < 3 || options.bucket.size() > 63 || !safe(options.bucket, ".-") ||
      !safe(options.bucketPrefix, "-_./") || options.bucketPrefix.starts_with('/'))
    return UsageError{"--store needs s3://BUCKET[/PREFIX], not '" + url + "'"};
  return std::nullopt;
}

}  // namespace

std::string defaultBaseUrl(const std::string& urlHost, int port) {
  return "http://" + urlHost + ":" + std::to_string(port);
}

std::variant<ServerOptions, ShowUsage, UsageError> parseCommandLine(
    const std::vector<std::string>& arguments) {
  QCommandLineParser parser;
  const QCommandLineOption help(QStringList{"h", "help"});
  const QCommandLineOption bind("bind", "", "ADDR", "127.0.0.1");
  const QCommandLineOption port("port", "", "N", QString::number(kDefaultPort));
  const QCommandLineOption dataDir("data-dir", "", "DIR");
  const QCommandLineOption baseUrl("base-url", "", "URL");
  const QCommandLineOption maxBytes("max-bytes", "", "N", QString::number(kDefaultMaxBytes));
  const QCommandLineOption maxConnections("max-connections", "", "N",
                                          QString::number(kDefaultMaxConnections));
  const QCommandLineOption maxPerClient("max-per-client", "", "N",
                                        QString::number(kDefaultMaxPerClient));
  const QCommandLineOption requestTimeout("request-timeout", "", "SECS",
                                          QString::number(kDefaultRequestTimeout));
  const QCommandLineOption users("users", "", "FILE");
  const QCommandLineOption rate("rate", "", "N/min");
  const QCommandLineOption trustedProxy("trusted-proxy", "", "ADDR[/BITS]");
  const QCommandLineOption store("store", "", "s3://BUCKET[/PREFIX]");
  const QCommandLineOption endpoint("s3-endpoint", "", "URL");
  const QCommandLineOption region("s3-region", "", "R", "us-east-1");
  const QCommandLineOption credentials("s3-credentials", "", "FILE");
  const QCommandLineOption clientFile("client-file", "", "USER");
  parser.addOptions({help, bind, port, dataDir, baseUrl, maxBytes, maxConnections, maxPerClient,
                     requestTimeout, users, rate, trustedProxy, store, endpoint, region,
                     credentials, clientFile});

  QStringList qtArguments;
  for (const auto& argument : arguments) qtArguments << QString::fromLocal8Bit(argument);
  if (!parser.parse(qtArguments)) return UsageError{parser.errorText().toStdString()};
  if (parser.isSet(help)) return ShowUsage{kUsage};
  if (!parser.positionalArguments().isEmpty())
    return UsageError{"unexpected argument '" + parser.positionalArguments().first().toStdString() +
                      "'"};

  ServerOptions options;
  options.bindAddress = parser.value(bind).toStdString();
  if (options.bindAddress.empty()) return UsageError{"--bind needs an address"};

  bool ok = false;
  options.port = parser.value(port).toInt(&ok);
  if (!ok || options.port < 0 || options.port > 65535)
    return UsageError{"--port needs a number from 0 to 65535, not '" +
                      parser.value(port).toStdString() + "'"};

  const auto needsPositive = [&](const QCommandLineOption& option) {
    return UsageError{"--" + option.names().first().toStdString() +
                      " needs a positive number, not '" + parser.value(option).toStdString() + "'"};
  };
  const auto bytes = positive<std::size_t>(parser.value(maxBytes));
  const auto connections = positive<unsigned>(parser.value(maxConnections));
  const auto perClient = positive<unsigned>(parser.value(maxPerClient));
  const auto timeout = positive<unsigned>(parser.value(requestTimeout));
  if (!bytes) return needsPositive(maxBytes);
  if (!connections) return needsPositive(maxConnections);
  if (!perClient) return needsPositive(maxPerClient);
  if (!timeout) return needsPositive(requestTimeout);
  options.maxBytes = *bytes;
  options.maxConnections = *connections;
  options.maxPerClient = *perClient;
  options.requestTimeout = std::chrono::seconds(*timeout);

  if (parser.isSet(users)) {
    options.usersFile = parser.value(users).toStdString();
    if (options.usersFile.empty()) return UsageError{"--users needs a file"};
  }
  if (parser.isSet(rate)) {
    const QString text = parser.value(rate);
    const auto perMinute = text.endsWith("/min", Qt::CaseInsensitive)
                               ? positive<unsigned>(text.chopped(4))
                               : std::nullopt;
    if (!perMinute)
      return UsageError{"--rate needs N/min with N a positive number, not '" + text.toStdString() +
                        "'"};
    options.ratePerMinute = *perMinute;
  }

  if (parser.isSet(dataDir)) {
    options.dataDir = parser.value(dataDir).toStdString();
    if (options.dataDir.empty()) return UsageError{"--data-dir needs a folder"};
  } else {
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (dataHome.isEmpty()) return UsageError{"no data folder known; give --data-dir"};
    options.dataDir = dataHome.toStdString() + "/kapsho/uploads";
  }
  options.dataDir = std::filesystem::absolute(options.dataDir).lexically_normal().string();

  options.baseUrlGiven = parser.isSet(baseUrl);
  if (const auto host = hostForUrl(options.bindAddress)) {
    options.urlHost = *host;
  } else if (!options.baseUrlGiven) {
    return UsageError{"--bind " + options.bindAddress +
                      " listens on every address and this machine has no name: give --base-url"};
  }
  options.baseUrl = options.baseUrlGiven ? parser.value(baseUrl).toStdString()
                                         : defaultBaseUrl(options.urlHost, options.port);
  if (options.baseUrl.ends_with('/')) options.baseUrl.pop_back();
  if (!options.baseUrl.starts_with("http://") && !options.baseUrl.starts_with("https://"))
    return UsageError{"--base-url needs an http:// or https:// address, not '" + options.baseUrl +
                      "'"};
  for (const QString& range : parser.values(trustedProxy))
    options.trustedProxies.push_back(range.toStdString());
  if (const auto error = readStore(parser.value(store).toStdString(), options)) return *error;
  options.storeEndpoint = parser.value(endpoint).toStdString();
  options.storeRegion = parser.value(region).toStdString();
  options.storeCredentials = parser.value(credentials).toStdString();
  if (options.storeEndpoint.empty())
    options.storeEndpoint = "https://s3." + options.storeRegion + ".amazonaws.com";
  if (options.storeEndpoint.ends_with('/')) options.storeEndpoint.pop_back();
  if (!options.storeEndpoint.starts_with("http://") &&
      !options.storeEndpoint.starts_with("https://"))
    return UsageError{"--s3-endpoint needs an http:// or https:// address, not '" +
                      options.storeEndpoint + "'"};
  options.clientFileUser = parser.value(clientFile).toStdString();
  if (parser.isSet(clientFile) && (options.clientFileUser.empty() || options.usersFile.empty()))
    return UsageError{"--client-file needs a user listed in the file of --users"};
  return options;
}

}  // namespace upload_server
