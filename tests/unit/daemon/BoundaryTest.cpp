// The multipart boundary: the edge cases of collisions, each boundary exact.
#include <gtest/gtest.h>

#include "daemon/KapshoController.h"

namespace {

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
  for (const auto& c : cases)
    EXPECT_EQ(KapshoController::boundaryForData(platform::Data(c.data.begin(), c.data.end())),
              c.boundary)
        << c.data;
}

}  // namespace
