// Entry of every test program: a QApplication-free main; tests that need Qt create it themselves.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
