#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/appkit/Pasteboard.h"
#include "tests/support/TestSupport.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;
using namespace platform_tests;
using namespace testing_support;

namespace {

const std::string kAddress = "http://127.0.0.1:8451/img/Bild \xc3\xbc.png";

TEST(Pasteboard, DeclaringEmptiesAndTheTextReadsBack) {
  offscreenApplication();
  auto& pasteboard = NSPasteboard::generalPasteboard();
  ASSERT_TRUE(pasteboard.setString("old", NSStringPboardType));
  pasteboard.declareTypes({NSStringPboardType}, nullptr);
  EXPECT_FALSE(pasteboard.stringForType(NSStringPboardType));
  ASSERT_TRUE(pasteboard.setString(kAddress, NSStringPboardType));
  EXPECT_FALSE(pasteboard.setString("x", "NSPDFPboardType"));
  EXPECT_EQ(pasteboard.stringForType(NSStringPboardType), kAddress);
}

// Runs only in the child that VirtualDisplay.ClipboardAndTrayIcon starts on a display.
TEST(OnDisplay, AnotherProgramReadsTheClipboard) {
  ASSERT_FALSE(NSApplication::sharedApplication().isOffscreen());
  NSPasteboard::generalPasteboard().declareTypes({NSStringPboardType}, nullptr);
  NSPasteboard::generalPasteboard().setString(kAddress, NSStringPboardType);
  // This process serves the text: its events keep flowing while xclip asks.
  std::atomic<bool> done{false};
  CommandResult result;
  std::thread reader([&] {
    result = runCommand({"xclip", "-o", "-selection", "clipboard", "-t", "UTF8_STRING"});
    done = true;
  });
  const bool finished = spinUntil([&] { return done.load(); }, 40000);
  reader.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(result.out, kAddress) << result.err;
}

}  // namespace
