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

// With the file system's hint and without it (the path a file system that reports no types
// takes), a link is a link, not what it points to.
TEST(DirentType, EveryKindOfEntryHasItsOwnCodeWithOrWithoutTheFileSystemsHint) {
  testing_support::TempDir dir;
  testing_support::writeFile(dir.file("file"), "x");
  ASSERT_EQ(symlink(".", dir.file("link").c_str()), 0);
  DIR* listing = opendir(dir.path().c_str());
  std::map<std::string, std::pair<int, int>> seen;
  while (dirent* entry = readdir(listing)) {
    const int hinted = direntType(listing, entry);
    entry->d_type = DT_UNKNOWN;
    seen[entry->d_name] = {hinted, direntType(listing, entry)};
  }
  dirent missing{};
  std::strcpy(missing.d_name, "missing");
  EXPECT_EQ(direntType(listing, &missing), DT_UNKNOWN);
  closedir(listing);
  EXPECT_EQ(seen, (std::map<std::string, std::pair<int, int>>{
                      {".", {4, 4}}, {"..", {4, 4}}, {"file", {8, 8}}, {"link", {10, 10}}}));
}

}  // namespace
