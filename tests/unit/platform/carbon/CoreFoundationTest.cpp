#include "platform/carbon/CoreFoundation.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/TestSupport.h"

using namespace testing_support;
using platform::CFRef;
namespace fs = std::filesystem;

namespace {

CFRef<CFURLRef> urlFromRef(const std::string& path) {
  FSRef ref;
  if (FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &ref, nullptr) != noErr)
    return {};
  return CFRef<CFURLRef>(CFURLCreateFromFSRef(kCFAllocatorDefault, &ref));
}

CFRef<CFURLRef> urlFromBytes(const std::string& path, bool isDirectory = false) {
  return CFRef<CFURLRef>(CFURLCreateFromFileSystemRepresentation(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(path.data()),
      static_cast<CFIndex>(path.size()), isDirectory));
}

CFRef<CFURLRef> urlFromPath(const std::string& path) {
  return CFRef<CFURLRef>(CFBridgingRetain(platform::NSURL::fileURLWithPath(path)));
}

TEST(CoreFoundation, FileURLsOfOneObjectAreEqualHoweverTheyWereMade) {
  TempDir dir;
  fs::create_directories(dir.file("Apps/Kapsho.app/Contents"));
  fs::create_directory_symlink(dir.file("Apps/Kapsho.app"), dir.file("link.app"));
  writeFile(dir.file("Apps/other"), "x");

  const auto fromRef = urlFromRef(dir.file("link.app"));
  ASSERT_TRUE(fromRef);
  EXPECT_EQ(platform::toNSURL(fromRef.get()).absoluteString().back(), '/');
  EXPECT_TRUE(CFEqual(fromRef.get(), urlFromPath(dir.file("Apps/Kapsho.app")).get()));
  EXPECT_TRUE(CFEqual(fromRef.get(), urlFromPath(dir.file("link.app")).get()));
  EXPECT_TRUE(CFEqual(fromRef.get(), urlFromBytes(dir.file("Apps/Kapsho.app/")).get()));
  EXPECT_TRUE(CFEqual(fromRef.get(), urlFromBytes(dir.file("Apps/./Kapsho.app")).get()));
  EXPECT_FALSE(CFEqual(fromRef.get(), urlFromPath(dir.file("Apps/other")).get()));
  EXPECT_FALSE(CFEqual(fromRef.get(), urlFromBytes(dir.file("Apps/Gone.app")).get()));
}

TEST(CoreFoundation, URLsOfMissingPathsCompareByTheirNormalPath) {
  EXPECT_TRUE(CFEqual(urlFromBytes("/nonexistent/A.app", false).get(),
                      urlFromBytes("/nonexistent/A.app/", true).get()));
  EXPECT_FALSE(
      CFEqual(urlFromBytes("/nonexistent/A.app").get(), urlFromBytes("/nonexistent/B.app").get()));
  FSRef ref;
  EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>("/nonexistent/A.app"), &ref, nullptr),
            fnfErr);
  EXPECT_FALSE(CFURLGetFSRef(urlFromBytes("/nonexistent/A.app").get(), &ref));
}

}  // namespace
