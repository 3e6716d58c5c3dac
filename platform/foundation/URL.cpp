#include "platform/foundation/URL.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QUrl>
#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace platform {

namespace {

QUrl parsed(const std::string& text) {
  return QUrl(QString::fromStdString(text));
}

// RFC 3986's characters only, '%' only before two hex digits, at most one '#'. QUrl would take
// any Unicode and a second '#', and refuses hosts that are merely unreachable.
bool wellFormed(const std::string& text) {
  static const QByteArray Allowed = "-._~:/?[]@!$&'()*+,;=%#";
  const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && !Allowed.contains(c)) return false;
    if (c == '%' && (i + 2 >= text.size() || !hex(text[i + 1]) || !hex(text[i + 2]))) return false;
  }
  return std::count(text.begin(), text.end(), '#') <= 1;
}

// The decoded bytes of a URL's path, without a trailing '/' (except for "/").
std::string decodedPath(const QUrl& url) {
  std::string path =
      QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toUtf8()).toStdString();
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
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

}  // namespace

NSURL NSURL::fileURLWithPath(const std::string& path) {
  struct stat st {};
  return fileURLWithPath(path, stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

NSURL NSURL::fileURLWithPath(const std::string& path, bool isDirectory) {
  NSURL url;
  std::string p = absolutePath(path);
  if (isDirectory && (p.empty() || p.back() != '/')) p += '/';
  url.string_ =
      "file://" + QByteArray::fromStdString(p).toPercentEncoding("!$&'()*+,;=:@/").toStdString();
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
  if (!url || !url->scheme().empty()) return url;
  url->base_ = std::make_shared<const NSURL>(base);
  // Text that names no URL once resolved ("//host:port" with a port of letters) is none.
  if (!parsed(url->absoluteString()).isValid()) return std::nullopt;
  return url;
}

std::string NSURL::absoluteString() const {
  if (!base_) return string_;
  return parsed(base_->absoluteString())
      .resolved(parsed(string_))
      .toString(QUrl::FullyEncoded)
      .toStdString();
}

std::string NSURL::relativePath() const {
  return decodedPath(parsed(string_));
}

std::string NSURL::path() const {
  return decodedPath(parsed(absoluteString()));
}

std::string NSURL::scheme() const {
  return parsed(absoluteString()).scheme().toStdString();
}

std::optional<URLAuthoritySpan> authoritySpanOf(std::string_view address) {
  const size_t scheme = address.find("://");
  if (scheme == std::string_view::npos) return std::nullopt;
  URLAuthoritySpan span{.start = scheme + 3};
  span.end = std::min(address.find_first_of("/?#", span.start), address.size());
  const size_t at = address.rfind('@', span.end);
  span.hostStart = at != std::string_view::npos && at >= span.start ? at + 1 : span.start;
  // A colon inside an IPv6 literal's brackets is no port's.
  const bool literal = span.hostStart < span.end && address[span.hostStart] == '[';
  const size_t close = literal ? address.find(']', span.hostStart) : span.hostStart;
  span.hostEnd = std::min(address.find(':', close), span.end);
  return span;
}

}  // namespace platform
