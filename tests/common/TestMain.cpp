// Every platform violation (leak, double free, unexpected service, dangling registration) fails
// the test during which it happened, unless the test says it expects one.
#include <gtest/gtest.h>

#include "Platform.h"

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  emu::SetViolationHandler(
      [](const std::string &what) { ADD_FAILURE() << "platform violation: " << what; });
  return RUN_ALL_TESTS();
}
