#include <gtest/gtest.h>

#include <ctime>

#include "platform/foundation/Date.h"
#include "tests/support/TestSupport.h"

using namespace platform;
using testing_support::ScopedEnv;

namespace {

// Sets TZ for the test and makes the C library read it again, also after the old value returns.
class ScopedZone {
 public:
  explicit ScopedZone(const std::string& zone) : env_("TZ", zone) { tzset(); }
  ~ScopedZone() { tzset(); }

 private:
  ScopedEnv env_;
};

Date utc(int y, unsigned m, unsigned d, int h, int min, int s) {
  using namespace std::chrono;
  return sys_days(year(y) / month(m) / day(d)) + hours(h) + minutes(min) + seconds(s);
}

TEST(DateText, DescribesInTheLocalZoneAcrossDaylightSaving) {
  ScopedZone zone("America/Los_Angeles");
  EXPECT_EQ(NSDate(utc(2008, 3, 14, 22, 9, 26)).description(), "2008-03-14 15:09:26 -0700");
  EXPECT_EQ(NSDate(utc(2008, 1, 5, 8, 0, 7)).description(), "2008-01-05 00:00:07 -0800");
  ScopedZone east("Asia/Kolkata");
  EXPECT_EQ(NSDate(utc(2008, 3, 14, 22, 9, 26)).description(), "2008-03-15 03:39:26 +0530");
  ScopedZone greenwich("UTC");
  EXPECT_EQ(NSDate(utc(2008, 3, 14, 22, 9, 26)).description(), "2008-03-14 22:09:26 +0000");
}

TEST(DateText, ReadsBackWhatItWritesAndAnyOffset) {
  for (const char* name : {"America/Los_Angeles", "Asia/Kathmandu", "UTC"}) {
    ScopedZone zone(name);
    // Fractions of a second are not part of the text.
    const NSDate now(std::chrono::system_clock::now());
    const auto parsed = NSDate::dateWithString(now.description());
    ASSERT_TRUE(parsed) << name;
    EXPECT_EQ(parsed->description(), now.description());
    EXPECT_LT(now.timePoint() - parsed->timePoint(), std::chrono::seconds(1));
  }
  const auto west = NSDate::dateWithString("2008-03-14 15:09:26 -0700");
  const auto east = NSDate::dateWithString("2008-03-15 03:39:26 +0530");
  ASSERT_TRUE(west && east);
  EXPECT_EQ(west->timePoint(), utc(2008, 3, 14, 22, 9, 26));
  EXPECT_EQ(east->timePoint(), west->timePoint());
  EXPECT_EQ(NSDate::dateWithString("2000-02-29 23:59:59 +0000")->timePoint(),
            utc(2000, 2, 29, 23, 59, 59));
}

TEST(DateText, RejectsEveryOtherText) {
  for (const char* text :
       {"", "2008-03-14 15:09:26", "2008-03-14 15:09:26 -07:00", "2008-03-14T15:09:26 -0700",
        "2008-03-14 15:09:26 -0700 ", "2008-3-14 15:09:26 -0700", "2008-03-14 15:09:26 0700",
        "2008-13-14 15:09:26 -0700", "2007-02-29 15:09:26 -0700", "2008-03-14 24:00:00 -0700",
        "2008-03-14 15:09:60 -0700", "2008-03-14 15:09:26 -0760", "2008-03-1x 15:09:26 -0700"})
    EXPECT_FALSE(NSDate::dateWithString(text)) << text;
}

TEST(DateFormatter, FormatsThePatternInTheUserLocaleAndZone) {
  ScopedZone zone("America/Los_Angeles");
  ScopedEnv all("LC_ALL", std::nullopt), time("LC_TIME", std::nullopt);
  const NSDate afternoon(utc(2008, 3, 14, 22, 9, 26));
  const NSDate morning(utc(2008, 10, 2, 16, 5, 0));
  NSDateFormatter formatter;
  formatter.setFormatterBehavior(NSDateFormatterBehavior10_4);
  formatter.setDateFormat("MMM d, h:mm:ss a");
  {
    ScopedEnv lang("LANG", "en_US.UTF-8");
    EXPECT_EQ(formatter.stringFromDate(afternoon), "Mar 14, 3:09:26 PM");
    EXPECT_EQ(formatter.stringFromDate(morning), "Oct 2, 9:05:00 AM");
  }
  {
    ScopedEnv lang("LANG", "de_DE.UTF-8");
    EXPECT_EQ(formatter.stringFromDate(morning), "Okt. 2, 9:05:00 AM");
    // LC_TIME outranks LANG, and LC_ALL outranks both.
    ScopedEnv time("LC_TIME", "fr_FR.UTF-8");
    EXPECT_EQ(formatter.stringFromDate(morning), "oct. 2, 9:05:00 AM");
    ScopedEnv all("LC_ALL", "en_GB.UTF-8");
    EXPECT_EQ(formatter.stringFromDate(afternoon), "Mar 14, 3:09:26 pm");
  }
  ScopedZone tokyo("Asia/Tokyo");
  ScopedEnv lang("LANG", "en_US.UTF-8");
  EXPECT_EQ(formatter.stringFromDate(afternoon), "Mar 15, 7:09:26 AM");
}

}  // namespace
