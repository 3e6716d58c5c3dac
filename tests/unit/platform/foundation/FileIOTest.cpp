#include "platform/foundation/FileIO.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/support/TestSupport.h"

using namespace platform;
using testing_support::mappingAt;
using testing_support::TempDir;
using testing_support::waitUntil;
using testing_support::writeFile;

namespace {

// Three large pieces and a bit, in a pattern whose period is prime: no two pages alike.
std::string largeBytes() {
  std::string bytes(Data::LargeBytes * 3 + 5, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  return bytes;
}

// Whether the call returned before the deadline; `free` then lets it return all the same.
bool returnsUnhindered(const std::function<void()>& call, const std::function<void()>& free) {
  std::atomic<bool> returned = false;
  std::thread caller([&] {
    call();
    returned = true;
  });
  const bool unhindered = waitUntil([&] { return returned.load(); }, std::chrono::seconds(5));
  if (!unhindered) free();
  caller.join();
  return unhindered;
}

// A FIFO, or a link to one, is refused at once: a read that waited for a writer would hold the
// agent's main thread.
TEST(FileIO, WholeReadsTakeEveryByteOfRegularFilesAndNeverWait) {
  TempDir dir;
  const std::string bytes = largeBytes();
  writeFile(dir.file("big"), bytes);
  writeFile(dir.file("empty"), "");
  ASSERT_EQ(symlink("big", dir.file("link").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("fifo", dir.file("fifo link").c_str()), 0);
  const std::optional<std::string> none;
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"big", bytes},      {"link", bytes},   {"empty", ""}, {"fifo", none},
      {"fifo link", none}, {"missing", none}, {".", none}};
  for (const auto& [name, contents] : cases) {
    std::optional<Data> data;
    EXPECT_TRUE(
        returnsUnhindered([&] { data = dataWithContentsOfFile(dir.file(name)); },
                          [&] { close(open(dir.file("fifo").c_str(), O_WRONLY | O_NONBLOCK)); }))
        << name;
    EXPECT_EQ(data ? std::optional(std::string(data->begin(), data->end())) : std::nullopt,
              contents)
        << name;
    EXPECT_LE(data ? data->pieces().size() : 0, 1u) << name;
  }
  EXPECT_EQ(contentsOfFile(dir.file("link")), bytes);
  EXPECT_EQ(contentsOfFile(dir.file("missing")), std::nullopt);
}

// A large file is mapped, not copied. A writer that rewrites or truncates it waits until the Data
// holds a copy of its own, so the Data keeps the bytes it was made with; the lease goes with the
// Data. A file that another process has open for writing is read instead.
TEST(FileIO, ALargeFileIsMappedAndKeepsItsBytesWhenAWriterComes) {
  TempDir dir;
  const std::string path = std::filesystem::canonical(dir.path()).string() + "/big";
  const std::string bytes = largeBytes();
  writeFile(path, bytes);
  {
    const int writing = open(path.c_str(), O_WRONLY);
    const auto read = dataWithContentsOfFile(path);
    close(writing);
    ASSERT_TRUE(read);
    EXPECT_EQ(mappingAt(read->bytes()), "");
    EXPECT_EQ(std::string(read->begin(), read->end()), bytes);
  }
  const std::function<void()> writers[] = {
      [&] { writeFile(path, "changed"); },
      [&] { EXPECT_EQ(truncate(path.c_str(), 10), 0); },
  };
  for (const auto& write : writers) {
    writeFile(path, bytes);
    const auto data = dataWithContentsOfFile(path);
    ASSERT_TRUE(data);
    EXPECT_EQ(mappingAt(data->bytes()), path);
    // A lease left held keeps the writer waiting for the kernel's lease-break time (45 s).
    EXPECT_TRUE(returnsUnhindered(write, [] {}));
    EXPECT_EQ(mappingAt(data->bytes()), "");
    EXPECT_EQ(std::string(data->begin(), data->end()), bytes);
  }
  writeFile(path, bytes);
  ASSERT_EQ(mappingAt(dataWithContentsOfFile(path)->bytes()), path);
  EXPECT_TRUE(returnsUnhindered([&] { writeFile(path, "after"); }, [] {}));
}

TEST(FileIO, PathComponentsAreJoinedByOneSlash) {
  const std::array<std::string, 3> cases[] = {
      {"/tmp//shots//", "Picture 1.png", "/tmp/shots/Picture 1.png"},
      {"/", "a", "/a"},
      {"", "a", "a"},
      {"relative/", "a/", "relative/a"},
  };
  for (const auto& [path, component, joined] : cases)
    EXPECT_EQ(stringByAppendingPathComponent(path, component), joined) << path;
}

}  // namespace
