// Uploads per second from 16 concurrent clients against the real kapsho-upload-server, for
// 100 kB and 5 MB files (each upload new bytes, so each one is stored), the mean time of one
// upload, and the server's peak resident memory over each run; on its data folder and, where an
// S3-compatible store can run here (root, Ceph's radosgw), on a bucket of it. The server runs
// fresh for every run.
//
//   bench_upload_server [server binary]     (default: the staged one)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "tests/support/LoopbackSocket.h"
#include "tests/support/Stores.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kClients = 16;
constexpr int kRuns = 3;

bool upload(int port, const std::string& bytes) {
  LoopbackSocket socket(port);
  return socket.connected() && socket.send(agentUpload(port, bytes.size()).whole(bytes)) &&
         statusLine(socket.receive(std::chrono::seconds(60))).find(" 302 ") != std::string::npos;
}

struct RunResult {
  double uploadsPerSecond = 0;
  double meanMilliseconds = 0;
  long peakKiB = 0;
  int failed = 0;
};

RunResult run(const std::string& server, const std::vector<std::string>& storeOptions,
              std::size_t size, int uploadsPerClient) {
  TempDir dir;
  std::vector<std::string> argv = {server, "--port", "0", "--data-dir", dir.file("data")};
  argv.insert(argv.end(), storeOptions.begin(), storeOptions.end());
  ChildProcess child(argv, {}, "", dir.file("server.log"));
  std::string log;
  if (!waitUntil([&] {
        log = readFile(dir.file("server.log")).value_or("");
        return log.find(", storing in") != std::string::npos;
      }))
    return {};
  const int port = std::atoi(log.c_str() + log.find(" port ") + 6);

  std::atomic<int> failed = 0;
  std::atomic<long long> busy = 0;
  const auto start = Clock::now();
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] {
      std::mt19937 random(static_cast<unsigned>(c) + static_cast<unsigned>(size));
      std::string bytes(size, '\0');
      std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
      // The server takes only images: a PNG signature, then the upload's own tag.
      const std::string signature = "\x89PNG\r\n\x1a\n";
      std::copy(signature.begin(), signature.end(), bytes.begin());
      for (int i = 0; i < uploadsPerClient; ++i) {
        const std::string tag = std::to_string(c) + "-" + std::to_string(i) + "-" +
                                std::to_string(start.time_since_epoch().count()) + "-";
        std::copy(tag.begin(), tag.end(), bytes.begin() + signature.size());
        const auto began = Clock::now();
        if (!upload(port, bytes)) ++failed;
        busy += std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - began).count();
      }
    });
  for (auto& client : clients) client.join();
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  const int uploads = kClients * uploadsPerClient;
  return {uploads / elapsed.count(), busy.load() / 1000.0 / uploads,
          processMemoryKiB(child.pid(), "VmHWM").value_or(-1), failed.load()};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string server = argc > 1 ? argv[1] : stagePath("bin/kapsho-upload-server");
  std::printf("%s, %d concurrent clients, median of %d runs\n", server.c_str(), kClients, kRuns);
  std::unique_ptr<S3Store> store;
  if (S3Store::available()) {
    store = std::make_unique<S3Store>();
    if (store->started()) store->request("PUT", "/bench");
  }
  struct Store {
    const char* label;
    std::vector<std::string> options;
  };
  std::vector<Store> stores = {{"folder", {}}};
  if (store && store->started())
    stores.push_back({"bucket", {"--store", "s3://bench/img", "--s3-endpoint", store->endpoint(),
                                 "--s3-credentials", store->credentialsFile()}});
  else
    std::printf("(no S3-compatible store here: the bucket is left out)\n");
  const struct {
    const char* label;
    std::size_t size;
    int uploadsPerClient;
  } loads[] = {{"100 kB", 100 * 1000, 40}, {"5 MB", 5 * 1000 * 1000, 4}};
  for (const auto& where : stores)
    for (const auto& load : loads) {
      std::vector<RunResult> results;
      for (int r = 0; r < kRuns; ++r)
        results.push_back(run(server, where.options, load.size, load.uploadsPerClient));
      std::sort(results.begin(), results.end(), [](const auto& a, const auto& b) {
        return a.uploadsPerSecond < b.uploadsPerSecond;
      });
      const RunResult& median = results[kRuns / 2];
      std::printf("%-6s %-7s %8.1f uploads/s  %8.1f ms an upload  peak resident %6ld KiB  "
                  "failed %d\n",
                  where.label, load.label, median.uploadsPerSecond, median.meanMilliseconds,
                  median.peakKiB, median.failed);
    }
  return 0;
}
