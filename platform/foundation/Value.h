// Property-list values: strings, integers, reals, booleans, dates, data, arrays, dictionaries.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/Data.h"

namespace platform {

class Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value>;
using Date = std::chrono::system_clock::time_point;

class Value {
 public:
  enum class Type { Null, String, Integer, Real, Boolean, Date, Data, Array, Dictionary };

  Value() = default;
  Value(std::string s) : v_(std::move(s)) {}    // NOLINT: values convert implicitly, as in a plist
  Value(const char* s) : v_(std::string(s)) {}  // NOLINT
  Value(std::int64_t i) : v_(i) {}              // NOLINT
  Value(int i) : v_(static_cast<std::int64_t>(i)) {}                       // NOLINT
  Value(double d) : v_(d) {}                                               // NOLINT
  Value(bool b) : v_(b) {}                                                 // NOLINT
  Value(Date d) : v_(d) {}                                                 // NOLINT
  Value(Data d) : v_(std::move(d)) {}                                      // NOLINT
  Value(Array a) : v_(std::make_shared<Array>(std::move(a))) {}            // NOLINT
  Value(Dictionary d) : v_(std::make_shared<Dictionary>(std::move(d))) {}  // NOLINT

  Type type() const { return static_cast<Type>(v_.index()); }
  bool isNull() const { return type() == Type::Null; }
  bool isString() const { return type() == Type::String; }
  bool isArray() const { return type() == Type::Array; }
  bool isDictionary() const { return type() == Type::Dictionary; }
  bool isNumber() const;

  // Typed access: nullptr when the value is of another type.
  const std::string* string() const { return std::get_if<std::string>(&v_); }
  const Array* array() const;
  const Dictionary* dictionary() const;
  const Data* data() const { return std::get_if<Data>(&v_); }
  std::optional<std::int64_t> integer() const;
  std::optional<double> real() const;
  std::optional<bool> boolean() const;
  std::optional<Date> date() const;

  // boolValue as the platform reads it: numbers are true when non-zero; strings when, after
  // leading white space, an optional sign and any zeros, they go on with Y, y, T, t or a digit
  // 1-9 ("yes", "+1", " -007"); everything else is false.
  bool boolValue() const;

  // The readable old-style text of the value, as the defaults command prints it.
  std::string description(int indent = 0) const;

  bool operator==(const Value& other) const;

 private:
  std::variant<std::monostate, std::string, std::int64_t, double, bool, Date, Data,
               std::shared_ptr<const Array>, std::shared_ptr<const Dictionary>>
      v_;
};

// A dictionary entry, or nullptr when absent.
const Value* valueForKey(const Dictionary& dictionary, const std::string& key);

}  // namespace platform
