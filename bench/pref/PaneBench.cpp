// The pane's process walk with 500 processes of the user running besides, and the time from a
// click on "Start Kapsho" to the label saying that the agent runs, taken apart into the launch
// and the walk, beside the agent's own start-up; in a temporary home.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/appkit/Workspace.h"
#include "pref/KapshoPref.h"
#include "tests/support/Desktop.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kOtherProcesses = 500;

KapshoPref* pane = nullptr;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void BM_PidForDaemonAmong500Processes(benchmark::State& state) {
  for (auto _ : state)
    if (pane->pidForDaemon() != 0) state.SkipWithError("an agent runs");
}
BENCHMARK(BM_PidForDaemonAmong500Processes)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// From the click to the label; the counter gives the agent's own start-up from the same click
// to its watcher waiting.
void BM_StartKapshoToRunningLabel(benchmark::State& state) {
  auto* startButton = pane->mainView()->findChild<QAbstractButton*>("startButton");
  auto* startLabel = pane->mainView()->findChild<QLabel*>("startLabel");
  double ready = 0;
  for (auto _ : state) {
    const auto click = Clock::now();
    startButton->click();
    state.PauseTiming();
    const pid_t agent = pane->pidForDaemon();
    if (startLabel->text() != "Kapsho is running" ||
        !waitUntil([&] { return agentWatching(agent); }) ||
        (ready += millisecondsSince(click), !stopAgent(agent))) {
      state.SkipWithError("the agent did not start and stop");
      break;
    }
    pane->updateUI();
    state.ResumeTiming();
  }
  state.counters["agent_ready_ms"] = benchmark::Counter(ready, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_StartKapshoToRunningLabel)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The click's two steps apart: the launch, and the walk that then finds the agent.
void BM_LaunchThenFindTheAgent(benchmark::State& state) {
  const std::vector<platform::NSURL> agentURL{
      platform::NSURL::fileURLWithPath(*pane->pathForDaemon())};
  double launch = 0, walk = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    platform::NSWorkspace::sharedWorkspace().openURLs(
        agentURL, std::nullopt, platform::NSWorkspaceLaunchWithoutActivation, nullptr, nullptr);
    launch += millisecondsSince(start);
    start = Clock::now();
    const pid_t agent = pane->pidForDaemon();
    walk += millisecondsSince(start);
    state.PauseTiming();
    if (agent <= 0 || !stopAgent(agent)) {
      state.SkipWithError("the agent did not start and stop");
      break;
    }
    state.ResumeTiming();
  }
  state.counters["launch_ms"] = benchmark::Counter(launch, benchmark::Counter::kAvgIterations);
  state.counters["walk_ms"] = benchmark::Counter(walk, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_LaunchThenFindTheAgent)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  TempHome home;
  std::filesystem::create_directories(home.path() + "/Desktop");
  ScopedEnv systemRoot("KAPSHO_SYSTEM_ROOT", stagePath("share/kapsho"));
  ScopedEnv platform("QT_QPA_PLATFORM", "offscreen");
  int qtArgc = 1;
  QApplication application(qtArgc, argv);

  std::vector<std::unique_ptr<ChildProcess>> others;
  for (int i = 0; i < kOtherProcesses; ++i)
    others.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{"sleep", "3600"}));
  KapshoPref controller(platform::NSBundle::mainBundle());
  pane = &controller;
  std::string error;
  if (!controller.loadMainView(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  controller.mainViewDidLoad();
  benchmark::RunSpecifiedBenchmarks();
  // System Events, started by the pane's first look at the login items, names its socket after
  // its process ID.
  for (const auto& socket : std::filesystem::directory_iterator(home.runtimeDir() + "/kapsho"))
    kill(std::stoi(socket.path().filename().string()), SIGTERM);
  return 0;
}
