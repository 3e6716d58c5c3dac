// kapsho-upload-server: receives the agent's screenshot uploads and serves them back.
#include <curl/curl.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/foundation/Log.h"
#include "tools/kapsho-upload-server/AccessControl.h"
#include "tools/kapsho-upload-server/BucketStore.h"
#include "tools/kapsho-upload-server/FolderStore.h"
#include "tools/kapsho-upload-server/HttpServer.h"
#include "tools/kapsho-upload-server/ServerOptions.h"
#include "tools/kapsho-upload-server/UploadService.h"

using namespace upload_server;

namespace {

// How long requests in flight get to finish once a stop is asked for.
constexpr std::chrono::seconds kStopGrace{3};

int fail(const std::string& message) {
  std::fprintf(stderr, "kapsho-upload-server: %s\n", message.c_str());
  return 1;
}

// The folder, or the bucket with the folder as its spool. A bucket whose settings are wrong ends
// the start; a store that cannot be reached yet only delays uploads (503) until it can.
std::unique_ptr<ImageStore> makeStore(const ServerOptions& options) {
  if (options.bucket.empty()) return std::make_unique<FolderStore>(options.dataDir);
  BucketConfig config{
      options.storeEndpoint, options.storeRegion, options.bucket, options.bucketPrefix, "", "", ""};
  if (const auto error = config.loadKeys(options.storeCredentials))
    throw std::invalid_argument(*error);
  auto store = std::make_unique<BucketStore>(std::move(config), options.dataDir);
  bool reachable = false;
  if (const auto error = store->check(&reachable)) {
    if (reachable) throw std::invalid_argument(*error);
    NSLog("%@; uploads are refused until it can", *error);
  }
  return store;
}

}  // namespace

int main(int argc, char** argv) {
  // Blocked before any thread starts, so that only sigwait below takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A client hanging up mid-answer must not end the server.
  signal(SIGPIPE, SIG_IGN);
  // Before any thread: the store's client library sets itself up once.
  curl_global_init(CURL_GLOBAL_DEFAULT);

  const auto parsed = parseCommandLine({argv, argv + argc});
  if (const auto* usage = std::get_if<ShowUsage>(&parsed)) {
    std::fputs(usage->text.c_str(), stdout);
    return 0;
  }
  if (const auto* error = std::get_if<UsageError>(&parsed))
    return fail(error->message + "\nTry 'kapsho-upload-server --help'.");
  const auto& options = std::get<ServerOptions>(parsed);

  std::optional<Users> users;
  if (!options.usersFile.empty()) {
    auto loaded = Users::load(options.usersFile);
    if (const auto* error = std::get_if<std::string>(&loaded)) return fail(*error);
    users.emplace(std::move(std::get<Users>(loaded)));
  }
  if (!options.clientFileUser.empty()) {
    const auto token = users->token(options.clientFileUser);
    if (!token) return fail(options.usersFile + " does not list " + options.clientFileUser);
    std::fputs(clientFile(options.baseUrl, options.clientFileUser, *token).c_str(), stdout);
    return 0;
  }

  std::unique_ptr<ImageStore> store;
  try {
    store = makeStore(options);
  } catch (const std::filesystem::filesystem_error& error) {
    return fail("cannot use " + options.dataDir + ": " + error.code().message());
  } catch (const std::invalid_argument& error) {
    return fail(error.what());
  }

  TrustedProxies proxies;
  for (const auto& range : options.trustedProxies)
    if (!proxies.add(range)) return fail("--trusted-proxy needs ADDR[/BITS], not '" + range + "'");
  std::optional<RateLimit> rate;
  if (options.ratePerMinute) rate.emplace(options.ratePerMinute);

  auto listening = listenOn(options.bindAddress, options.port);
  if (const auto* error = std::get_if<std::string>(&listening)) return fail(*error);
  auto& listener = std::get<Listener>(listening);
  const int port = listener.port;
  const std::string baseUrl =
      options.baseUrlGiven ? options.baseUrl : defaultBaseUrl(options.urlHost, port);
  UploadService service(*store, {baseUrl, options.baseUrlGiven, options.maxBytes,
                                 users ? &*users : nullptr, rate ? &*rate : nullptr});
  HttpServer server(service, {options.maxConnections, options.maxPerClient, options.requestTimeout},
                    std::move(proxies));
  if (const auto error = server.start(std::move(listener))) return fail(*error);
  NSLog("listening on %@ port %d, storing in %@, addresses start with %@/i/", options.bindAddress,
        port,
        options.bucket.empty()
            ? options.dataDir
            : options.storeEndpoint + "/" + options.bucket + "/" + options.bucketPrefix,
        baseUrl);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  NSLog("stopping on signal %d", signal);
  server.stop(kStopGrace);
  return 0;
}
