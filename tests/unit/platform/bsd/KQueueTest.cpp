#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/bsd/kqueue.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using testing_support::TempDir;
using testing_support::writeFile;
namespace fs = std::filesystem;

namespace {

const struct timespec kZero = {0, 0}, kShort = {0, 20000000}, kDeadline = {10, 0};

std::vector<struct kevent> poll(int kq, const struct timespec* timeout = &kZero, int room = 8) {
  std::vector<struct kevent> events(room);
  events.resize(std::max(0, kevent(kq, nullptr, 0, events.data(), room, timeout)));
  return events;
}

int add(int kq, uintptr_t ident, int16_t filter, uint16_t flags = EV_ADD | EV_CLEAR,
        void* udata = nullptr, uint32_t notes = NOTE_WRITE) {
  struct kevent change;
  EV_SET(&change, ident, filter, flags, filter == EVFILT_VNODE ? notes : 0, 0, udata);
  return kevent(kq, &change, 1, nullptr, 0, &kZero);
}

auto fields(const struct kevent& e) {
  return std::tuple(e.ident, e.filter, e.flags, e.fflags, e.data, e.udata);
}

// Left behind if it never ends, so that a test failing by blocking still ends at its deadline.
template <typename F>
auto detached(F f) {
  std::packaged_task<decltype(f())()> task(std::move(f));
  auto result = task.get_future();
  std::thread(std::move(task)).detach();
  return result;
}

class KQueue : public ::testing::Test {
 protected:
  // Before any thread exists, so that every thread keeps these signals pending for the queues.
  static void SetUpTestSuite() {
    for (int signo : {SIGUSR1, SIGUSR2}) ignore_and_block_signal(signo);
  }
  ~KQueue() override {
    close(folder_);
    close(kq_);
  }
  // The one event the next wait gives: the folder's, or a signal's delivered once.
  void expectEvent(uint16_t flags = EV_CLEAR, uint32_t notes = NOTE_WRITE, int signo = 0) {
    const auto events = poll(kq_, &kDeadline);
    ASSERT_EQ(events.size(), 1u);
    struct kevent expected;
    if (signo)
      EV_SET(&expected, signo, EVFILT_SIGNAL, EV_CLEAR, 0, 1, &dir_);
    else
      EV_SET(&expected, folder_, EVFILT_VNODE, flags, notes, 0, &dir_);
    EXPECT_EQ(fields(events[0]), fields(expected));
  }

  TempDir dir_, other_;
  int kq_ = kqueue(), folder_ = open(dir_.path().c_str(), O_EVTONLY);
};

TEST_F(KQueue, FolderEventsCarryTheNotesThatFiredAndABurstGivesOne) {
  ASSERT_EQ(add(kq_, folder_, EVFILT_VNODE, EV_ADD, nullptr), 0);
  ASSERT_EQ(add(kq_, folder_, EVFILT_VNODE, EV_ADD | EV_CLEAR, &dir_), 0);
  const std::string outside = other_.file("outside"), inside = dir_.file("inside");
  writeFile(inside, "x");
  expectEvent();
  fs::rename(inside, outside);
  expectEvent();
  fs::rename(outside, inside);
  expectEvent();
  writeFile(inside, "new content");
  EXPECT_TRUE(poll(kq_).empty()) << "content is no change of the entry list";
  for (int i = 0; i < 100; ++i) writeFile(dir_.file("file" + std::to_string(i)), "x");
  expectEvent();
  EXPECT_TRUE(poll(kq_).empty());

  // Files closed after writing, when asked for: alone, or with the change of the entry list.
  ASSERT_EQ(
      add(kq_, folder_, EVFILT_VNODE, EV_ADD | EV_CLEAR, &dir_, NOTE_WRITE | NOTE_CLOSE_WRITE), 0);
  writeFile(dir_.file("file1"), "rewritten");
  expectEvent(EV_CLEAR, NOTE_CLOSE_WRITE);
  writeFile(dir_.file("created"), "x");
  expectEvent(EV_CLEAR, NOTE_WRITE | NOTE_CLOSE_WRITE);
  // Without EV_CLEAR the event stays.
  ASSERT_EQ(add(kq_, folder_, EVFILT_VNODE, EV_ADD, &dir_), 0);
  fs::remove(dir_.file("created"));
  expectEvent(0);
  expectEvent(0);
}

// A blocked wait hears a registration made meanwhile on another thread, and goes on waiting
// through a wake-up that changes no entry list (a watched folder removed).
TEST_F(KQueue, WaitsEndOnTimeAndBlockedWaitsSkipUnrelatedWakeUps) {
  EXPECT_TRUE(poll(kq_).empty() && poll(kq_, &kShort).empty());
  const int kq = kq_, folder = folder_;
  auto waiting = detached([kq] { return poll(kq, nullptr); });
  auto added = detached([kq, folder] { return add(kq, folder, EVFILT_VNODE, EV_ADD, nullptr); });
  ASSERT_EQ(added.wait_for(10s), std::future_status::ready);
  ASSERT_EQ(added.get(), 0);
  const int removed = open(other_.path().c_str(), O_EVTONLY);
  ASSERT_EQ(add(kq_, removed, EVFILT_VNODE), 0);
  close(removed);
  fs::remove(other_.path());
  EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
  writeFile(dir_.file("created"), "x");
  ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
  const auto events = waiting.get();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].ident, static_cast<uintptr_t>(folder_));
}

// Failed changes are reported in the event list while it has room, and the good ones applied;
// without room the call fails with the error.
TEST_F(KQueue, RegistrationErrorsAreEventsWhenThereIsRoomElseTheResult) {
  const int file = open(dir_.file("file").c_str(), O_CREAT | O_RDONLY, 0600);
  const int badFd = getdtablesize();  // one past the highest descriptor allowed
  struct kevent changes[4], events[4];
  EV_SET(&changes[0], badFd, EVFILT_VNODE, EV_ADD, NOTE_WRITE, 0, &dir_);
  EV_SET(&changes[1], folder_, EVFILT_VNODE, EV_ADD | EV_CLEAR, NOTE_WRITE, 0, &dir_);
  EV_SET(&changes[2], file, EVFILT_VNODE, EV_ADD, NOTE_WRITE, 0, nullptr);
  EV_SET(&changes[3], SIGUSR1, -20, EV_ADD, 0, 0, nullptr);
  ASSERT_EQ(kevent(kq_, changes, 4, events, 4, &kZero), 3);
  close(file);
  struct kevent badDescriptor;
  EV_SET(&badDescriptor, badFd, EVFILT_VNODE, EV_ERROR, NOTE_WRITE, EBADF, &dir_);
  EXPECT_EQ(fields(events[0]), fields(badDescriptor));
  EXPECT_EQ(std::tuple(events[1].flags, events[1].data), std::tuple(EV_ERROR, ENOTDIR));
  EXPECT_EQ(std::tuple(events[2].flags, events[2].data), std::tuple(EV_ERROR, EINVAL));
  writeFile(dir_.file("created"), "x");
  expectEvent();

  const auto refusal = [](int result) { return result == -1 ? errno : 0; };
  EXPECT_EQ(refusal(kevent(kq_, changes, 1, nullptr, 0, &kZero)), EBADF);
  EXPECT_EQ(refusal(add(kq_, folder_, EVFILT_VNODE, EV_ADD | 0x0002)), EINVAL);  // EV_DELETE
  EXPECT_EQ(refusal(add(kq_, folder_, EVFILT_VNODE, EV_ADD, nullptr, 0x0001)), EINVAL)
      << "NOTE_DELETE is not offered";
  EXPECT_EQ(refusal(add(folder_, folder_, EVFILT_VNODE)), EBADF) << "no queue";
}

// Signals sent before the registration are dropped, a burst is one delivery, and each queue hears
// only its own; a short event list keeps the rest for the next call.
TEST_F(KQueue, SignalsCoalesceAndEachQueueHearsOnlyItsOwn) {
  kill(getpid(), SIGUSR1);
  ASSERT_EQ(add(kq_, SIGUSR1, EVFILT_SIGNAL, EV_ADD, &dir_), 0);
  EXPECT_TRUE(poll(kq_).empty());
  for (int burst : {1, 50}) {
    for (int i = 0; i < burst; ++i) kill(getpid(), SIGUSR1);
    expectEvent(0, 0, SIGUSR1);
  }
  const int other = kqueue();
  ASSERT_EQ(add(other, SIGUSR2, EVFILT_SIGNAL), 0);
  ASSERT_EQ(add(kq_, folder_, EVFILT_VNODE), 0);
  kill(getpid(), SIGUSR2);
  EXPECT_EQ(poll(other, &kDeadline).size(), 1u);
  EXPECT_TRUE(poll(kq_).empty());
  writeFile(dir_.file("created"), "x");
  kill(getpid(), SIGUSR1);
  std::set<int> filters;
  for (int call = 0; call < 2; ++call) {
    const auto events = poll(kq_, &kDeadline, 1);
    ASSERT_EQ(events.size(), 1u);
    filters.insert(events[0].filter);
  }
  EXPECT_EQ(filters, (std::set<int>{EVFILT_VNODE, EVFILT_SIGNAL}));
  EXPECT_TRUE(poll(kq_).empty());
  close(other);
}

TEST_F(KQueue, AQueuesNumberUsedAgainDropsTheClosedQueueAndItsDescriptors) {
  const auto openCount = [] {
    auto entries = fs::directory_iterator("/proc/self/fd");
    return std::distance(begin(entries), end(entries));
  };
  const auto before = openCount();
  ASSERT_EQ(add(kq_, folder_, EVFILT_VNODE), 0);
  ASSERT_EQ(add(kq_, SIGUSR2, EVFILT_SIGNAL), 0);
  close(kq_);
  ASSERT_EQ(kqueue(), kq_);
  EXPECT_EQ(openCount(), before);
  writeFile(dir_.file("created"), "x");
  EXPECT_TRUE(poll(kq_).empty());
}

TEST_F(KQueue, InotifyOverflowIsAWriteToEveryFolder) {
  std::ifstream limitFile("/proc/sys/fs/inotify/max_queued_events");
  int limit = 0;
  if (!(limitFile >> limit) || limit > 100000) GTEST_SKIP() << "inotify queue too long to fill";
  const int second = open(other_.path().c_str(), O_EVTONLY);
  ASSERT_EQ(add(kq_, folder_, EVFILT_VNODE), 0);
  ASSERT_EQ(add(kq_, second, EVFILT_VNODE), 0);
  writeFile(dir_.file("a"), "x");
  // Each rename queues two events.
  for (int i = 0; i <= limit / 2; ++i)
    fs::rename(dir_.file(i % 2 ? "b" : "a"), dir_.file(i % 2 ? "a" : "b"));
  EXPECT_EQ(poll(kq_, &kDeadline).size(), 2u);
  close(second);
}

}  // namespace
