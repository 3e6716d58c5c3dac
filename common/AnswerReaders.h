// Readers of an upload answer's text, as custom uploader templates name them: a JSON path, an
// XPath expression, a regular expression in the format's own dialect. Each is checked when the
// template is read, so that a bad one is refused with the uploader file, not at the first upload.
// The libraries behind them (Qt's JSON, libxml2, PCRE2) stay in the .cpp.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace uploader {

// Why a template cannot be read or expanded, in words for the person who wrote it.
struct TemplateError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws TemplateError when the text is not UTF-8: JSON, XML and the regex read text, not bytes.
void requireUTF8(std::string_view text);

// A path into a JSON value: names and array indexes, as `files[0].url`, `$.data.link` or
// `['attachments'][0]['url']`. Wildcards, filters and recursive descent are refused.
class JsonPath {
 public:
  explicit JsonPath(std::string_view path);
  // The value there as text: a string as it is, a number or boolean in JSON's spelling, null as
  // empty text, an object or array as compact JSON.
  std::string valueIn(std::string_view json) const;

 private:
  std::string path_;
  std::vector<std::variant<std::string, size_t>> steps_;
};

// An XPath 1.0 expression; its value is the string value of what it selects.
class XPath {
 public:
  explicit XPath(std::string_view expression);
  std::string valueIn(std::string_view xml) const;

 private:
  std::string expression_;
  std::shared_ptr<void> compiled_;
};

// A regular expression of the format's dialect, on PCRE2: named groups, lookaround, Unicode
// classes. Groups are numbered as the dialect numbers them: the unnamed ones from the left first,
// then the named ones, so `(?<id>\d+)-(\w+)` has (\w+) as group 1 and id as group 2.
class Regex {
 public:
  explicit Regex(std::string_view pattern);
  // A group is "" (the whole match), a number or a name. Throws TemplateError when there is none.
  void requireGroup(const std::string& group) const;
  // The group's text in the first match; a group that took no part in it gives empty text.
  std::string groupIn(std::string_view text, const std::string& group) const;

 private:
  size_t dialectGroup(const std::string& group) const;

  std::string pattern_;
  std::shared_ptr<void> code_;
  // For each group number of the dialect, PCRE2's number of that group.
  std::vector<size_t> groupNumbers_;
};

}  // namespace uploader
