#include "platform/foundation/FileIO.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "tests/support/TestSupport.h"

using namespace platform;
using testing_support::mappingAt;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

// A FIFO, or a link to one, is refused at once: a read that waited for a writer would hold the
// agent's main thread. A large file is mapped under a read lease: a writer that rewrites or
// truncates it waits until the Data holds a copy of its own, and the lease goes with the Data. A
// file that another process has open for writing is read instead.
TEST(FileIO, WholeReadsNeverWaitAndKeepTheirBytesWhenAWriterComes) {
  TempDir dir;
  const std::string path = std::filesystem::canonical(dir.path()).string() + "/big";
  // Three large pieces and a bit, in a pattern whose period is prime: no two pages alike.
  std::string bytes(Data::LargeBytes * 3 + 5, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  writeFile(path, bytes);
  writeFile(dir.file("empty"), "");
  ASSERT_EQ(symlink("big", dir.file("link").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("fifo", dir.file("fifo link").c_str()), 0);
  // A call that waits ends the test: a read waiting for a FIFO's writer, or a writer waiting out
  // a lease left held (the kernel's lease-break time is 45 s).
  alarm(20);
  for (const char* name : {"fifo", "fifo link", "missing", "."})
    EXPECT_FALSE(dataWithContentsOfFile(dir.file(name))) << name;
  EXPECT_EQ(contentsOfFile(dir.file("empty")), "");
  {
    const int writing = open(path.c_str(), O_WRONLY);
    const auto read = dataWithContentsOfFile(dir.file("link"));
    close(writing);
    EXPECT_EQ(mappingAt(read.value().bytes()), "");
    EXPECT_EQ(std::string(read->begin(), read->end()), bytes);
  }
  const std::function<void()> writers[] = {
      [&] { writeFile(path, "changed"); },
      [&] { EXPECT_EQ(truncate(path.c_str(), 10), 0); },
  };
  for (const auto& write : writers) {
    writeFile(path, bytes);
    const auto data = dataWithContentsOfFile(path);
    ASSERT_EQ(mappingAt(data.value().bytes()), path);
    write();
    EXPECT_EQ(mappingAt(data->bytes()), "");
    EXPECT_EQ(std::string(data->begin(), data->end()), bytes);
  }
  writeFile(path, bytes);
  ASSERT_EQ(mappingAt(dataWithContentsOfFile(path)->bytes()), path);
  writeFile(path, "after");
  alarm(0);
}

TEST(FileIO, PathComponentsAreJoinedByOneSlash) {
  EXPECT_EQ(stringByAppendingPathComponent("/tmp//shots//", "Picture 1.png"),
            "/tmp/shots/Picture 1.png");
  EXPECT_EQ(stringByAppendingPathComponent("/", "a"), "/a");
  EXPECT_EQ(stringByAppendingPathComponent("relative/", "a/"), "relative/a");
}

}  // namespace
