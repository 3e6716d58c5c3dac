// kapsho-upload-server: receives the agent's screenshot uploads and serves them back.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <optional>

#include "platform/foundation/Log.h"
#include "tools/kapsho-upload-server/ImageStore.h"
#include "tools/kapsho-upload-server/ServerOptions.h"
#include "tools/kapsho-upload-server/UploadServer.h"

using namespace upload_server;

int main(int argc, char** argv) {
  // Blocked before any thread starts, so that they wait for sigtimedwait below.
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
    std::fprintf(stderr, "kapsho-upload-server: cannot create %s: %s\n", options.dataDir.c_str(),
                 error.code().message().c_str());
    return 1;
  }

  UploadServer server(*store, options.baseUrl, options.maxBytes);
  if (const auto error = server.bind(options.bindAddress, options.port)) {
    std::fprintf(stderr, "kapsho-upload-server: %s\n", error->c_str());
    return 1;
  }
  NSLog("listening on %@ port %d, storing in %@, addresses start with %@/i/", options.bindAddress,
        options.port, options.dataDir, options.baseUrl);

  auto serving = std::async(std::launch::async, [&] { return server.serve(); });
  const auto ended = [&](std::chrono::milliseconds within) {
    return serving.wait_for(within) == std::future_status::ready;
  };
  const timespec tick{0, 100'000'000};
  while (!ended(std::chrono::milliseconds(0))) {
    const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
    if (signal <= 0) continue;
    NSLog("stopping on signal %d", signal);
    // stop() does nothing until serve() listens, so it is repeated until serve() ends.
    do server.stop();
    while (!ended(std::chrono::milliseconds(10)));
  }
  return serving.get() ? 0 : 1;
}
