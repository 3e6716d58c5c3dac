// Entry of every test program: a QApplication-free main; tests that need Qt create it themselves.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Every server of the tests is local: a proxy of the machine's must not stand in between.
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                           "no_proxy", "NO_PROXY"})
    unsetenv(name);
  // Tests named OnDisplay.* need a display of their own: a parent test runs them in a child on a
  // virtual display, with KAPSHO_TEST_ON_DISPLAY set. Everywhere else they are not even listed.
  if (!std::getenv("KAPSHO_TEST_ON_DISPLAY")) {
    std::string filter = GTEST_FLAG_GET(filter);
    filter += filter.find('-') == std::string::npos ? "-OnDisplay.*" : ":OnDisplay.*";
    GTEST_FLAG_SET(filter, filter);
  }
  return RUN_ALL_TESTS();
}
