// Uploads per second from 16 concurrent clients against the real kapsho-upload-server, for
// 100 kB and 5 MB files (each upload new bytes, so each one is stored), and the server's peak
// resident memory over each run. The server runs fresh for every run.
//
//   bench_upload_server [server binary]     (default: the staged one)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "tests/support/LoopbackSocket.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {

constexpr int kClients = 16;
constexpr int kRuns = 3;
bool upload(int port, const std::string& bytes) {
  LoopbackSocket socket(port);
  return socket.connected() && socket.send(agentUpload(port, bytes.size()).whole(bytes)) &&
         statusLine(socket.receive(std::chrono::seconds(60))).find(" 302 ") != std::string::npos;
}

struct RunResult {
  double uploadsPerSecond = 0;
  long peakKiB = 0;
  int failed = 0;
};

RunResult run(const std::string& server, std::size_t size, int uploadsPerClient) {
  TempDir dir;
  const int port = freeLocalPort();
  ChildProcess child({server, "--port", std::to_string(port), "--data-dir", dir.file("data")}, {},
                     "", dir.file("server.log"));
  if (!waitUntil([&] { return LoopbackSocket(port).connected(); })) return {};

  std::atomic<int> failed = 0;
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] {
      std::mt19937 random(static_cast<unsigned>(c));
      std::string bytes(size, '\0');
      std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
      // The server takes only images: a PNG signature, then the upload's own tag.
      const std::string signature = "\x89PNG\r\n\x1a\n";
      std::copy(signature.begin(), signature.end(), bytes.begin());
      for (int i = 0; i < uploadsPerClient; ++i) {
        const std::string tag = std::to_string(c) + "-" + std::to_string(i) + "-";
        std::copy(tag.begin(), tag.end(), bytes.begin() + signature.size());
        if (!upload(port, bytes)) ++failed;
      }
    });
  for (auto& client : clients) client.join();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return {kClients * uploadsPerClient / elapsed.count(),
          processMemoryKiB(child.pid(), "VmHWM").value_or(-1), failed.load()};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string server = argc > 1 ? argv[1] : stagePath("bin/kapsho-upload-server");
  std::printf("%s, %d concurrent clients, median of %d runs\n", server.c_str(), kClients, kRuns);
  const struct {
    const char* label;
    std::size_t size;
    int uploadsPerClient;
  } loads[] = {{"100 kB", 100 * 1000, 40}, {"5 MB", 5 * 1000 * 1000, 4}};
  for (const auto& load : loads) {
    std::vector<RunResult> results;
    for (int r = 0; r < kRuns; ++r)
      results.push_back(run(server, load.size, load.uploadsPerClient));
    std::sort(results.begin(), results.end(),
              [](const auto& a, const auto& b) { return a.uploadsPerSecond < b.uploadsPerSecond; });
    const RunResult& median = results[kRuns / 2];
    std::printf("%-7s %8.1f uploads/s  peak resident %6ld KiB  failed %d\n", load.label,
                median.uploadsPerSecond, median.peakKiB, median.failed);
  }
  return 0;
}
