#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <tuple>

#include "platform/foundation/Exception.h"
#include "platform/foundation/Format.h"

using platform::stringWithFormat;

namespace {

struct Described {
  std::string description() const { return "described"; }
};

// Missing arguments and unknown conversions stay as written; placeholders inside an argument are
// not expanded again.
TEST(Format, PlaceholdersTakeTheirArgumentsAndWhatCannotBeFilledStaysAsWritten) {
  EXPECT_EQ(stringWithFormat("%@ and %@", std::string("a"), Described{}), "a and described");
  EXPECT_EQ(stringWithFormat("error %ld (%i) %c%%", -1700L, -43, 'X'), "error -1700 (-43) X%");
  EXPECT_EQ(stringWithFormat("%2$@ %1$@ %2$@", std::string("1"), std::string("Bild")),
            "Bild 1 Bild");
  EXPECT_EQ(stringWithFormat("%3$@ %0$@ %1$@", std::string("a")), "%3$@ %0$@ a");
  EXPECT_EQ(stringWithFormat("%@ %@", std::string("one")), "one %@");
  EXPECT_EQ(stringWithFormat("100%"), "100%");
  EXPECT_EQ(stringWithFormat("%q %d", 5), "%q 5");
  EXPECT_EQ(stringWithFormat("%@", std::string("%d%@")), "%d%@");
}

TEST(Exception, AnyExceptionIsReportedByNameAndReason) {
  const std::tuple<std::function<void()>, std::string, std::string> cases[] = {
      {[] { platform::NSException::raise("KQueueError", "gone"); }, "KQueueError", "gone"},
      {[] { throw std::bad_alloc(); }, "NSMallocException", "std::bad_alloc"},
      {[] { throw std::runtime_error("cannot list"); }, "NSGenericException", "cannot list"},
      {[] { throw 7; }, "NSGenericException", "an exception of unknown type"},
  };
  for (const auto& [raise, name, reason] : cases) {
    try {
      raise();
    } catch (...) {
      EXPECT_EQ(
          platform::uncaughtExceptionReport(platform::currentException()),
          "*** Terminating app due to uncaught exception '" + name + "', reason: '" + reason + "'");
    }
  }
}

}  // namespace
