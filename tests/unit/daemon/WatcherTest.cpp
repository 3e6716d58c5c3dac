// The folder watcher on real folders: which names are handed on, and when the folder is listed.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/foundation/Exception.h"
#include "tests/unit/daemon/AgentFixture.h"

using namespace agent_testing;
namespace fs = std::filesystem;

namespace {

// Records what the watcher hands on instead of uploading it, and counts the folder listings.
class RecordingController : public KapshoController {
 public:
  std::optional<NameSet> scanDirectory(const std::string& path, int mask) override {
    auto names = KapshoController::scanDirectory(path, mask);
    ++scans;
    return names;
  }
  void matchPath(const std::string& path) override { handedOn.insert(path); }

  std::atomic<int> scans{0};
  std::set<std::string> handedOn;
};

// Runs the watcher's loop on a thread of its own; the hang-up signal ends it.
class Watcher {
 public:
  explicit Watcher(KapshoController& controller)
      : thread_([&controller, this] {
          try {
            controller.watchQueue();
          } catch (const platform::NSException& exception) {
            failure_ = exception.name();
          }
        }) {}
  ~Watcher() { stop(); }
  void stop() {
    if (!thread_.joinable()) return;
    kill(getpid(), SIGHUP);
    thread_.join();
  }
  const std::string& failure() const { return failure_; }

 private:
  std::string failure_;
  std::thread thread_;
};

void touch(const std::string& path) {
  testing_support::writeFile(path, "bytes");
}

TEST(Watcher, HandsOnFreshQualifyingNamesOnceAsFullPaths) {
  AgentEnvironment environment;
  const std::string folder = environment.folder();
  touch(folder + "/Picture 1.png");
  RecordingController controller;
  // Made before the watcher first waits: one burst, one folder event.
  touch(folder + "/Picture 2.png");
  touch(folder + "/Picture 3.PNG");
  touch(folder + "/Picture 4.jpeg");
  touch(folder + "/Screenshot 5.png");
  touch(folder + "/Picture 6");
  fs::create_directory(folder + "/Picture 7.png");
  fs::create_symlink(folder + "/Picture 1.png", folder + "/Picture 8.png");
  Watcher watcher(controller);
  ASSERT_TRUE(spinUntil([&] { return controller.handedOn.size() == 2; }));
  EXPECT_EQ(controller.handedOn,
            (std::set<std::string>{folder + "/Picture 2.png", folder + "/Picture 8.png"}));

  // A skipped name is remembered; renamed to a qualifying name, and moved in from outside, it
  // is fresh.
  fs::rename(folder + "/Screenshot 5.png", folder + "/Picture 5.png");
  testing_support::TempDir outside;
  touch(outside.file("capture"));
  fs::rename(outside.file("capture"), folder + "/Picture 9.png");
  ASSERT_TRUE(spinUntil([&] { return controller.handedOn.size() == 4; }));
  EXPECT_TRUE(controller.handedOn.count(folder + "/Picture 5.png"));
  EXPECT_TRUE(controller.handedOn.count(folder + "/Picture 9.png"));
  watcher.stop();
  EXPECT_EQ(watcher.failure(), "");
  EXPECT_GE(controller.scans, 2);
}

TEST(Watcher, ABurstBeforeTheWaitGivesOneListing) {
  AgentEnvironment environment;
  RecordingController controller;
  for (int i = 1; i <= 20; ++i)
    touch(environment.folder() + "/Picture " + std::to_string(i) + ".png");
  Watcher watcher(controller);
  ASSERT_TRUE(spinUntil([&] { return controller.handedOn.size() == 20; }));
  watcher.stop();
  EXPECT_EQ(controller.scans, 1);
}

TEST(Watcher, AFailedListingEmptiesTheSnapshot) {
  AgentEnvironment environment;
  const std::string folder = environment.folder();
  touch(folder + "/Picture 1.png");
  RecordingController controller;
  Watcher watcher(controller);
  // The watched folder moves away: its change is seen, but the capture path lists nothing.
  fs::rename(folder, folder + ".away");
  touch(folder + ".away/Picture 2.png");
  ASSERT_TRUE(spinUntil([&] { return controller.scans == 1; }));
  fs::rename(folder + ".away", folder);
  touch(folder + "/Picture 3.png");
  ASSERT_TRUE(spinUntil([&] { return controller.handedOn.size() == 3; }));
  watcher.stop();
  EXPECT_EQ(controller.handedOn,
            (std::set<std::string>{folder + "/Picture 1.png", folder + "/Picture 2.png",
                                   folder + "/Picture 3.png"}));
}

TEST(Watcher, EventsOfABatch) {
  AgentEnvironment environment;
  RecordingController controller;
  struct kevent events[3];
  EV_SET(&events[0], SIGHUP, EVFILT_SIGNAL, EV_CLEAR, 0, 1, nullptr);
  EV_SET(&events[1], 3, EVFILT_VNODE, EV_CLEAR, NOTE_WRITE, 0, nullptr);
  EXPECT_TRUE(controller.handleEvents(events, 2));
  EXPECT_EQ(controller.scans, 0) << "events after the hang-up signal are dropped";

  EV_SET(&events[0], SIGUSR1, EVFILT_SIGNAL, EV_CLEAR, 0, 1, nullptr);
  EV_SET(&events[1], 3, EVFILT_VNODE, EV_CLEAR, 0, 0, nullptr);
  EV_SET(&events[2], 3, -9, EV_CLEAR, 0, 0, nullptr);
  EXPECT_FALSE(controller.handleEvents(events, 3));
  EXPECT_EQ(controller.scans, 0);

  EV_SET(&events[0], 3, EVFILT_VNODE, EV_ERROR, 0, EBADF, nullptr);
  try {
    controller.handleEvents(events, 2);
    ADD_FAILURE() << "an error event raises";
  } catch (const platform::NSException& exception) {
    EXPECT_EQ(exception.name(), "KQueueError");
    EXPECT_EQ(exception.reason(), "An error occurred with kqueue: Bad file descriptor");
  }
}

}  // namespace
