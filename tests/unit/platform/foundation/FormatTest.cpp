#include <gtest/gtest.h>

#include "platform/foundation/Exception.h"
#include "platform/foundation/Format.h"

using platform::stringWithFormat;

namespace {

struct Described {
  std::string description() const { return "described"; }
};

TEST(Format, PlaceholdersTakeTheirArgumentsInOrder) {
  EXPECT_EQ(stringWithFormat("Upload got %d response", 302), "Upload got 302 response");
  EXPECT_EQ(stringWithFormat("%@ and %@", std::string("a"), Described{}), "a and described");
  EXPECT_EQ(stringWithFormat("error %ld (%i) %c%%", -1700L, -43, 'X'), "error -1700 (-43) X%");
  EXPECT_EQ(stringWithFormat("Unexpected kevent (%i)", static_cast<short>(-6)),
            "Unexpected kevent (-6)");
  EXPECT_EQ(stringWithFormat("%2$@ %1$@ %2$@", std::string("1"), std::string("Bild")),
            "Bild 1 Bild");
  EXPECT_EQ(stringWithFormat("%3$@ %0$@ %1$@", std::string("a")), "%3$@ %0$@ a");
}

TEST(Format, MissingArgumentsAndUnknownConversionsStayAsWritten) {
  EXPECT_EQ(stringWithFormat("%@ %@", std::string("one")), "one %@");
  EXPECT_EQ(stringWithFormat("100%"), "100%");
  EXPECT_EQ(stringWithFormat("%q %d", 5), "%q 5");
  // Placeholders inside an argument are not expanded again.
  EXPECT_EQ(stringWithFormat("%@", std::string("%d%@")), "%d%@");
}

TEST(Exception, UncaughtReportNamesTheExceptionAndItsReason) {
  platform::NSException e("KQueueError", "Error setting up kqueue: No such file or directory");
  EXPECT_EQ(platform::uncaughtExceptionReport(e),
            "*** Terminating app due to uncaught exception 'KQueueError', reason: 'Error setting "
            "up kqueue: No such file or directory'");
  EXPECT_THROW(platform::NSException::raise("RegexError", "x"), platform::NSException);
}

}  // namespace
