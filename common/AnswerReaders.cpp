// The answer readers on Qt's JSON, libxml2's XPath and PCRE2.
#include "common/AnswerReaders.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>
#include <pcre2.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QStringDecoder>
#include <algorithm>
#include <climits>
#include <cmath>
#include <map>
#include <mutex>

namespace uploader {

namespace {

// How much work one regex may do on one answer before it is stopped (a pattern that backtracks
// without end must not hang the agent).
constexpr uint32_t RegexMatchLimit = 1'000'000;
constexpr uint32_t RegexDepthLimit = 10'000;

template <auto Free>
struct Deleter {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};

// libxml2 reports errors through a handler of the thread; this one keeps the first message
// instead of printing it, for as long as it lives.
class XmlErrors {
 public:
  XmlErrors() {
    static std::once_flag initialized;
    std::call_once(initialized, xmlInitParser);
    xmlSetStructuredErrorFunc(this, &XmlErrors::keep);
  }
  ~XmlErrors() { xmlSetStructuredErrorFunc(nullptr, nullptr); }
  XmlErrors(const XmlErrors&) = delete;
  XmlErrors& operator=(const XmlErrors&) = delete;
  std::string message() const { return message_.empty() ? "unknown error" : message_; }

 private:
  static void keep(void* self, xmlErrorPtr error) {
    auto& message = static_cast<XmlErrors*>(self)->message_;
    if (!message.empty() || !error || !error->message) return;
    message = error->message;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
      message.pop_back();
  }
  std::string message_;
};

std::string jsonText(const QJsonValue& value) {
  switch (value.type()) {
    case QJsonValue::String:
      return value.toString().toStdString();
    case QJsonValue::Bool:
      return value.toBool() ? "true" : "false";
    case QJsonValue::Double: {
      const double number = value.toDouble();
      if (std::floor(number) == number && std::fabs(number) < 1e15)
        return std::to_string(static_cast<long long>(number));
      return QString::number(number, 'g', QLocale::FloatingPointShortest).toStdString();
    }
    case QJsonValue::Array:
      return QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact).toStdString();
    case QJsonValue::Object:
      return QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact).toStdString();
    default:
      return {};
  }
}

bool allDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

pcre2_code* code(const std::shared_ptr<void>& code) {
  return static_cast<pcre2_code*>(code.get());
}

std::string pcreMessage(int error) {
  PCRE2_UCHAR buffer[256];
  pcre2_get_error_message(error, buffer, sizeof buffer);
  return reinterpret_cast<const char*>(buffer);
}

}  // namespace

void requireUTF8(std::string_view text) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString decoded = decoder.decode(QByteArrayView(text.data(), qsizetype(text.size())));
  if (decoder.hasError()) throw TemplateError("the answer is not UTF-8 text");
}

JsonPath::JsonPath(std::string_view path) : path_(path) {
  const auto refuse = [&](const std::string& why) {
    throw TemplateError("JSON path '" + path_ + "': " + why);
  };
  if (path.empty() || path == "$") refuse("the path is empty");
  const auto name = [&](size_t from) {
    const size_t end = std::min(path.find_first_of(".[", from), path.size());
    const std::string_view text = path.substr(from, end - from);
    if (text.empty()) refuse("a name is missing");
    if (text == "*") refuse("wildcards are not supported");
    steps_.emplace_back(std::string(text));
    return end;
  };
  size_t i = path[0] == '$' ? 1 : path[0] == '[' ? 0 : name(0);
  while (i < path.size()) {
    if (path[i] == '.') {
      if (i + 1 < path.size() && path[i + 1] == '.') refuse("recursive descent is not supported");
      i = name(i + 1);
      continue;
    }
    if (path[i] != '[') refuse(std::string("unexpected '") + path[i] + "'");
    const size_t close = path.find(']', i);
    if (close == std::string_view::npos) refuse("'[' is not closed");
    const std::string_view inside = path.substr(i + 1, close - i - 1);
    if (inside.size() >= 2 && (inside[0] == '\'' || inside[0] == '"') && inside.back() == inside[0])
      steps_.emplace_back(std::string(inside.substr(1, inside.size() - 2)));
    else if (allDigits(inside) && inside.size() <= 9)
      steps_.emplace_back(static_cast<size_t>(std::stoul(std::string(inside))));
    else
      refuse("'[" + std::string(inside) + "]' is not an index or a quoted name");
    i = close + 1;
  }
}

std::string JsonPath::valueIn(std::string_view json) const {
  requireUTF8(json);
  QJsonParseError error;
  const QJsonDocument document =
      QJsonDocument::fromJson(QByteArray(json.data(), qsizetype(json.size())), &error);
  if (error.error != QJsonParseError::NoError)
    throw TemplateError("the answer is not JSON: " + error.errorString().toStdString() +
                        " at offset " + std::to_string(error.offset));
  QJsonValue value = document.isArray() ? QJsonValue(document.array()) : document.object();
  for (const auto& step : steps_) {
    if (const auto* key = std::get_if<std::string>(&step)) {
      const QString name = QString::fromStdString(*key);
      value = value.isObject() && value.toObject().contains(name) ? value.toObject().value(name)
                                                                  : QJsonValue::Undefined;
    } else {
      const auto index = qsizetype(std::get<size_t>(step));
      value = value.isArray() && index < value.toArray().size() ? value.toArray().at(index)
                                                                : QJsonValue::Undefined;
    }
    if (value.isUndefined()) throw TemplateError("the answer's JSON has no " + path_);
  }
  return jsonText(value);
}

XPath::XPath(std::string_view expression) : expression_(expression) {
  XmlErrors errors;
  xmlXPathCompExprPtr compiled =
      expression_.find('\0') == std::string::npos
          ? xmlXPathCompile(reinterpret_cast<const xmlChar*>(expression_.c_str()))
          : nullptr;
  if (!compiled) throw TemplateError("XPath '" + expression_ + "': " + errors.message());
  compiled_.reset(compiled,
                  [](void* p) { xmlXPathFreeCompExpr(static_cast<xmlXPathCompExprPtr>(p)); });
}

std::string XPath::valueIn(std::string_view xml) const {
  requireUTF8(xml);
  XmlErrors errors;
  // No network, no DTD: an answer's XML names nothing outside itself.
  std::unique_ptr<xmlDoc, Deleter<xmlFreeDoc>> document(
      xml.size() > INT_MAX
          ? nullptr
          : xmlReadMemory(xml.data(), int(xml.size()), nullptr, "UTF-8",
                          XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (!document) throw TemplateError("the answer is not XML: " + errors.message());
  if (document->intSubset) throw TemplateError("the answer's XML declares a document type");
  std::unique_ptr<xmlXPathContext, Deleter<xmlXPathFreeContext>> context(
      xmlXPathNewContext(document.get()));
  std::unique_ptr<xmlXPathObject, Deleter<xmlXPathFreeObject>> result(
      context
          ? xmlXPathCompiledEval(static_cast<xmlXPathCompExprPtr>(compiled_.get()), context.get())
          : nullptr);
  if (!result) throw TemplateError("XPath '" + expression_ + "' failed: " + errors.message());
  if (result->type == XPATH_NODESET && xmlXPathNodeSetIsEmpty(result->nodesetval))
    throw TemplateError("the answer's XML has nothing at " + expression_);
  xmlChar* text = xmlXPathCastToString(result.get());
  std::string value = text ? reinterpret_cast<const char*>(text) : "";
  xmlFree(text);
  return value;
}

Regex::Regex(std::string_view pattern) : pattern_(pattern) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* compiled =
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                    PCRE2_UTF | PCRE2_UCP | PCRE2_DUPNAMES, &error, &offset, nullptr);
  if (!compiled)
    throw TemplateError("regex '" + pattern_ + "': " + pcreMessage(error) + " at offset " +
                        std::to_string(offset));
  code_.reset(compiled, [](void* p) { pcre2_code_free(static_cast<pcre2_code*>(p)); });

  uint32_t count = 0, names = 0, entrySize = 0;
  PCRE2_SPTR table = nullptr;
  pcre2_pattern_info(compiled, PCRE2_INFO_CAPTURECOUNT, &count);
  pcre2_pattern_info(compiled, PCRE2_INFO_NAMECOUNT, &names);
  pcre2_pattern_info(compiled, PCRE2_INFO_NAMEENTRYSIZE, &entrySize);
  pcre2_pattern_info(compiled, PCRE2_INFO_NAMETABLE, &table);
  // A name used twice is one group of the dialect, counted where it first appears.
  std::map<std::string, size_t> firstOfName;
  std::vector<bool> named(count + 1);
  for (uint32_t i = 0; i < names; ++i, table += entrySize) {
    const size_t number = size_t(table[0]) << 8 | table[1];
    named[number] = true;
    auto [it, added] = firstOfName.emplace(reinterpret_cast<const char*>(table + 2), number);
    if (!added) it->second = std::min(it->second, number);
  }
  groupNumbers_.push_back(0);
  for (size_t number = 1; number <= count; ++number)
    if (!named[number]) groupNumbers_.push_back(number);
  std::vector<size_t> namedGroups;
  for (const auto& [name, number] : firstOfName) namedGroups.push_back(number);
  std::sort(namedGroups.begin(), namedGroups.end());
  groupNumbers_.insert(groupNumbers_.end(), namedGroups.begin(), namedGroups.end());
}

size_t Regex::dialectGroup(const std::string& group) const {
  if (group.empty()) return 0;
  if (allDigits(group) && group.size() <= 9 && std::stoul(group) < groupNumbers_.size())
    return groupNumbers_[std::stoul(group)];
  if (!allDigits(group) &&
      pcre2_substring_nametable_scan(code(code_), reinterpret_cast<PCRE2_SPTR>(group.c_str()),
                                     nullptr, nullptr) != PCRE2_ERROR_NOSUBSTRING)
    return SIZE_MAX;
  throw TemplateError("regex '" + pattern_ + "' has no group " + group);
}

void Regex::requireGroup(const std::string& group) const {
  dialectGroup(group);
}

std::string Regex::groupIn(std::string_view text, const std::string& group) const {
  requireUTF8(text);
  const size_t number = dialectGroup(group);
  std::unique_ptr<pcre2_match_data, Deleter<pcre2_match_data_free>> match(
      pcre2_match_data_create_from_pattern(code(code_), nullptr));
  std::unique_ptr<pcre2_match_context, Deleter<pcre2_match_context_free>> limits(
      pcre2_match_context_create(nullptr));
  pcre2_set_match_limit(limits.get(), RegexMatchLimit);
  pcre2_set_depth_limit(limits.get(), RegexDepthLimit);
  const int found = pcre2_match(code(code_), reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                                0, 0, match.get(), limits.get());
  if (found == PCRE2_ERROR_NOMATCH)
    throw TemplateError("regex '" + pattern_ + "' matches nothing in the answer");
  if (found == PCRE2_ERROR_MATCHLIMIT || found == PCRE2_ERROR_DEPTHLIMIT ||
      found == PCRE2_ERROR_HEAPLIMIT)
    throw TemplateError("regex '" + pattern_ + "' took too long on the answer");
  if (found < 0) throw TemplateError("regex '" + pattern_ + "' failed: " + pcreMessage(found));
  PCRE2_UCHAR* value = nullptr;
  PCRE2_SIZE length = 0;
  const int got =
      number == SIZE_MAX
          ? pcre2_substring_get_byname(match.get(), reinterpret_cast<PCRE2_SPTR>(group.c_str()),
                                       &value, &length)
          : pcre2_substring_get_bynumber(match.get(), uint32_t(number), &value, &length);
  if (got < 0) return {};
  std::string result(reinterpret_cast<const char*>(value), length);
  pcre2_substring_free(value);
  return result;
}

}  // namespace uploader
