#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "platform/bsd/dirent_type.h"
#include "tests/support/TestSupport.h"

namespace {

// The path a file system that reports no types takes.
unsigned char typeWithoutHint(DIR* dir, const std::string& name) {
  struct dirent entry {};
  entry.d_type = DT_UNKNOWN;
  std::strncpy(entry.d_name, name.c_str(), sizeof entry.d_name - 1);
  return direntType(dir, &entry);
}

TEST(DirentType, EveryKindOfEntryHasItsOwnCodeWithOrWithoutTheFileSystemsHint) {
  testing_support::TempDir dir;
  testing_support::writeFile(dir.file("file"), "x");
  ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
  ASSERT_EQ(symlink("folder", dir.file("link").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const std::map<std::string, unsigned char> expected = {
      {"file", 8}, {"folder", 4}, {"link", 10}, {"fifo", 1}};
  DIR* listing = opendir(dir.path().c_str());
  std::map<std::string, unsigned char> seen, fallback;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    seen[entry->d_name] = direntType(listing, entry);
    fallback[entry->d_name] = typeWithoutHint(listing, entry->d_name);
  }
  EXPECT_EQ(typeWithoutHint(listing, "missing"), DT_UNKNOWN);
  closedir(listing);
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(fallback, expected);
  DIR* devices = opendir("/dev");
  EXPECT_EQ(typeWithoutHint(devices, "null"), 2);
  closedir(devices);
}

}  // namespace
