// The multipart boundary: the edge cases of collisions, and data dense with near-collisions. After
// every call a plain search confirms the boundary is free.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "daemon/KapshoController.h"

namespace {

platform::Data bytes(const std::string& text) {
  return platform::Data(text.begin(), text.end());
}

std::string boundaryChecked(const platform::Data& data) {
  const std::string boundary = KapshoController::boundaryForData(data);
  const std::string needle = "\r\n--" + boundary;
  EXPECT_EQ(std::search(data.begin(), data.end(), needle.begin(), needle.end()), data.end())
      << boundary;
  return boundary;
}

TEST(Boundary, CollisionsExtendTheBoundary) {
  const std::string base = "KapshoBoundary";
  const struct {
    std::string data, boundary;
  } cases[] = {
      {"", base},
      {"\r\n--KapshoBoundar", base},
      {"--" + base + "A", base},
      {"x--" + base + "A", base},
      {"\r\n-" + base + "A", base},
      {"\r\n--" + base + "A", base + "X"},
      {"\r\n--" + base + "X", base + "Y"},
      {"\r\n--" + base, base + "X"},
      {"\r\n--" + base + "A..\r\n--" + base + "XX", base + "XY"},
      {"\r\n--" + base + "X..\r\n--" + base + "YX", base + "YY"},
      {"\r\n--" + base + "X..\r\n--" + base + "A", base + "Y"},
      {"\r\r\n--" + base + "\r\n--" + base + "XZ", base + "XX"},
  };
  for (const auto& c : cases) {
    const auto data = bytes(c.data);
    EXPECT_EQ(boundaryChecked(data), c.boundary) << c.data;
    EXPECT_EQ(KapshoController::boundaryForData(data), c.boundary) << "each call starts afresh";
  }
}

// Fragments of boundaries with every letter the walk may append, in random order.
TEST(Boundary, DataDenseWithNearCollisions) {
  std::mt19937 random(7);
  const std::string pieces[] = {
      "\r\n--KapshoBoundary", "\r\n--KapshoBoundar", "\r\n-", "\r\n", "X", "Y", "XY", "\r"};
  for (int round = 0; round < 200; ++round) {
    std::string text;
    const int count = 1 + random() % 400;
    for (int i = 0; i < count; ++i) text += pieces[random() % std::size(pieces)];
    boundaryChecked(bytes(text));
  }
}

}  // namespace
