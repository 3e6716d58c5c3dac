#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <new>
#include <tuple>

#include "platform/foundation/Date.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "tests/support/TestSupport.h"

using namespace platform;
using testing_support::ScopedEnv;

namespace {

// Missing arguments and unknown conversions stay as written; placeholders inside an argument are
// not expanded again.
TEST(Format, PlaceholdersTakeTheirArgumentsAndWhatCannotBeFilledStaysAsWritten) {
  EXPECT_EQ(stringWithFormat("%@ %ld (%i) %c%% %q %@ %@", *NSURL::URLWithString("h:a"), -1700L, -43,
                             'X', std::string("%d%@")),
            "h:a -1700 (-43) X% %q %d%@ %@");
  EXPECT_EQ(stringWithFormat("%2$@ %1$@ %2$@ %3$@ %0$@", std::string("1"), std::string("Bild")),
            "Bild 1 Bild %3$@ %0$@");
}

TEST(Value, AStringIsYesWhenItsFirstSignificantCharacterSaysSo) {
  const std::pair<const char*, bool> cases[] = {
      {"Yes", true}, {"yes", true}, {"T", true}, {"true", true}, {" -007", true}, {"+0009x", true},
      {"0", false},  {"no", false}, {"", false}, {"-", false},   {"x1", false},
  };
  for (const auto& [text, yes] : cases) EXPECT_EQ(Value(text).boolValue(), yes) << text;
  EXPECT_TRUE(Value(std::int64_t{-2}).boolValue());
  EXPECT_FALSE(Value(0.0).boolValue());
}

TEST(Exception, AnyExceptionIsReportedByNameAndReason) {
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] { NSException::raise("KQueueError", "gone"); }, "'KQueueError', reason: 'gone"},
      {[] { throw std::bad_alloc(); }, "'NSMallocException', reason: 'std::bad_alloc"},
      {[] { throw 7; }, "'NSGenericException', reason: 'an exception of unknown type"},
  };
  for (const auto& [raise, report] : cases) {
    try {
      raise();
    } catch (...) {
      EXPECT_EQ(uncaughtExceptionReport(currentException()),
                "*** Terminating app due to uncaught exception " + report + "'");
    }
  }
}

// Sets TZ for the test and makes the C library read it.
struct ScopedZone : ScopedEnv {
  explicit ScopedZone(const std::string& zone) : ScopedEnv("TZ", zone) { tzset(); }
};

Date utc(int y, unsigned m, unsigned d, int h, int min, int s) {
  using namespace std::chrono;
  return sys_days(year(y) / month(m) / day(d)) + hours(h) + minutes(min) + seconds(s);
}

// Written in the local zone, across daylight saving, without fractions of a second; read back
// from any offset.
TEST(DateText, DescribesInTheLocalZoneAndReadsBackAnyOffset) {
  const std::tuple<std::string, Date, std::string> cases[] = {
      {"America/Los_Angeles", utc(2008, 3, 14, 22, 9, 26), "2008-03-14 15:09:26 -0700"},
      {"America/Los_Angeles", utc(2008, 1, 5, 8, 0, 7), "2008-01-05 00:00:07 -0800"},
      {"Asia/Kolkata", utc(2000, 2, 29, 22, 9, 26), "2000-03-01 03:39:26 +0530"},
  };
  for (const auto& [zone, date, text] : cases) {
    ScopedZone local(zone);
    EXPECT_EQ(NSDate(date + std::chrono::milliseconds(999)).description(), text);
    EXPECT_EQ(NSDate::dateWithString(text).value().timePoint(), date) << text;
  }
  for (const char* text :
       {"2008-03-14 15:09:26 -0700 ", "2008-13-14 15:09:26 -0700", "2007-02-29 15:09:26 -0700",
        "2008-03-14 24:00:00 -0700", "2008-03-14 15:09:60 -0700", "2008-03-14 15:60:26 -0700",
        "2008-03-14 15:09:26 -0760"})
    EXPECT_FALSE(NSDate::dateWithString(text)) << text;
}

// LC_ALL outranks LC_TIME, which outranks LANG.
TEST(DateFormatter, FormatsThePatternInTheUserLocaleAndZone) {
  ScopedZone zone("America/Los_Angeles");
  ScopedEnv all("LC_ALL", std::nullopt), time("LC_TIME", std::nullopt), lang("LANG", "de_DE.UTF-8");
  const NSDate morning(utc(2008, 10, 2, 16, 5, 0));
  NSDateFormatter formatter;
  formatter.setDateFormat("MMM d, h:mm:ss a");
  ScopedEnv french("LC_TIME", "fr_FR.UTF-8");
  EXPECT_EQ(formatter.stringFromDate(morning), "oct. 2, 9:05:00 AM");
  ScopedEnv british("LC_ALL", "en_GB.UTF-8");
  ScopedZone tokyo("Asia/Tokyo");
  EXPECT_EQ(formatter.stringFromDate(morning), "Oct 3, 1:05:00 am");
}

}  // namespace
