// The window tests share one application object, which is the program's own:
// its default error handler is part of what they test.
#include <gtest/gtest.h>

#include "app/application.h"

int main(int argc, char** argv) {
  // Listing the tests at build time happens without a display, too.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  kirobaku::KirobakuApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
