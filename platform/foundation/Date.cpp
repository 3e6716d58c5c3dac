#include "platform/foundation/Date.h"

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

namespace platform {

namespace {

using namespace std::chrono;

// Reads `count` decimal digits at `pos`; nullopt when any is not a digit.
std::optional<int> digits(const std::string& text, std::size_t pos, std::size_t count) {
  int value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// The locale of dates from the C library's variables, in their order of precedence.
icu::Locale userTimeLocale() {
  for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    std::string id(value);
    id = id.substr(0, id.find_first_of(".@"));
    if (id == "C" || id == "POSIX") return icu::Locale("en_US_POSIX");
    return icu::Locale(id.c_str());
  }
  return icu::Locale("en_US_POSIX");
}

}  // namespace

NSDate NSDate::date() {
  return NSDate(system_clock::now());
}

std::optional<NSDate> NSDate::dateWithString(const std::string& text) {
  // "YYYY-MM-DD HH:MM:SS ±HHMM": fixed positions, nothing before or after.
  static constexpr char kShape[] = "dddd-dd-dd dd:dd:dd sdddd";
  if (text.size() != sizeof kShape - 1) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char shape = kShape[i];
    const char c = text[i];
    if (shape == 'd'   ? !std::isdigit(static_cast<unsigned char>(c))
        : shape == 's' ? c != '+' && c != '-'
                       : c != shape)
      return std::nullopt;
  }
  const year_month_day day{year(*digits(text, 0, 4)), month(*digits(text, 5, 2)),
                           std::chrono::day(*digits(text, 8, 2))};
  const int hour = *digits(text, 11, 2), minute = *digits(text, 14, 2),
            second = *digits(text, 17, 2);
  const int offsetHours = *digits(text, 21, 2), offsetMinutes = *digits(text, 23, 2);
  if (!day.ok() || hour > 23 || minute > 59 || second > 59 || offsetHours > 23 ||
      offsetMinutes > 59)
    return std::nullopt;
  const auto offset = (text[20] == '-' ? -1 : 1) * (hours(offsetHours) + minutes(offsetMinutes));
  const auto local = sys_days(day) + hours(hour) + minutes(minute) + seconds(second);
  return NSDate(time_point_cast<system_clock::duration>(local - offset));
}

std::string NSDate::description() const {
  const std::time_t t = system_clock::to_time_t(floor<seconds>(when_));
  std::tm local{};
  tzset();
  localtime_r(&t, &local);
  const long offset = local.tm_gmtoff / 60;
  const long magnitude = offset < 0 ? -offset : offset;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d %c%02ld%02ld",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  return buffer;
}

struct NSDateFormatter::Format {
  std::string locale;
  icu::SimpleDateFormat format;
};

NSDateFormatter::NSDateFormatter() = default;
NSDateFormatter::~NSDateFormatter() = default;

// Only the 10.4 behaviour exists here: patterns are always read by Unicode TS #35.
void NSDateFormatter::setFormatterBehavior(NSDateFormatterBehavior) {}

void NSDateFormatter::setDateFormat(const std::string& pattern) {
  pattern_ = pattern;
  format_.reset();
}

std::string NSDateFormatter::stringFromDate(const NSDate& date) const {
  const icu::Locale locale = userTimeLocale();
  if (!format_ || format_->locale != locale.getName()) {
    UErrorCode status = U_ZERO_ERROR;
    auto made = std::make_unique<Format>(
        Format{locale.getName(),
               icu::SimpleDateFormat(icu::UnicodeString::fromUTF8(pattern_), locale, status)});
    if (U_FAILURE(status)) return {};
    format_ = std::move(made);
  }
  // ICU caches its default zone; the host's zone is read afresh so TZ changes are seen.
  format_->format.adoptTimeZone(icu::TimeZone::detectHostTimeZone());
  const auto millis = duration_cast<milliseconds>(date.timePoint().time_since_epoch()).count();
  icu::UnicodeString text;
  format_->format.format(static_cast<UDate>(millis), text);
  std::string result;
  text.toUTF8String(result);
  return result;
}

}  // namespace platform
