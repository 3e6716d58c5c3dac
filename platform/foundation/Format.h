// Text formatting with the platform's placeholders: %@ an object's text, %d and %i a decimal
// integer, %ld a long, %c one character, %s a C string, %% a percent sign; "%2$@" names its
// argument by position.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

// One argument of a format, captured as the placeholders need it.
class FormatArg {
 public:
  template <std::integral T>
  FormatArg(T value) : value_(static_cast<long long>(value)) {}  // NOLINT: implicit by design
  FormatArg(double value) : value_(value) {}                     // NOLINT
  FormatArg(const char* text) : value_(std::string(text ? text : "(null)")) {}  // NOLINT
  FormatArg(std::string text) : value_(std::move(text)) {}                      // NOLINT
  FormatArg(std::string_view text) : value_(std::string(text)) {}               // NOLINT
  // Any object with a description() gives its text to %@.
  template <typename T>
  requires requires(const T& t) {
    { t.description() } -> std::convertible_to<std::string>;
  }
  FormatArg(const T& object) : value_(std::string(object.description())) {}  // NOLINT

  const std::variant<long long, double, std::string>& value() const { return value_; }

 private:
  std::variant<long long, double, std::string> value_;
};

std::string formatv(std::string_view format, const std::vector<FormatArg>& args);

// stringWithFormat: a placeholder without a matching argument is written as it stands.
template <typename... Args>
std::string stringWithFormat(std::string_view format, const Args&... args) {
  return formatv(format, std::vector<FormatArg>{FormatArg(args)...});
}

}  // namespace platform
