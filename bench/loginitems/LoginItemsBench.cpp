// Round trips to the real System Events in a temporary home: one listing and ten clients
// listing at once, of 100 and of 1,000 login items, and of 100 while a peer stalls; adding one
// item to 1,000 and removing the first of 1,000.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "loginitems/LoginItemsAE/LoginItemsAE.h"
#include "platform/carbon/AETransport.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/integration/loginitems/LoginItemsTestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMostItems = 1000;
constexpr int kClients = 10;

TempDir* apps = nullptr;
int storedItems = 0;

std::string appFolder(int i) {
  return apps->file("App" + std::to_string(i) + ".app");
}

// Stores the first count items of the folder as the list, each with the entry it was mirrored to.
void useList(int count) {
  if (count == storedItems) return;
  platform::Array items;
  for (int i = 0; i < count; ++i) {
    platform::Dictionary item;
    item["Path"] = platform::Value(appFolder(i));
    item["Hidden"] = platform::Value(i % 2 == 0);
    item["Entry"] = platform::Value(i + 1);
    items.emplace_back(std::move(item));
  }
  platform::NSUserDefaults::setPersistentDomain({{"LoginItems", items}}, "com.kapsho.loginitems");
  storedItems = count;
}

bool listingHoldsAllItems() {
  CFArrayRef items = nullptr;
  const bool whole = LIAECopyLoginItems(&items) == noErr && CFArrayGetCount(items) == storedItems;
  if (items) CFRelease(items);
  return whole;
}

bool addOne() {
  return login_items_test::addLoginItem(appFolder(0)) == noErr;
}

void BM_ListLoginItems(benchmark::State& state) {
  useList(static_cast<int>(state.range(0)));
  for (auto _ : state)
    if (!listingHoldsAllItems()) state.SkipWithError("listing failed");
}
BENCHMARK(BM_ListLoginItems)
    ->Arg(100)
    ->Arg(kMostItems)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

// A peer that connects to System Events and sends nothing while it lives.
class SilentPeer {
 public:
  SilentPeer() : fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const auto serving = login_items_test::systemEventsProcesses();
    const std::string path = platform::eventSocketPath(serving.empty() ? 0 : serving.front());
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  ~SilentPeer() { close(fd_); }
  SilentPeer(const SilentPeer&) = delete;
  SilentPeer& operator=(const SilentPeer&) = delete;

 private:
  int fd_;
};

// The time is the slowest of the ten listings started together, with a silent peer connected
// when the second argument is 1.
void BM_TenClientsListingAtOnce(benchmark::State& state) {
  useList(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::optional<SilentPeer> silent;
    if (state.range(1)) silent.emplace();
    std::barrier start(kClients);
    std::vector<double> seconds(kClients);
    std::vector<char> whole(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
      clients.emplace_back([&, i] {
        start.arrive_and_wait();
        const auto begin = Clock::now();
        whole[i] = listingHoldsAllItems();
        seconds[i] = std::chrono::duration<double>(Clock::now() - begin).count();
      });
    for (auto& client : clients) client.join();
    if (std::count(whole.begin(), whole.end(), false)) state.SkipWithError("a listing failed");
    state.SetIterationTime(*std::max_element(seconds.begin(), seconds.end()));
  }
}
BENCHMARK(BM_TenClientsListingAtOnce)
    ->Args({100, 0})
    ->Args({kMostItems, 0})
    ->Args({100, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(20)
    ->ReportAggregatesOnly(true);

// Adds one item at the end and removes the first, so that 1,000 items stay; the time is that of
// the step asked for.
void BM_ChangeAmongThousand(benchmark::State& state, bool timeTheAddition) {
  useList(kMostItems);
  for (auto _ : state) {
    const auto start = Clock::now();
    const bool added = addOne();
    const auto addedAt = Clock::now();
    const OSStatus removed = LIAERemove(0);
    const auto removedAt = Clock::now();
    if (!added || removed != noErr) {
      state.SkipWithError(("a change failed, removal " + std::to_string(removed)).c_str());
      break;
    }
    state.SetIterationTime(
        std::chrono::duration<double>(timeTheAddition ? addedAt - start : removedAt - addedAt)
            .count());
  }
}
BENCHMARK_CAPTURE(BM_ChangeAmongThousand, AddOne, true)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(25)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_ChangeAmongThousand, RemoveFirst, false)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(25)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  login_items_test::becomeSubreaper();
  TempHome home;
  TempDir appFolders;
  apps = &appFolders;
  ScopedEnv systemRoot("KAPSHO_SYSTEM_ROOT", stagePath("share/kapsho"));
  for (int i = 0; i < kMostItems; ++i) fs::create_directories(appFolder(i));
  useList(kMostItems);
  // The service starts and mirrors the stored list before anything is timed.
  if (!listingHoldsAllItems()) return 1;
  benchmark::RunSpecifiedBenchmarks();
  for (pid_t pid : login_items_test::systemEventsProcesses()) login_items_test::endProcess(pid);
  benchmark::Shutdown();
  return 0;
}
