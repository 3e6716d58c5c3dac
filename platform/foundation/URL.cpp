#include "platform/foundation/URL.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

bool allowedInPath(unsigned char c) {
  return std::isalnum(c) || std::strchr("-._~!$&'()*+,;=:@/", c);
}

std::string percentEncodePath(const std::string& path) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if (allowedInPath(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// RFC 3986: only these characters, '%' only before two hex digits, at most one '#'.
bool wellFormed(const std::string& text) {
  int fragments = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '%') {
      if (i + 2 >= text.size() || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0)
        return false;
    } else if (c == '#') {
      if (++fragments > 1) return false;
    } else if (!std::isalnum(c) && (c == '\0' || !std::strchr("-._~:/?[]@!$&'()*+,;=", c))) {
      return false;
    }
  }
  return true;
}

std::string schemeOf(const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == ':') return i ? s.substr(0, i) : std::string();
    if (!(std::isalpha(static_cast<unsigned char>(c)) ||
          (i && (std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'))))
      return {};
  }
  return {};
}

// A path as it names something from the working folder; "/" stands in for a working folder that
// no longer has a path.
std::string absolutePath(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  char* folder = getcwd(nullptr, 0);
  const std::string base = folder ? folder : "";
  std::free(folder);
  return base + "/" + path;
}

std::string pathPart(const std::string& s) {
  size_t start = 0;
  const std::string scheme = schemeOf(s);
  if (!scheme.empty()) start = scheme.size() + 1;
  if (s.compare(start, 2, "//") == 0) {
    start = s.find('/', start + 2);
    if (start == std::string::npos) return {};
  }
  const size_t end = s.find_first_of("?#", start);
  return s.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

NSURL NSURL::fileURLWithPath(const std::string& path) {
  struct stat st {};
  return fileURLWithPath(path, stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

NSURL NSURL::fileURLWithPath(const std::string& path, bool isDirectory) {
  NSURL url;
  std::string p = absolutePath(path);
  if (isDirectory && (p.empty() || p.back() != '/')) p += '/';
  url.string_ = "file://" + percentEncodePath(p);
  return url;
}

std::optional<NSURL> NSURL::URLWithString(const std::string& text) {
  if (!wellFormed(text)) return std::nullopt;
  NSURL url;
  url.string_ = text;
  return url;
}

std::optional<NSURL> NSURL::URLWithString(const std::string& text, const NSURL& base) {
  auto url = URLWithString(text);
  if (url && schemeOf(text).empty()) url->base_ = std::make_shared<const NSURL>(base);
  return url;
}

std::string NSURL::absoluteString() const {
  if (!base_) return string_;
  const std::string baseText = base_->absoluteString();
  const std::string scheme = schemeOf(baseText);
  size_t authorityEnd = scheme.size() + 1;
  const bool hasAuthority = baseText.compare(authorityEnd, 2, "//") == 0;
  if (hasAuthority) authorityEnd = std::min(baseText.find('/', authorityEnd + 2), baseText.size());
  if (!string_.empty() && string_[0] == '/') return baseText.substr(0, authorityEnd) + string_;
  // Against "http://host" the text is a path of its own, never part of the host.
  if (hasAuthority && authorityEnd == baseText.size()) return baseText + "/" + string_;
  const size_t slash = baseText.rfind('/');
  return (slash == std::string::npos ? baseText : baseText.substr(0, slash + 1)) + string_;
}

std::string NSURL::relativePath() const {
  std::string p = percentDecode(pathPart(string_));
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string NSURL::path() const {
  std::string p = percentDecode(pathPart(absoluteString()));
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

bool NSURL::isFileURL() const {
  return schemeOf(absoluteString()) == "file";
}

}  // namespace platform
