#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

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

TEST(Exception, AnyExceptionIsReportedByNameAndReason) {
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] { platform::NSException::raise("KQueueError", "Error setting up kqueue: gone"); },
       "*** Terminating app due to uncaught exception 'KQueueError', reason: 'Error setting up "
       "kqueue: gone'"},
      {[] { throw std::bad_alloc(); },
       "*** Terminating app due to uncaught exception 'NSMallocException', reason: "
       "'std::bad_alloc'"},
      {[] { throw std::runtime_error("cannot list"); },
       "*** Terminating app due to uncaught exception 'NSGenericException', reason: 'cannot "
       "list'"},
      {[] { throw 7; },
       "*** Terminating app due to uncaught exception 'NSGenericException', reason: 'an exception "
       "of unknown type'"},
  };
  for (const auto& [raise, report] : cases) {
    try {
      raise();
    } catch (...) {
      EXPECT_EQ(platform::uncaughtExceptionReport(platform::currentException()), report);
    }
  }
}

}  // namespace
