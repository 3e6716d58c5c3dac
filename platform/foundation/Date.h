// Dates: the platform's standard date text, and formatting by Unicode date patterns (ICU).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

class NSDate {
 public:
  explicit NSDate(Date when) : when_(when) {}
  // date: now.
  static NSDate date();
  // dateWithString: reads the standard text "YYYY-MM-DD HH:MM:SS ±HHMM"; nullopt for any other.
  static std::optional<NSDate> dateWithString(const std::string& text);
  // description: the standard text in the local time zone, "2008-03-14 15:09:26 -0700".
  std::string description() const;
  Date timePoint() const { return when_; }

 private:
  Date when_;
};

enum NSDateFormatterBehavior { NSDateFormatterBehavior10_4 = 1040 };

// A formatter with a Unicode TS #35 pattern, in the user's current locale and time zone.
class NSDateFormatter {
 public:
  NSDateFormatter();
  ~NSDateFormatter();
  NSDateFormatter(const NSDateFormatter&) = delete;
  NSDateFormatter& operator=(const NSDateFormatter&) = delete;

  void setFormatterBehavior(NSDateFormatterBehavior behavior);
  void setDateFormat(const std::string& pattern);
  std::string stringFromDate(const NSDate& date) const;

 private:
  struct Format;
  std::string pattern_;
  // The library's formatter for the pattern in the locale it was made for, kept while that stays
  // the user's locale: making one costs more than formatting a date with it.
  mutable std::unique_ptr<Format> format_;
};

}  // namespace platform
