// The classic text form of strings tables: "key" = "value"; with comments and escapes.
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <climits>
#include <cstdint>
#include <string>

#include "platform/foundation/PropertyList.h"

namespace platform {

namespace {

// The UTF-8 form of one code point below U+110000 that is no surrogate.
void appendUtf8(std::string& out, std::uint32_t cp) {
  char bytes[U8_MAX_LENGTH];
  std::size_t length = 0;
  U8_APPEND_UNSAFE(bytes, length, static_cast<UChar32>(cp));
  out.append(bytes, length);
}

bool isHighSurrogate(std::uint32_t u) {
  return U16_IS_LEAD(u);
}
bool isLowSurrogate(std::uint32_t u) {
  return U16_IS_TRAIL(u);
}

// The text after the byte-order mark as UTF-8; ICU refuses unpaired surrogates.
bool decodeUtf16(const std::string& bytes, bool bigEndian, std::string& out, std::string& error) {
  if (bytes.size() % 2) {
    error = "UTF-16 text of odd length";
    return false;
  }
  std::u16string units;
  for (std::size_t i = 2; i < bytes.size(); i += 2) {
    const auto a = static_cast<unsigned char>(bytes[i]);
    const auto b = static_cast<unsigned char>(bytes[i + 1]);
    units += static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
  }
  // A UTF-16 unit takes at most three bytes in UTF-8.
  if (units.size() > INT32_MAX / 3) {
    error = "UTF-16 text too long";
    return false;
  }
  out.resize(units.size() * 3);
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &length, units.data(),
              static_cast<int32_t>(units.size()), &status);
  if (U_FAILURE(status)) {
    error = "unpaired surrogate in UTF-16 text";
    return false;
  }
  out.resize(static_cast<std::size_t>(length));
  return true;
}

// Well-formed UTF-8 as ICU reads it strictly: no overlong forms, no surrogates, nothing past
// U+10FFFF.
bool validUtf8(const std::string& s) {
  if (s.size() > INT32_MAX) return false;
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(nullptr, 0, &length, s.data(), static_cast<int32_t>(s.size()), &status);
  return status != U_INVALID_CHAR_FOUND;
}

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  std::optional<Dictionary> parse(std::string& error) {
    Dictionary table;
    skipSpace();
    const bool braced = peek() == '{';
    if (braced) ++i_;
    bool closed = false;
    while (ok_) {
      skipSpace();
      if (atEnd()) break;
      if (braced && peek() == '}') {
        ++i_;
        closed = true;
        skipSpace();
        if (!atEnd()) fail("text after the closing brace");
        break;
      }
      parseEntry(table);
    }
    if (ok_ && braced && !closed) fail("missing closing brace");
    if (!ok_) {
      error = error_;
      return std::nullopt;
    }
    return table;
  }

 private:
  bool atEnd() const { return i_ >= s_.size(); }
  char peek() const { return atEnd() ? '\0' : s_[i_]; }

  void fail(const std::string& what) {
    if (!ok_) return;
    ok_ = false;
    int line = 1;
    for (size_t k = 0; k < i_ && k < s_.size(); ++k) line += s_[k] == '\n';
    error_ = "line " + std::to_string(line) + ": " + what;
  }

  void skipSpace() {
    while (!atEnd()) {
      const char c = peek();
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        ++i_;
      } else if (s_.compare(i_, 2, "//") == 0) {
        while (!atEnd() && peek() != '\n') ++i_;
      } else if (s_.compare(i_, 2, "/*") == 0) {
        const size_t end = s_.find("*/", i_ + 2);
        if (end == std::string::npos) {
          fail("unterminated comment");
          i_ = s_.size();
          return;
        }
        i_ = end + 2;
      } else {
        return;
      }
    }
  }

  void parseEntry(Dictionary& table) {
    std::string key = token();
    if (!ok_) return;
    skipSpace();
    std::string value = key;
    if (peek() == '=') {
      ++i_;
      skipSpace();
      value = token();
      if (!ok_) return;
      skipSpace();
    }
    if (peek() != ';') return fail("expected ';'");
    ++i_;
    table.insert_or_assign(std::move(key), Value(std::move(value)));
  }

  static bool unquotedChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c == '+' || c == '/' || c == ':' || c == '.' || c == '-';
  }

  std::string token() {
    if (peek() == '"') return quotedString();
    std::string out;
    while (!atEnd() && unquotedChar(peek())) out += s_[i_++];
    if (out.empty()) fail(atEnd() ? "unexpected end of text" : "unexpected character");
    return out;
  }

  int hexDigit(char c) const {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  std::optional<std::uint32_t> hexUnit() {
    std::uint32_t u = 0;
    for (int k = 0; k < 4; ++k) {
      const int d = atEnd() ? -1 : hexDigit(s_[i_]);
      if (d < 0) return std::nullopt;
      u = u * 16 + static_cast<std::uint32_t>(d);
      ++i_;
    }
    return u;
  }

  void unicodeEscape(std::string& out) {
    auto u = hexUnit();
    if (!u) return fail("bad \\U escape");
    if (isHighSurrogate(*u)) {
      if (s_.compare(i_, 2, "\\U") != 0 && s_.compare(i_, 2, "\\u") != 0)
        return fail("unpaired surrogate escape");
      i_ += 2;
      auto low = hexUnit();
      if (!low || !isLowSurrogate(*low)) return fail("unpaired surrogate escape");
      *u = 0x10000 + ((*u - 0xD800) << 10) + (*low - 0xDC00);
    } else if (isLowSurrogate(*u)) {
      return fail("unpaired surrogate escape");
    }
    appendUtf8(out, *u);
  }

  void escape(std::string& out) {
    if (atEnd()) return fail("unterminated string");
    const char c = s_[i_++];
    switch (c) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case 'a':
        out += '\a';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'v':
        out += '\v';
        break;
      case 'U':
      case 'u':
        unicodeEscape(out);
        break;
      default:
        if (c >= '0' && c <= '7') {
          std::uint32_t v = static_cast<std::uint32_t>(c - '0');
          for (int k = 0; k < 2 && !atEnd() && s_[i_] >= '0' && s_[i_] <= '7'; ++k)
            v = v * 8 + static_cast<std::uint32_t>(s_[i_++] - '0');
          appendUtf8(out, v);
        } else {
          out += c;  // \" \\ \' and any other character stand for themselves
        }
    }
  }

  std::string quotedString() {
    ++i_;
    std::string out;
    while (ok_) {
      if (atEnd()) {
        fail("unterminated string");
        break;
      }
      const char c = s_[i_++];
      if (c == '"') break;
      if (c == '\\')
        escape(out);
      else
        out += c;
    }
    return out;
  }

  const std::string& s_;
  size_t i_ = 0;
  bool ok_ = true;
  std::string error_;
};

}  // namespace

std::optional<Dictionary> stringsTableFromText(const std::string& bytes, std::string* error) {
  std::string text, reason;
  const auto b0 = bytes.size() > 1 ? static_cast<unsigned char>(bytes[0]) : 0;
  const auto b1 = bytes.size() > 1 ? static_cast<unsigned char>(bytes[1]) : 0;
  if ((b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF)) {
    if (!decodeUtf16(bytes, b0 == 0xFE, text, reason)) {
      if (error) *error = reason;
      return std::nullopt;
    }
  } else {
    text = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? bytes.substr(3) : bytes;
    if (!validUtf8(text)) {
      if (error) *error = "text is neither UTF-8 nor UTF-16 with a byte-order mark";
      return std::nullopt;
    }
  }
  auto table = Parser(text).parse(reason);
  if (!table && error) *error = reason;
  return table;
}

}  // namespace platform
