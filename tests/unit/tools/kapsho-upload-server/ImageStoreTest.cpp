// The store's promise that an address never changes what it serves, met where it can be broken:
// with names cut to one hex digit, so that different bytes meet under a taken name.
#include "tools/kapsho-upload-server/ImageStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "tests/support/TestSupport.h"

namespace {

using namespace testing_support;
using namespace upload_server;
using Kind = StoreOutcome::Kind;

StoreOutcome put(const ImageStore& store, const std::string& bytes) {
  std::string error;
  const auto file = store.receive("shot.PNG", &error);
  EXPECT_TRUE(file && file->append(bytes.data(), bytes.size())) << error;
  return store.store(*file);
}

TEST(ImageStoreTest, ATakenNameKeepsItsBytes) {
  TempDir dir;
  const ImageStore store(dir.path(), 1);
  // Sixteen names cannot keep seventeen texts apart.
  std::map<std::string, std::string> owners;
  StoreOutcome clash{Kind::Stored, ""};
  for (int i = 0; i < 17 && clash.kind == Kind::Stored; ++i) {
    const std::string text = "bytes " + std::to_string(i);
    clash = put(store, text);
    if (clash.kind == Kind::Stored) owners[clash.text] = text;
  }
  ASSERT_EQ(clash.kind, Kind::NameTaken);
  EXPECT_EQ(readFile(dir.file(clash.text)), owners[clash.text]);
  // The same bytes again are stored under their name.
  const StoreOutcome again = put(store, owners[clash.text]);
  EXPECT_TRUE(again.kind == Kind::Stored && again.text == clash.text) << again.text;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), std::ssize(owners))
      << "a temporary file was left";
}

TEST(ImageStoreTest, TextsSharingTheirFirst64BitsGetNamesOfTheirOwn) {
  TempDir dir;
  const ImageStore store(dir.path());
  const std::string first = "kapsho-collision-94f2061de101db1c",
                    second = "kapsho-collision-76d771da58e1f76b";
  const StoreOutcome a = put(store, first), b = put(store, second);
  EXPECT_EQ(a.text.substr(0, 16), b.text.substr(0, 16));
  EXPECT_EQ(readFile(dir.file(a.text)), first);
  EXPECT_EQ(readFile(dir.file(b.text)), second);
}

}  // namespace
