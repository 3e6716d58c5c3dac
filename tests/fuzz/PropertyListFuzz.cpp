// A preferences domain's file as the store reads it (XML or binary, libplist behind our reading of
// its nodes) and writes it back (always XML): any bytes give a value or the reason there is none,
// never both, and a dictionary read from a file is written out and read back the same, so that the
// store's next write keeps what the file held.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/foundation/PropertyList.h"
#include "tests/fuzz/FuzzSupport.h"

using fuzz_support::shown;
using platform::Value;

namespace {

// A date as XML holds it: the whole second it lies in, counted from 2001 in 32 bits.
std::int64_t writtenSeconds(platform::Date date) {
  using namespace std::chrono;
  constexpr std::int64_t kSince1970 = 978307200;
  const auto since2001 = floor<seconds>(date).time_since_epoch().count() - kSince1970;
  return std::clamp<std::int64_t>(since2001, INT32_MIN, INT32_MAX);
}

// Where the value read back differs from the one written ("" where nowhere). A NaN reads back
// as a NaN, and a date as XML holds it.
std::string difference(const Value& a, const Value& b, const std::string& at = "/") {
  const auto differs = [&] {
    return at + ": " + shown(a.description()) + " against " + shown(b.description());
  };
  if (a.type() != b.type()) return differs();
  if (a.type() == Value::Type::Real) {
    const double x = *a.real(), y = *b.real();
    return std::memcmp(&x, &y, sizeof x) == 0 || (std::isnan(x) && std::isnan(y)) ? "" : differs();
  }
  if (a.type() == Value::Type::Date)
    return writtenSeconds(*a.date()) == writtenSeconds(*b.date()) ? "" : differs();
  if (const auto* array = a.array()) {
    const auto& other = *b.array();
    if (array->size() != other.size()) return differs();
    for (std::size_t i = 0; i < array->size(); ++i)
      if (auto found = difference((*array)[i], other[i], at + std::to_string(i) + "/");
          !found.empty())
        return found;
    return "";
  }
  if (const auto* dictionary = a.dictionary()) {
    const auto& other = *b.dictionary();
    if (dictionary->size() != other.size()) return differs();
    for (auto it = dictionary->begin(), there = other.begin(); it != dictionary->end();
         ++it, ++there) {
      if (it->first != there->first)
        return at + ": key " + shown(it->first) + " against " + shown(there->first);
      if (auto found = difference(it->second, there->second, at + shown(it->first) + "/");
          !found.empty())
        return found;
    }
    return "";
  }
  return a == b ? "" : differs();
}

}  // namespace

FUZZ_TARGET(bytes) {
  std::string error;
  const auto value = platform::propertyListFromBytes(std::string(bytes), &error);
  fuzz_support::requireValueOrReason(value, error);
  if (!value || !value->isDictionary()) return;
  const std::string written = platform::xmlPropertyList(*value);
  std::string again;
  const auto reread = platform::propertyListFromBytes(written, &again);
  FUZZ_REQUIRE(reread.has_value(),
               "the XML written for a dictionary read from a file cannot be read back (" + again +
                   "): " + shown(written));
  const std::string differs = difference(*value, *reread);
  FUZZ_REQUIRE(differs.empty(), "a dictionary written out reads back otherwise at " + differs);
}
