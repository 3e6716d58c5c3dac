// Round trips to the real System Events in a temporary home: listing 100 login items (one event)
// and adding one.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "loginitems/LoginItemsAE/LoginItemsAE.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/integration/loginitems/LoginItemsTestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr int kListedItems = 100;

std::string appFolder(int i) {
  return std::filesystem::temp_directory_path().string() + "/kapsho-bench-apps/App" +
         std::to_string(i) + ".app";
}

void BM_ListHundredLoginItems(benchmark::State& state) {
  for (auto _ : state) {
    CFArrayRef items = nullptr;
    if (LIAECopyLoginItems(&items) != noErr || CFArrayGetCount(items) != kListedItems)
      state.SkipWithError("listing failed");
    if (items) CFRelease(items);
  }
}
BENCHMARK(BM_ListHundredLoginItems)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_AddOneLoginItem(benchmark::State& state) {
  const platform::CFRef<CFURLRef> url(
      CFBridgingRetain(platform::NSURL::fileURLWithPath(appFolder(0))));
  for (auto _ : state) {
    if (LIAEAddURLAtEnd(url.get(), false) != noErr) state.SkipWithError("adding failed");
    state.PauseTiming();
    if (LIAERemove(kListedItems) != noErr) state.SkipWithError("removing failed");
    state.ResumeTiming();
  }
}
BENCHMARK(BM_AddOneLoginItem)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  login_items_test::becomeSubreaper();
  TempHome home;
  ScopedEnv systemRoot("KAPSHO_SYSTEM_ROOT", stagePath("share/kapsho"));
  platform::Array items;
  for (int i = 0; i < kListedItems; ++i) {
    fs::create_directories(appFolder(i));
    platform::Dictionary item;
    item["Path"] = platform::Value(appFolder(i));
    item["Hidden"] = platform::Value(i % 2 == 0);
    items.emplace_back(std::move(item));
  }
  platform::NSUserDefaults::setPersistentDomain({{"LoginItems", items}}, "com.kapsho.loginitems");
  benchmark::RunSpecifiedBenchmarks();
  for (pid_t pid : login_items_test::systemEventsProcesses()) login_items_test::endProcess(pid);
  fs::remove_all(fs::path(appFolder(0)).parent_path());
  benchmark::Shutdown();
  return 0;
}
