// The queue over epoll, inotify and signalfd, the type of a folder's entries, and the descriptor
// holder.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/bsd/FileDescriptor.h"
#include "platform/bsd/dirent_type.h"
#include "platform/bsd/kqueue.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const struct timespec kZero = {0, 0}, kDeadline = {10, 0};

std::vector<struct kevent> poll(int kq, const struct timespec* timeout = &kZero) {
  std::vector<struct kevent> events(8);
  events.resize(std::max(0, kevent(kq, nullptr, 0, events.data(), 8, timeout)));
  return events;
}

auto fields(const struct kevent& e) {
  return std::tuple(e.ident, e.filter, e.flags, e.fflags, e.data, e.udata);
}

class KQueue : public ::testing::Test {
 protected:
  // Before any thread exists, so that every thread keeps the signal pending for the queue.
  static void SetUpTestSuite() { ignore_and_block_signal(SIGUSR1); }
  ~KQueue() override {
    close(folder_);
    close(kq_);
  }
  // By default as the agent registers its folder.
  int add(uintptr_t ident, int16_t filter, uint16_t flags = EV_ADD | EV_CLEAR,
          uint32_t notes = NOTE_WRITE | NOTE_CLOSE_WRITE) {
    struct kevent change;
    EV_SET(&change, ident, filter, flags, filter == EVFILT_VNODE ? notes : 0, 0, &dir_);
    return kevent(kq_, &change, 1, nullptr, 0, &kZero);
  }
  // The one event the next wait gives: the folder's with these notes, or a signal's delivered once.
  void expectEvent(uint32_t notes, int signo = 0) {
    const auto events = poll(kq_, &kDeadline);
    ASSERT_EQ(events.size(), 1u);
    struct kevent expected;
    EV_SET(&expected, signo ? signo : folder_, signo ? EVFILT_SIGNAL : EVFILT_VNODE, EV_CLEAR,
           notes, signo ? 1 : 0, &dir_);
    EXPECT_EQ(fields(events[0]), fields(expected));
  }

  TempDir dir_, other_;
  int kq_ = kqueue(), folder_ = open(dir_.path().c_str(), O_EVTONLY);
};

// The notes fired since the last wait come in one event, a rewritten file's without NOTE_WRITE,
// and an overflow is a write everywhere. (A wait without time-out, the agent's, is checked by the
// tests that wait for the agent to sleep in its queue.)
TEST_F(KQueue, FolderEventsCarryTheNotesThatFiredAndAnOverflowIsAWriteToEveryFolder) {
  ASSERT_EQ(add(folder_, EVFILT_VNODE), 0);
  const std::string outside = other_.file("outside"), inside = dir_.file("inside");
  writeFile(outside, "x");
  fs::rename(outside, inside);
  ASSERT_NO_FATAL_FAILURE(expectEvent(NOTE_WRITE));
  fs::rename(inside, outside);
  ASSERT_NO_FATAL_FAILURE(expectEvent(NOTE_WRITE));
  writeFile(inside, "x");
  ASSERT_NO_FATAL_FAILURE(expectEvent(NOTE_WRITE | NOTE_CLOSE_WRITE));
  writeFile(inside, "new content");
  ASSERT_NO_FATAL_FAILURE(expectEvent(NOTE_CLOSE_WRITE));
  fs::remove(inside);
  ASSERT_NO_FATAL_FAILURE(expectEvent(NOTE_WRITE));
  for (int i = 0; i < 100; ++i) writeFile(dir_.file("file" + std::to_string(i)), "x");
  ASSERT_NO_FATAL_FAILURE(expectEvent(NOTE_WRITE | NOTE_CLOSE_WRITE));
  EXPECT_TRUE(poll(kq_).empty());

  // An overflow of inotify's queue is a change of every folder; each rename queues two events.
  std::ifstream limitFile("/proc/sys/fs/inotify/max_queued_events");
  int limit = 0;
  if (!(limitFile >> limit) || limit > 100000) GTEST_SKIP() << "inotify queue too long to fill";
  const int second = open(other_.path().c_str(), O_EVTONLY);
  ASSERT_EQ(add(second, EVFILT_VNODE), 0);
  for (int i = 0; i <= limit / 2; ++i)
    fs::rename(dir_.file(i % 2 ? "b" : "file0"), dir_.file(i % 2 ? "file0" : "b"));
  EXPECT_EQ(poll(kq_, &kDeadline).size(), 2u);
  close(second);
}

// Failed changes are events while the list has room, and the call then does not wait; without
// room the call fails with the error.
TEST_F(KQueue, RegistrationErrorsAreEventsWhenThereIsRoomElseTheResult) {
  const int badFd = getdtablesize();  // one past the highest descriptor allowed
  struct kevent changes[2], events[2];
  EV_SET(&changes[0], badFd, EVFILT_VNODE, EV_ADD, NOTE_WRITE, 0, &dir_);
  EV_SET(&changes[1], folder_, EVFILT_VNODE, EV_ADD, 0x0001, 0, &dir_);  // NOTE_DELETE: not offered
  ASSERT_EQ(kevent(kq_, changes, 2, events, 2, &kZero), 2);
  struct kevent badDescriptor;
  EV_SET(&badDescriptor, badFd, EVFILT_VNODE, EV_ERROR, NOTE_WRITE, EBADF, &dir_);
  EXPECT_EQ(fields(events[0]), fields(badDescriptor));
  EXPECT_EQ(std::tuple(events[1].flags, events[1].data), std::tuple(EV_ERROR, EINVAL));
  EXPECT_EQ(kevent(kq_, changes, 1, nullptr, 0, &kZero), -1);
  EXPECT_EQ(errno, EBADF);
}

// Deliveries before the registration are dropped and a burst is one delivery; registered without
// EV_CLEAR, a signal still clears.
TEST_F(KQueue, SignalsBeforeTheRegistrationAreDroppedAndBurstsCoalesce) {
  kill(getpid(), SIGUSR1);
  ASSERT_EQ(add(SIGUSR1, EVFILT_SIGNAL, EV_ADD), 0);
  EXPECT_TRUE(poll(kq_).empty());
  for (int burst : {1, 50}) {
    SCOPED_TRACE(std::to_string(burst) + " in a burst");
    for (int i = 0; i < burst; ++i) kill(getpid(), SIGUSR1);
    ASSERT_NO_FATAL_FAILURE(expectEvent(0, SIGUSR1));
  }
}

// With the file system's hint and without it (the path a file system that reports no types
// takes), a link is a link, not what it points to.
TEST(DirentType, EveryKindOfEntryHasItsOwnCodeWithOrWithoutTheFileSystemsHint) {
  TempDir dir;
  writeFile(dir.file("file"), "x");
  ASSERT_EQ(symlink(".", dir.file("link").c_str()), 0);
  DIR* listing = opendir(dir.path().c_str());
  std::map<std::string, std::pair<int, int>> seen;
  while (dirent* entry = readdir(listing)) {
    const int hinted = direntType(listing, entry);
    entry->d_type = DT_UNKNOWN;
    seen[entry->d_name] = {hinted, direntType(listing, entry)};
  }
  closedir(listing);
  EXPECT_EQ(seen, (std::map<std::string, std::pair<int, int>>{
                      {".", {4, 4}}, {"..", {4, 4}}, {"file", {8, 8}}, {"link", {10, 10}}}));
}

// Whether fd is an open descriptor of this process.
bool isOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

// A descriptor has one holder at a time: moving hands it on, the last holder closes it once, and
// release gives it to the caller.
TEST(FileDescriptor, TheOneHolderClosesItOnceAndAMoveOrReleaseHandsItOn) {
  int fd = -1;
  {
    platform::FileDescriptor first(open("/dev/null", O_RDONLY | O_CLOEXEC));
    fd = first.get();
    platform::FileDescriptor second(std::move(first));
    EXPECT_EQ(std::tuple(first.get(), second.get()), std::tuple(-1, fd));
    platform::FileDescriptor third;
    third = std::move(second);
    EXPECT_EQ(std::tuple(second.isOpen(), third.get()), std::tuple(false, fd));
  }
  EXPECT_FALSE(isOpen(fd)) << "the last holder did not close it";

  platform::FileDescriptor held(open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int given = held.release();
  held.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int replaced = held.get();
  EXPECT_EQ(held.reset(-1), -1);
  EXPECT_EQ(std::tuple(isOpen(given), isOpen(replaced)), std::tuple(true, false));
  close(given);
}

}  // namespace
