#include "platform/foundation/FileIO.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <thread>

#include "tests/support/TestSupport.h"

using namespace platform;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

TEST(FileIO, WholeReadsTakeEveryByteWhateverSizeTheFileSystemTells) {
  TempDir dir;
  std::string bytes(300000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  writeFile(dir.file("big"), bytes);
  EXPECT_EQ(contentsOfFile(dir.file("big")), bytes);
  EXPECT_EQ(dataWithContentsOfFile(dir.file("big")), Data(bytes.begin(), bytes.end()));
  writeFile(dir.file("empty"), "");
  EXPECT_EQ(dataWithContentsOfFile(dir.file("empty")), Data());

  // A pipe has no size up front: the buffer grows until the writer is done.
  ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
  std::thread writer([&] {
    const int fd = open(dir.file("pipe").c_str(), O_WRONLY);
    for (size_t at = 0; at < bytes.size();)
      at += static_cast<size_t>(
          write(fd, bytes.data() + at, std::min<size_t>(4096, bytes.size() - at)));
    close(fd);
  });
  EXPECT_EQ(contentsOfFile(dir.file("pipe")), bytes);
  writer.join();

  EXPECT_FALSE(dataWithContentsOfFile(dir.file("missing")));
  EXPECT_FALSE(dataWithContentsOfFile(dir.path()));
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
