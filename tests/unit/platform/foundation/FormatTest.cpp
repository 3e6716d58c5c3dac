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

// Missing arguments and unknown conversions stay as written; placeholders inside an argument are
// not expanded again.
TEST(Format, PlaceholdersTakeTheirArgumentsAndWhatCannotBeFilledStaysAsWritten) {
  EXPECT_EQ(stringWithFormat("%@: error %ld (%i) %c%% %q %@ %@", Described{}, -1700L, -43, 'X',
                             std::string("%d%@")),
            "described: error -1700 (-43) X% %q %d%@ %@");
  EXPECT_EQ(stringWithFormat("%2$@ %1$@ %2$@ %3$@ %0$@", std::string("1"), std::string("Bild")),
            "Bild 1 Bild %3$@ %0$@");
  EXPECT_EQ(stringWithFormat("100%"), "100%");
}

TEST(Exception, AnyExceptionIsReportedByNameAndReason) {
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] { platform::NSException::raise("KQueueError", "gone"); }, "'KQueueError', reason: 'gone"},
      {[] { throw std::bad_alloc(); }, "'NSMallocException', reason: 'std::bad_alloc"},
      {[] { throw std::runtime_error("cannot list"); },
       "'NSGenericException', reason: 'cannot list"},
      {[] { throw 7; }, "'NSGenericException', reason: 'an exception of unknown type"},
  };
  for (const auto& [raise, report] : cases) {
    try {
      raise();
    } catch (...) {
      EXPECT_EQ(platform::uncaughtExceptionReport(platform::currentException()),
                "*** Terminating app due to uncaught exception " + report + "'");
    }
  }
}

}  // namespace
