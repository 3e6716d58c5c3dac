// A 10 MB screenshot put at a destination of the user's own on loopback, the way the agent puts
// it (a fresh connection per upload), against curl doing the same upload: `curl -T` over sftp to
// OpenSSH's sshd, and `curl --aws-sigv4` to an S3-compatible store (Ceph's RADOS Gateway). Each
// side runs in turn, several times; the medians and their ratio are printed, and the goal (within
// 1.2x of curl) met or not. Needs root, openssh-server and radosgw; each missing server is
// skipped.
//
//   bench_destination [runs]     (default 7)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>

#include "common/DestinationRoads.h"
#include "tests/support/Stores.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t FileSize = 10 << 20;
constexpr double Goal = 1.2;

// The median time of the runs in seconds, or a negative number when one failed.
double medianSeconds(int runs, const std::function<bool(int)>& upload) {
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    if (!upload(run)) return -1;
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Ours against curl's, and the goal.
bool report(const char* road, double ours, double curl) {
  if (ours < 0 || curl < 0) {
    std::printf("%-5s an upload failed (ours %s, curl %s)\n", road, ours < 0 ? "failed" : "ok",
                curl < 0 ? "failed" : "ok");
    return false;
  }
  const double ratio = ours / curl;
  std::printf("%-5s 10 MB: agent %.3f s, curl %.3f s, ratio %.2f (goal <= %.1f: %s)\n", road, ours,
              curl, ratio, Goal, ratio <= Goal ? "met" : "NOT met");
  return ratio <= Goal;
}

bool putFails(const Destination::Settings& settings, const platform::Data& bytes, int run) {
  const auto destination = Destination::make(settings);
  if (const auto* failed = std::get_if<Destination::Failure>(&destination)) {
    std::fprintf(stderr, "%s\n", failed->reason.c_str());
    return true;
  }
  platform::URLTransfer transfer;
  const auto outcome = putAtDestination(std::get<Destination>(destination), bytes,
                                        "Picture " + std::to_string(run) + ".png", transfer);
  if (const auto* failed = std::get_if<Destination::Failure>(&outcome))
    std::fprintf(stderr, "%s\n", failed->reason.c_str());
  return std::holds_alternative<Destination::Failure>(outcome);
}

bool curlSucceeds(const std::vector<std::string>& argv) {
  const auto result = runCommand(argv, std::chrono::seconds(120));
  if (result.exitCode != 0) std::fprintf(stderr, "curl: %s\n", result.err.c_str());
  return result.exitCode == 0;
}

bool benchSFTP(int runs, const std::string& file, const platform::Data& bytes,
               const std::string& home) {
  SSHServer server;
  if (!server.started()) return false;
  std::filesystem::create_directories(home + "/.ssh");
  writeFile(home + "/.ssh/known_hosts", server.knownHostsLine(server.port()));
  const std::string folder = "sftp://" + server.user() +
                             "@127.0.0.1:" + std::to_string(server.port()) + server.folder() + "/";
  std::filesystem::create_directories(server.folder() + "/agent");
  std::filesystem::create_directories(server.folder() + "/curl");
  Destination::Settings settings;
  settings.url = folder + "agent/";
  settings.address = "https://img.example.org/{name}";
  settings.keyFile = server.userKey();
  const double ours = medianSeconds(runs, [&](int run) { return !putFails(settings, bytes, run); });
  const double curl = medianSeconds(runs, [&](int run) {
    return curlSucceeds({"curl", "-s", "-S", "--key", server.userKey(), "-T", file,
                         folder + "curl/Picture-" + std::to_string(run) + ".png"});
  });
  return report("SFTP", ours, curl);
}

bool benchS3(int runs, const std::string& file, const platform::Data& bytes) {
  S3Store store;
  if (!store.started() || store.request("PUT", "/bench").status != 200) return false;
  Destination::Settings settings;
  settings.url = "s3://bench/agent/";
  settings.address = "https://cdn.example.org/{name}";
  settings.endpoint = store.endpoint();
  settings.region = "us-east-1";
  settings.keysFile = store.credentialsFile();
  const double ours = medianSeconds(runs, [&](int run) { return !putFails(settings, bytes, run); });
  const double curl = medianSeconds(runs, [&](int run) {
    return curlSucceeds({"curl", "-s", "-S", "-f", "--aws-sigv4", "aws:amz:us-east-1:s3", "--user",
                         store.accessKey() + ":" + store.secretKey(), "-H",
                         "x-amz-content-sha256: UNSIGNED-PAYLOAD", "-T", file,
                         store.endpoint() + "/bench/curl/Picture-" + std::to_string(run) + ".png"});
  });
  return report("S3", ours, curl);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  TempDir dir;
  // known_hosts goes into a home of the benchmark's own, read by both sides.
  ScopedEnv home("HOME", dir.file("home"));
  std::string bytes(FileSize, '\0');
  std::mt19937 random(10);
  std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
  writeFile(dir.file("Picture.png"), bytes);
  const platform::Data data(bytes.begin(), bytes.end());

  bool met = true;
  if (SSHServer::available())
    met = benchSFTP(runs, dir.file("Picture.png"), data, dir.file("home")) && met;
  else
    std::printf("SFTP  skipped: sshd needs root and openssh-server\n");
  if (S3Store::available())
    met = benchS3(runs, dir.file("Picture.png"), data) && met;
  else
    std::printf("S3    skipped: the store needs root and Ceph's radosgw\n");
  return met ? 0 : 1;
}
