// Micro-benchmarks of the agent's two passes over bulk data: choosing the multipart boundary for
// a file, and one rescan of the capture folder.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "daemon/KapshoController.h"
#include "platform/appkit/Application.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TestSupport.h"

namespace {

platform::Data randomData(size_t size) {
  std::string bytes(size, '\0');
  std::mt19937_64 random(11);
  for (size_t i = 0; i + 8 <= size; i += 8) {
    const uint64_t word = random();
    std::memcpy(&bytes[i], &word, 8);
  }
  return platform::Data(bytes.begin(), bytes.end());
}

// Every few bytes a CR LF "--" and the boundary text, each mismatching only in its last letter
// after the first collision: the most comparisons the walk can be made to do.
platform::Data adversarialData(size_t size) {
  const std::string unit = "\r\n--KapshoBoundaryX";
  std::string bytes;
  while (bytes.size() < size) bytes += unit;
  return platform::Data(bytes.data(), size);
}

void boundary(benchmark::State& state, platform::Data (*make)(size_t)) {
  const platform::Data data = make(static_cast<size_t>(state.range(0)) << 20);
  for (auto _ : state) benchmark::DoNotOptimize(KapshoController::boundaryForData(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * data.size());
}

void BM_BoundaryRandom(benchmark::State& state) {
  boundary(state, randomData);
}
void BM_BoundaryAdversarial(benchmark::State& state) {
  boundary(state, adversarialData);
}
BENCHMARK(BM_BoundaryRandom)->Arg(1)->Arg(10)->Arg(50)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BoundaryAdversarial)->Arg(1)->Arg(10)->Arg(50)->Unit(benchmark::kMillisecond);

// One rescan of a folder of n files, none of them new: a full listing and a set difference.
void BM_Rescan(benchmark::State& state) {
  testing_support::TempHome home;
  testing_support::TempDir folder;
  testing_support::ScopedEnv root("KAPSHO_SYSTEM_ROOT", testing_support::stagePath("share/kapsho"));
  for (int64_t i = 0; i < state.range(0); ++i)
    testing_support::writeFile(folder.file("Picture " + std::to_string(i) + ".png"), "");
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  platform::NSApplication::sharedApplication();
  platform::NSUserDefaults::setPersistentDomain({{"location", folder.path()}},
                                                "com.apple.screencapture");
  auto controller = std::make_unique<KapshoController>();
  for (auto _ : state) controller->rescan();
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Rescan)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
