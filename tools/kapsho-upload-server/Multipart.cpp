#include "tools/kapsho-upload-server/Multipart.h"

#include <strings.h>

#include <algorithm>

namespace upload_server {

namespace {

constexpr std::string_view kFormData = "multipart/form-data";
constexpr std::string_view kCrLf = "\r\n";
constexpr std::size_t kMaxBoundary = 70;

bool sameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

// The value of the first parameter of this name in a header field's "; name=value" list, a quoted
// value unquoted; nullopt when there is none or its quotes never close.
std::optional<std::string> parameter(std::string_view field, std::string_view wanted) {
  std::size_t at = field.find(';');
  while (at < field.size()) {
    ++at;
    const std::size_t equals = field.find_first_of("=;", at);
    const std::string_view name =
        trimmed(field.substr(at, equals == std::string_view::npos ? equals : equals - at));
    if (equals == std::string_view::npos) return std::nullopt;
    at = equals + 1;
    if (field[equals] == ';') {
      at = equals;
      continue;
    }
    while (at < field.size() && isBlank(field[at])) ++at;
    std::string value;
    if (at < field.size() && field[at] == '"') {
      for (++at; at < field.size() && field[at] != '"'; ++at) {
        if (field[at] == '\\' && at + 1 < field.size()) ++at;
        value += field[at];
      }
      if (at >= field.size()) return std::nullopt;
      at = field.find(';', at);
    } else {
      const std::size_t end = field.find(';', at);
      value = trimmed(field.substr(at, end == std::string_view::npos ? end : end - at));
      at = end;
    }
    if (sameText(name, wanted)) return value;
  }
  return std::nullopt;
}

// The name parameter of a part's Content-Disposition among its header lines, or "".
std::string partName(std::string_view headers) {
  constexpr std::string_view kDisposition = "content-disposition";
  while (!headers.empty()) {
    const std::size_t end = std::min(headers.find(kCrLf), headers.size());
    const std::string_view line = headers.substr(0, end);
    headers.remove_prefix(std::min(end + kCrLf.size(), headers.size()));
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && sameText(trimmed(line.substr(0, colon)), kDisposition))
      return parameter(line.substr(colon + 1), "name").value_or("");
  }
  return {};
}

}  // namespace

FormType formTypeOf(std::string_view contentType) {
  FormType type;
  type.isFormData = sameText(trimmed(contentType.substr(0, contentType.find(';'))), kFormData);
  if (!type.isFormData) return type;
  auto boundary = parameter(contentType, "boundary");
  if (boundary && !boundary->empty() && boundary->size() <= kMaxBoundary)
    type.boundary = std::move(boundary);
  return type;
}

MultipartReader::MultipartReader(const std::string& boundary, PartSink& sink)
    // A boundary right at the start of the body has no line break before it: one is supposed.
    : delimiter_("\r\n--" + boundary), sink_(sink), pending_(kCrLf) {}

bool MultipartReader::read(const char* data, std::size_t size) {
  if (state_ == State::Failed) return false;
  if (state_ == State::Epilogue) return true;
  pending_.append(data, size);
  while (step()) {
  }
  return state_ != State::Failed;
}

bool MultipartReader::step() {
  switch (state_) {
    case State::Preamble:
      return skipPreamble();
    case State::AfterBoundary:
      return readBoundaryEnd();
    case State::Headers:
      return readHeaders();
    case State::Body:
      return readBody();
    case State::Epilogue:
    case State::Failed:
      break;
  }
  return false;
}

bool MultipartReader::skipPreamble() {
  const std::size_t found = pending_.find(delimiter_);
  if (found == std::string::npos) {
    pending_.erase(0, pending_.size() - std::min(pending_.size(), delimiter_.size() - 1));
    return false;
  }
  pending_.erase(0, found + delimiter_.size());
  state_ = State::AfterBoundary;
  return true;
}

// After a boundary: "--" closes the body; else blanks may pad the line up to its line break.
bool MultipartReader::readBoundaryEnd() {
  if (pending_.size() < 2) return false;
  if (pending_.starts_with("--")) {
    state_ = State::Epilogue;
    pending_.clear();
    return false;
  }
  const std::size_t end = pending_.find_first_not_of(" \t");
  if (end == std::string::npos || end + 1 >= pending_.size())
    return pending_.size() > kMaxPartHeader ? fail() : false;
  if (pending_.compare(end, kCrLf.size(), kCrLf) != 0) return fail();
  pending_.erase(0, end + kCrLf.size());
  state_ = State::Headers;
  return true;
}

bool MultipartReader::readHeaders() {
  // A part may have no header lines at all: its blank line follows the boundary's at once.
  const std::size_t end = pending_.starts_with(kCrLf) ? 0 : pending_.find("\r\n\r\n");
  if (end == std::string::npos || end > kMaxPartHeader)
    return pending_.size() > kMaxPartHeader ? fail() : false;
  const std::string name = partName(std::string_view(pending_).substr(0, end));
  pending_.erase(0, end == 0 ? kCrLf.size() : end + 2 * kCrLf.size());
  state_ = State::Body;
  return sink_.partBegins(name) || fail();
}

bool MultipartReader::readBody() {
  const std::size_t found = pending_.find(delimiter_);
  // Without a boundary, the last bytes may be the start of one: they wait for what follows.
  const std::size_t ready =
      found != std::string::npos
          ? found
          : pending_.size() - std::min(pending_.size(), delimiter_.size() - 1);
  if (ready > 0 && !sink_.partBytes(pending_.data(), ready)) return fail();
  if (found == std::string::npos) {
    pending_.erase(0, ready);
    return false;
  }
  pending_.erase(0, found + delimiter_.size());
  state_ = State::AfterBoundary;
  return true;
}

bool MultipartReader::fail() {
  state_ = State::Failed;
  pending_.clear();
  pending_.shrink_to_fit();
  return false;
}

}  // namespace upload_server
