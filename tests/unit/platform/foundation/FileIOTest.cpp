#include "platform/foundation/FileIO.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "tests/support/TestSupport.h"

using namespace platform;
using testing_support::mappingAt;
using testing_support::TempDir;
using testing_support::waitUntil;
using testing_support::writeFile;

namespace {

// A FIFO, or a link to one, is refused at once: a read that waited for a writer would hold the
// agent's main thread. Should one wait all the same, a writer frees it after a deadline.
TEST(FileIO, WholeReadsTakeEveryByteOfRegularFilesAndNeverWait) {
  TempDir dir;
  std::string bytes(Data::LargeBytes * 3 + 5, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  writeFile(dir.file("big"), bytes);
  writeFile(dir.file("empty"), "");
  ASSERT_EQ(symlink("big", dir.file("link").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("fifo", dir.file("fifo link").c_str()), 0);

  std::mutex mutex;
  std::condition_variable done;
  bool finished = false, rescued = false;
  std::thread rescuer([&] {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    std::unique_lock lock(mutex);
    while (!done.wait_for(lock, std::chrono::seconds(5), [&] { return finished; })) {
      // Opens only while a reader waits.
      const int fd = open(dir.file("fifo").c_str(), O_WRONLY | O_NONBLOCK);
      if (fd < 0) continue;
      rescued = true;
      (void)!write(fd, "late", 4);
      close(fd);
    }
  });
  const struct {
    std::string name;
    std::optional<std::string> contents;
  } cases[] = {{"big", bytes},
               {"link", bytes},
               {"empty", ""},
               {"fifo", std::nullopt},
               {"fifo link", std::nullopt},
               {"missing", std::nullopt},
               {".", std::nullopt}};
  for (const auto& c : cases) {
    const auto data = dataWithContentsOfFile(dir.file(c.name));
    EXPECT_EQ(data.has_value(), c.contents.has_value()) << c.name;
    if (data && c.contents) {
      EXPECT_EQ(std::string(data->begin(), data->end()), *c.contents) << c.name;
      EXPECT_LE(data->pieces().size(), 1u) << c.name;
    }
    EXPECT_EQ(contentsOfFile(dir.file(c.name)), c.contents) << c.name;
  }
  {
    const std::lock_guard lock(mutex);
    finished = true;
  }
  done.notify_one();
  rescuer.join();
  EXPECT_FALSE(rescued);
}

// Whether the writer got through before the deadline: a lease left held keeps it waiting for the
// kernel's lease-break time (45 s by default).
bool writesUnhindered(const std::function<void()>& write) {
  std::atomic<bool> written = false;
  std::thread writer([&] {
    write();
    written = true;
  });
  const bool unhindered = waitUntil([&] { return written.load(); });
  writer.join();
  return unhindered;
}

// A large file is mapped, not copied. A writer that opens it or truncates it waits until the Data
// holds a copy of its own, so the Data keeps the bytes it was made with; the lease goes with the
// Data. A file that another process has open for writing is read instead.
TEST(FileIO, ALargeFileIsMappedAndKeepsItsBytesWhenAWriterComes) {
  TempDir dir;
  const std::string path = std::filesystem::canonical(dir.path()).string() + "/big";
  std::string bytes(Data::LargeBytes * 3 + 5, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 11 % 253);
  writeFile(path, bytes);
  {
    const int writing = open(path.c_str(), O_WRONLY);
    const auto read = dataWithContentsOfFile(path);
    close(writing);
    ASSERT_TRUE(read);
    EXPECT_EQ(mappingAt(read->bytes()), "");
    EXPECT_EQ(std::string(read->begin(), read->end()), bytes);
  }
  const struct {
    const char* writer;
    std::function<void()> write;
  } cases[] = {
      {"rewrites it", [&] { writeFile(path, "changed"); }},
      {"truncates it", [&] { EXPECT_EQ(truncate(path.c_str(), 10), 0); }},
  };
  for (const auto& c : cases) {
    writeFile(path, bytes);
    const auto data = dataWithContentsOfFile(path);
    ASSERT_TRUE(data);
    EXPECT_EQ(mappingAt(data->bytes()), path) << c.writer;
    EXPECT_TRUE(writesUnhindered(c.write)) << c.writer;
    EXPECT_EQ(mappingAt(data->bytes()), "") << c.writer;
    EXPECT_EQ(std::string(data->begin(), data->end()), bytes) << c.writer;
  }
  writeFile(path, bytes);
  ASSERT_EQ(mappingAt(dataWithContentsOfFile(path)->bytes()), path);
  EXPECT_TRUE(writesUnhindered([&] { writeFile(path, "after"); }));
}

TEST(FileIO, PathComponentsAreJoinedByOneSlash) {
  const std::array<std::string, 3> cases[] = {
      {"/tmp/shots", "Picture 1.png", "/tmp/shots/Picture 1.png"},
      {"/tmp//shots//", "Picture 1.png", "/tmp/shots/Picture 1.png"},
      {"/", "a", "/a"},
      {"", "a", "a"},
      {"relative/", "a/", "relative/a"},
  };
  for (const auto& [path, component, joined] : cases)
    EXPECT_EQ(stringByAppendingPathComponent(path, component), joined) << path;
}

}  // namespace
