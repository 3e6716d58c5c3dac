#include "platform/foundation/Format.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace platform {

namespace {

std::string text(const FormatArg& arg) {
  const auto& v = arg.value();
  if (auto s = std::get_if<std::string>(&v)) return *s;
  if (auto i = std::get_if<long long>(&v)) return std::to_string(*i);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%g", std::get<double>(v));
  return buffer;
}

std::string integer(const FormatArg& arg) {
  const auto& v = arg.value();
  if (auto i = std::get_if<long long>(&v)) return std::to_string(*i);
  if (auto d = std::get_if<double>(&v)) return std::to_string(static_cast<long long>(*d));
  return std::get<std::string>(v);
}

std::string character(const FormatArg& arg) {
  const auto& v = arg.value();
  if (auto i = std::get_if<long long>(&v)) return std::string(1, static_cast<char>(*i));
  return text(arg);
}

}  // namespace

std::string formatv(std::string_view format, const std::vector<FormatArg>& args) {
  std::string out;
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 == format.size()) {
      out += format[i];
      continue;
    }
    size_t spec = i + 1;
    // "%2$@" takes the second argument wherever it stands, as localized formats reorder them.
    std::optional<size_t> position;
    size_t digits = spec, number = 0;
    for (; digits < format.size() && format[digits] >= '0' && format[digits] <= '9'; ++digits)
      number = std::min<size_t>(number * 10 + (format[digits] - '0'), args.size() + 1);
    if (digits > spec && digits < format.size() && format[digits] == '$') {
      position = number - 1;  // "%0$@" wraps past every argument and stays as written
      spec = digits + 1;
    }
    bool isLong = false;
    while (spec < format.size() && format[spec] == 'l') {
      isLong = true;
      ++spec;
    }
    if (spec == format.size()) {
      out += format.substr(i);
      break;
    }
    const char conversion = format[spec];
    if (conversion == '%' && !isLong) {
      out += '%';
      i = spec;
      continue;
    }
    const bool known = conversion == '@' || conversion == 'd' || conversion == 'i' ||
                       conversion == 'c' || conversion == 's' || conversion == 'u';
    const size_t index = position.value_or(next);
    if (!known || index >= args.size()) {
      out += format.substr(i, spec - i + 1);
      i = spec;
      continue;
    }
    if (!position) ++next;
    const FormatArg& arg = args[index];
    if (conversion == 'c')
      out += character(arg);
    else if (conversion == 'd' || conversion == 'i' || conversion == 'u')
      out += integer(arg);
    else
      out += text(arg);
    i = spec;
  }
  return out;
}

}  // namespace platform
