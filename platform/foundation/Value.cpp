#include "platform/foundation/Value.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace platform {

bool Value::isNumber() const {
  return type() == Type::Integer || type() == Type::Real || type() == Type::Boolean;
}

const Array* Value::array() const {
  auto p = std::get_if<std::shared_ptr<const Array>>(&v_);
  return p ? p->get() : nullptr;
}

const Dictionary* Value::dictionary() const {
  auto p = std::get_if<std::shared_ptr<const Dictionary>>(&v_);
  return p ? p->get() : nullptr;
}

std::optional<std::int64_t> Value::integer() const {
  if (auto i = std::get_if<std::int64_t>(&v_)) return *i;
  if (auto d = std::get_if<double>(&v_)) return static_cast<std::int64_t>(*d);
  if (auto b = std::get_if<bool>(&v_)) return *b ? 1 : 0;
  return std::nullopt;
}

std::optional<double> Value::real() const {
  if (auto d = std::get_if<double>(&v_)) return *d;
  if (auto i = std::get_if<std::int64_t>(&v_)) return static_cast<double>(*i);
  if (auto b = std::get_if<bool>(&v_)) return *b ? 1.0 : 0.0;
  return std::nullopt;
}

std::optional<bool> Value::boolean() const {
  if (auto b = std::get_if<bool>(&v_)) return *b;
  return std::nullopt;
}

std::optional<Date> Value::date() const {
  if (auto d = std::get_if<Date>(&v_)) return *d;
  return std::nullopt;
}

bool Value::boolValue() const {
  if (auto b = std::get_if<bool>(&v_)) return *b;
  if (auto i = std::get_if<std::int64_t>(&v_)) return *i != 0;
  if (auto d = std::get_if<double>(&v_)) return *d != 0.0;
  if (auto s = std::get_if<std::string>(&v_)) {
    // Leading white space, then an optional sign and zeros are passed over: " -007" is YES.
    size_t i = s->find_first_not_of(" \t\n\v\f\r");
    if (i != std::string::npos && ((*s)[i] == '+' || (*s)[i] == '-')) ++i;
    i = s->find_first_not_of('0', i);
    if (i == std::string::npos) return false;
    const char c = (*s)[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
  }
  return false;
}

namespace {

bool needsQuotes(const std::string& s) {
  if (s.empty()) return true;
  for (unsigned char c : s)
    if (!std::isalnum(c) && c != '_' && c != '.' && c != '/' && c != '-' && c != ':') return true;
  return false;
}

std::string quoted(const std::string& s) {
  if (!needsQuotes(s)) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\')
      out += '\\', out += c;
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out + "\"";
}

}  // namespace

std::string Value::description(int indent) const {
  const std::string pad(static_cast<size_t>(indent) * 4, ' ');
  const std::string inner(static_cast<size_t>(indent + 1) * 4, ' ');
  switch (type()) {
    case Type::Null:
      return "(null)";
    case Type::String:
      return quoted(*string());
    case Type::Integer:
      return std::to_string(*integer());
    case Type::Real: {
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "%.17g", *real());
      return buffer;
    }
    case Type::Boolean:
      return *boolean() ? "1" : "0";
    case Type::Date: {
      const std::time_t t = std::chrono::system_clock::to_time_t(*date());
      std::tm utc{};
      gmtime_r(&t, &utc);
      char buffer[64];
      std::strftime(buffer, sizeof buffer, "\"%Y-%m-%d %H:%M:%S +0000\"", &utc);
      return buffer;
    }
    case Type::Data: {
      static const char* hex = "0123456789abcdef";
      std::string out = "<";
      const std::uint8_t* bytes = data()->bytes();
      for (size_t i = 0; i < data()->size(); ++i) {
        if (i && i % 4 == 0) out += ' ';
        out += hex[bytes[i] >> 4];
        out += hex[bytes[i] & 15];
      }
      return out + ">";
    }
    case Type::Array: {
      if (array()->empty()) return "(\n" + pad + ")";
      std::string out = "(\n";
      for (size_t i = 0; i < array()->size(); ++i)
        out += inner + (*array())[i].description(indent + 1) +
               (i + 1 < array()->size() ? ",\n" : "\n");
      return out + pad + ")";
    }
    case Type::Dictionary: {
      std::string out = "{\n";
      for (const auto& [key, value] : *dictionary())
        out += inner + quoted(key) + " = " + value.description(indent + 1) + ";\n";
      return out + pad + "}";
    }
  }
  return {};
}

bool Value::operator==(const Value& other) const {
  if (type() != other.type()) return false;
  if (auto a = array()) return *a == *other.array();
  if (auto d = dictionary()) return *d == *other.dictionary();
  return v_ == other.v_;
}

const Value* valueForKey(const Dictionary& dictionary, const std::string& key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : &it->second;
}

}  // namespace platform
