// The per-client rate at exact moments, and the store's
// promise that an address never changes what it serves, met where it can be broken: with names cut
// to one hex digit, so that different bytes meet under a taken name.
#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"
#include "tools/kapsho-upload-server/AccessControl.h"
#include "tools/kapsho-upload-server/ImageStore.h"

namespace {

using namespace testing_support;
using namespace upload_server;
using namespace std::chrono_literals;

TEST(RateLimitTest, TakesNUploadsInAnyMinutePerClientTellsTheWaitAndForgetsIdleClients) {
  RateLimit limit(2);
  const auto start = RateLimit::Clock::time_point() + 1h;
  // Who comes when, and the wait it is told.
  const std::tuple<const char*, std::chrono::milliseconds, std::optional<std::chrono::seconds>>
      steps[] = {
          {"a", 0ms, std::nullopt}, {"a", 10s, std::nullopt}, {"a", 20s, 40s},
          {"b", 20s, std::nullopt}, {"a", 59500ms, 1s},       {"a", 60s, std::nullopt},
      };
  for (const auto& [client, at, wait] : steps)
    EXPECT_EQ(limit.admit(client, start + at), wait) << client << " at " << at.count() << " ms";
  for (int i = 0; i < 2000; ++i) limit.admit("early " + std::to_string(i), start + 60s);
  // With a and b: a sweep at 1024 clients found none idle, so the next waits until 2048, though
  // all are idle by now.
  limit.admit("late 0", start + 121s);
  EXPECT_EQ(limit.clientsHeld(), 2003u);
  for (int i = 1; i < 49; ++i) limit.admit("late " + std::to_string(i), start + 121s);
  EXPECT_EQ(limit.clientsHeld(), 49u);
}

StoreOutcome put(const ImageStore& store, const std::string& bytes) {
  std::string error;
  const auto file = store.receive("shot.PNG", &error);
  EXPECT_TRUE(file && file->append(bytes.data(), bytes.size())) << error;
  return store.store(*file);
}

TEST(ImageStoreTest, ATakenNameKeepsItsBytesAndNamesTellApartTextsSharingTheirFirst64Bits) {
  TempDir dir;
  const ImageStore store(dir.path(), 1);
  // Both names begin with the hex digit c.
  const StoreOutcome first = put(store, "bytes 2");
  EXPECT_EQ(put(store, "bytes 3").kind, StoreOutcome::Kind::NameTaken);
  EXPECT_EQ(readFile(dir.file(first.text)), "bytes 2");
  // The same bytes again are stored under their name.
  const StoreOutcome again = put(store, "bytes 2");
  EXPECT_TRUE(again.kind == StoreOutcome::Kind::Stored && again.text == first.text) << again.text;

  // Two texts that once met under their first 64 bits: whole names keep them apart.
  const ImageStore whole(dir.path());
  for (const std::string text :
       {"kapsho-collision-94f2061de101db1c", "kapsho-collision-76d771da58e1f76b"})
    EXPECT_EQ(readFile(dir.file(put(whole, text).text)), text);
}

}  // namespace
