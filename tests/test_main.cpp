#include <gtest/gtest.h>

// The core's tests: no window toolkit, nothing to set up.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
