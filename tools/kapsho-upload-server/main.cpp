// kapsho-upload-server: receives the agent's screenshot uploads and serves them back.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "platform/foundation/Log.h"
#include "tools/kapsho-upload-server/AccessControl.h"
#include "tools/kapsho-upload-server/HttpServer.h"
#include "tools/kapsho-upload-server/ImageStore.h"
#include "tools/kapsho-upload-server/ServerOptions.h"
#include "tools/kapsho-upload-server/UploadService.h"

using namespace upload_server;

namespace {

// How long requests in flight get to finish once a stop is asked for.
constexpr std::chrono::seconds kStopGrace{3};

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

  const auto parsed = parseCommandLine({argv, argv + argc});
  if (const auto* usage = std::get_if<ShowUsage>(&parsed)) {
    std::fputs(usage->text.c_str(), stdout);
    return 0;
  }
  if (const auto* error = std::get_if<UsageError>(&parsed)) {
    std::fprintf(stderr, "kapsho-upload-server: %s\nTry 'kapsho-upload-server --help'.\n",
                 error->message.c_str());
    return 1;
  }
  const auto& options = std::get<ServerOptions>(parsed);

  std::optional<ImageStore> store;
  try {
    store.emplace(options.dataDir);
  } catch (const std::filesystem::filesystem_error& error) {
    std::fprintf(stderr, "kapsho-upload-server: cannot use %s: %s\n", options.dataDir.c_str(),
                 error.code().message().c_str());
    return 1;
  }

  std::optional<Users> users;
  if (!options.usersFile.empty()) {
    auto loaded = Users::load(options.usersFile);
    if (const auto* error = std::get_if<std::string>(&loaded)) {
      std::fprintf(stderr, "kapsho-upload-server: %s\n", error->c_str());
      return 1;
    }
    users.emplace(std::move(std::get<Users>(loaded)));
  }
  std::optional<RateLimit> rate;
  if (options.ratePerMinute) rate.emplace(options.ratePerMinute);

  UploadService service(*store, options.baseUrl, options.maxBytes, users ? &*users : nullptr,
                        rate ? &*rate : nullptr);
  HttpServer server(service,
                    {options.maxConnections, options.maxPerClient, options.requestTimeout});
  if (const auto error = server.start(options.bindAddress, options.port)) {
    std::fprintf(stderr, "kapsho-upload-server: %s\n", error->c_str());
    return 1;
  }
  NSLog("listening on %@ port %d, storing in %@, addresses start with %@/i/", options.bindAddress,
        options.port, options.dataDir, options.baseUrl);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  NSLog("stopping on signal %d", signal);
  server.stop(kStopGrace);
  return 0;
}
