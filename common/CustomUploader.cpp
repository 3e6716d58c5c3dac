// Reading a custom uploader file: each field's type and value, checked in the file's order of
// importance, the first fault refusing the file.
#include "common/CustomUploader.h"

#include <strings.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QUrl>
#include <algorithm>

#include "common/CustomUploaderDefinition.h"
#include "platform/foundation/FileIO.h"

using uploader::Regex;
using uploader::Syntax;
using uploader::Template;
using uploader::TemplateError;

namespace {

// A field at fault, and why.
struct FieldError {
  std::string field, reason;
};

// Versions from this one on write templates as {name:...}; older ones as $name:...$.
constexpr int BracesVersion = 14;

const std::vector<std::string> TemplateFields = {"RequestURL",  "Parameters",  "Headers",
                                                 "Arguments",   "URL",         "ThumbnailURL",
                                                 "DeletionURL", "ErrorMessage"};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The fields of the file's object, each read as the type it must have.
class Fields {
 public:
  explicit Fields(QJsonObject object) : object_(std::move(object)) {}

  // Absent and null read as empty text, as the format's own files write nothing for them.
  std::string text(const std::string& field) const {
    const QJsonValue value = object_.value(QString::fromStdString(field));
    if (value.isUndefined() || value.isNull()) return {};
    if (!value.isString()) throw FieldError{field, "expected a string"};
    return value.toString().toStdString();
  }
  bool has(const std::string& field) const {
    const QJsonValue value = object_.value(QString::fromStdString(field));
    return !value.isUndefined() && !value.isNull();
  }
  // An object of texts; numbers and booleans read as their JSON spelling.
  std::vector<std::pair<std::string, std::string>> texts(const std::string& field) const {
    const QJsonValue value = object_.value(QString::fromStdString(field));
    if (value.isUndefined() || value.isNull()) return {};
    if (!value.isObject()) throw FieldError{field, "expected an object"};
    std::vector<std::pair<std::string, std::string>> pairs;
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
      const std::string key = it.key().toStdString();
      const QJsonValue item = it.value();
      if (item.isObject() || item.isArray())
        throw FieldError{field + "." + key, "expected a string"};
      const std::string text =
          item.isString() ? item.toString().toStdString()
          : item.isBool() ? (item.toBool() ? "true" : "false")
          : item.isDouble()
              ? QString::number(item.toDouble(), 'g', QLocale::FloatingPointShortest).toStdString()
              : std::string();
      pairs.emplace_back(key, text);
    }
    return pairs;
  }
  std::vector<std::string> list(const std::string& field) const {
    const QJsonValue value = object_.value(QString::fromStdString(field));
    if (value.isUndefined() || value.isNull()) return {};
    if (!value.isArray()) throw FieldError{field, "expected an array"};
    std::vector<std::string> items;
    const QJsonArray array = value.toArray();
    for (qsizetype i = 0; i < array.size(); ++i) {
      if (!array.at(i).isString())
        throw FieldError{field + "[" + std::to_string(i + 1) + "]", "expected a string"};
      items.push_back(array.at(i).toString().toStdString());
    }
    return items;
  }
  // Every text of the fields that hold templates.
  std::vector<std::string> templateTexts() const {
    std::vector<std::string> texts;
    for (const auto& field : TemplateFields) {
      const QJsonValue value = object_.value(QString::fromStdString(field));
      if (value.isString()) texts.push_back(value.toString().toStdString());
      const QJsonObject object = value.toObject();
      for (auto it = object.begin(); it != object.end(); ++it)
        texts.push_back(it.value().toString().toStdString());
    }
    return texts;
  }

 private:
  QJsonObject object_;
};

Syntax syntaxOf(const Fields& fields) {
  const std::string version = fields.text("Version");
  if (!version.empty()) {
    const size_t digits = version.find_first_not_of("0123456789");
    if (digits == 0 || digits > 6) throw FieldError{"Version", "expected a version such as 14.0.0"};
    return std::stoi(version.substr(0, digits)) >= BracesVersion ? Syntax::Braces : Syntax::Dollars;
  }
  // Without a version, the calls the file holds tell its syntax; the older one comes first, as
  // most files in circulation are written in it.
  const auto texts = fields.templateTexts();
  const auto holds = [&](Syntax syntax) {
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& text) {
      return Template::looksLikeCalls(text, syntax);
    });
  };
  return holds(Syntax::Dollars) || !holds(Syntax::Braces) ? Syntax::Dollars : Syntax::Braces;
}

// The kinds of uploader the file is for; one that takes no images is of no use to the agent.
void requireImages(const Fields& fields) {
  const std::string types = fields.text("DestinationType");
  bool some = false, images = false;
  size_t from = 0;
  while (from <= types.size() && !types.empty()) {
    const size_t comma = std::min(types.find(',', from), types.size());
    std::string type = types.substr(from, comma - from);
    type.erase(0, type.find_first_not_of(' '));
    type.erase(type.find_last_not_of(' ') + 1);
    from = comma + 1;
    static const std::vector<std::string> Known = {"ImageUploader", "FileUploader", "TextUploader",
                                                   "URLShortener", "URLSharingService"};
    if (equalsIgnoringCase(type, "None")) continue;
    if (std::none_of(Known.begin(), Known.end(),
                     [&](const std::string& known) { return equalsIgnoringCase(type, known); }))
      throw FieldError{"DestinationType", "unknown type '" + type + "'"};
    some = true;
    images = images || equalsIgnoringCase(type, "ImageUploader") ||
             equalsIgnoringCase(type, "FileUploader");
  }
  if (some && !images) throw FieldError{"DestinationType", "'" + types + "' takes no images"};
}

std::string methodOf(const Fields& fields) {
  // The older versions call it RequestType, and leave it out when it is POST.
  const std::string field = fields.has("RequestMethod") ? "RequestMethod" : "RequestType";
  std::string method = fields.text(field);
  if (method.empty()) return "POST";
  std::transform(method.begin(), method.end(), method.begin(), ::toupper);
  if (method == "GET" || method == "DELETE")
    throw FieldError{field, method + " is not supported: a file needs a body"};
  if (method != "POST" && method != "PUT" && method != "PATCH")
    throw FieldError{field, "unknown method '" + method + "'"};
  return method;
}

UploadBody bodyOf(const Fields& fields) {
  // Some files of the older versions call it RequestFormat; the oldest name none, and send the
  // file as a form field when FileFormName names one.
  const std::string field = fields.has("Body") ? "Body" : "RequestFormat";
  const std::string body = fields.text(field);
  if (body.empty()) {
    if (fields.text("FileFormName").empty())
      throw FieldError{"Body", "missing, and no FileFormName to send the file under"};
    return UploadBody::MultipartFormData;
  }
  if (equalsIgnoringCase(body, "MultipartFormData")) return UploadBody::MultipartFormData;
  if (equalsIgnoringCase(body, "Binary")) return UploadBody::Binary;
  // These bodies are text the file writes out whole; the format has no call that puts the
  // image's bytes into them, so they can send anything but the screenshot.
  for (const char* text : {"FormURLEncoded", "JSON", "XML"})
    if (equalsIgnoringCase(body, text))
      throw FieldError{field, text + std::string(" cannot carry an image")};
  if (equalsIgnoringCase(body, "None")) throw FieldError{field, "None cannot carry an image"};
  throw FieldError{field, "unknown body '" + body + "'"};
}

ResponseText responseOf(const Fields& fields) {
  const std::string response = fields.text("ResponseType");
  static const std::vector<std::pair<std::string, ResponseText>> Responses = {
      {"Text", ResponseText::Body},
      {"RedirectionURL", ResponseText::RedirectionURL},
      {"Headers", ResponseText::Headers},
      {"LocationHeader", ResponseText::LocationHeader}};
  if (response.empty()) return ResponseText::Body;
  for (const auto& [name, kind] : Responses)
    if (equalsIgnoringCase(response, name)) return kind;
  throw FieldError{"ResponseType", "unknown type '" + response + "'"};
}

// A header field's name is a token (RFC 9110): nothing that could end or split the line.
bool isFieldName(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) ||
           std::string_view("!#$%&'*+-.^_`|~").find(char(c)) != std::string_view::npos;
  });
}

template <class Make>
auto guarded(const std::string& field, Make make) {
  try {
    return make();
  } catch (const TemplateError& error) {
    throw FieldError{field, error.what()};
  }
}

class Reader {
 public:
  Reader(const Fields& fields, Syntax syntax) : fields_(fields), syntax_(syntax) {}

  std::vector<Regex> regexList() const {
    std::vector<Regex> list;
    const auto patterns = fields_.list("RegexList");
    for (size_t i = 0; i < patterns.size(); ++i)
      list.push_back(
          guarded("RegexList[" + std::to_string(i + 1) + "]", [&] { return Regex(patterns[i]); }));
    return list;
  }
  // A template of the request: nothing of the answer exists yet.
  Template request(const std::string& field, const std::string& text) const {
    Template result = answer(field, text);
    if (result.readsAnswer())
      throw FieldError{field, "reads the answer, which does not exist when the request is made"};
    return result;
  }
  Template answer(const std::string& field, const std::string& text) const {
    return guarded(field, [&] { return Template::parse(text, syntax_, regexList_); });
  }
  NamedTemplates requestTemplates(const std::string& field) const {
    NamedTemplates templates;
    for (const auto& [name, text] : fields_.texts(field))
      templates.emplace_back(name, request(field + "." + name, text));
    return templates;
  }
  void setRegexList(std::vector<Regex> list) { regexList_ = std::move(list); }

 private:
  const Fields& fields_;
  Syntax syntax_;
  std::vector<Regex> regexList_;
};

}  // namespace

namespace {

// A name shown on one line of a menu or a log: its control characters are blanks.
std::string displayName(std::string name) {
  std::replace_if(
      name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }, ' ');
  name.erase(0, name.find_first_not_of(' '));
  name.erase(name.find_last_not_of(' ') + 1);
  return name;
}

void addSecret(std::vector<std::string>& secrets, const std::string& text) {
  if (text.size() < CustomUploader::SecretBytesLeast) return;
  // As written, and as a query or a form carries it.
  const std::string encoded = QByteArray::fromStdString(text).toPercentEncoding().toStdString();
  std::string form = encoded;
  for (size_t at = form.find("%20"); at != std::string::npos; at = form.find("%20", at))
    form.replace(at, 3, "+");
  secrets.insert(secrets.end(), {text, encoded, form});
}

std::vector<std::string> secretsOf(const CustomUploader::Definition& definition,
                                   const QUrl& address) {
  std::vector<std::string> secrets;
  for (const NamedTemplates* named :
       {&definition.parameters, &definition.headers, &definition.arguments})
    for (const auto& [name, value] : *named)
      for (const auto& text : value.fixedTexts()) addSecret(secrets, text);
  if (!address.password().isEmpty())
    addSecret(secrets,
              (address.userName(QUrl::FullyDecoded) + ":" + address.password(QUrl::FullyDecoded))
                  .toStdString());
  addSecret(secrets, address.userInfo(QUrl::FullyEncoded).toStdString());
  addSecret(secrets, address.password(QUrl::FullyDecoded).toStdString());
  std::sort(secrets.begin(), secrets.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() > b.size() : a < b;
  });
  secrets.erase(std::unique(secrets.begin(), secrets.end()), secrets.end());
  return secrets;
}

QUrl readAddress(const Reader& reader, const Fields& fields,
                 CustomUploader::Definition& definition) {
  const std::string text = fields.text("RequestURL");
  if (text.empty()) throw FieldError{"RequestURL", "missing"};
  definition.requestURL = reader.request("RequestURL", text);
  const QUrl address(QString::fromStdString(definition.requestURL.expand({})), QUrl::StrictMode);
  if (!address.isValid() || (address.scheme() != "http" && address.scheme() != "https") ||
      address.host().isEmpty())
    throw FieldError{"RequestURL", "not an http or https address"};
  definition.requestUserInfo = address.userInfo(QUrl::FullyEncoded).toStdString();
  return address;
}

void readRequest(Reader& reader, const Fields& fields, CustomUploader::Definition& definition) {
  definition.body = bodyOf(fields);
  definition.fileFormName = fields.text("FileFormName");
  if (definition.body == UploadBody::MultipartFormData && definition.fileFormName.empty())
    throw FieldError{"FileFormName", "missing: MultipartFormData sends the file under it"};
  definition.parameters = reader.requestTemplates("Parameters");
  definition.headers = reader.requestTemplates("Headers");
  for (const auto& [name, value] : definition.headers)
    if (!isFieldName(name)) throw FieldError{"Headers", "'" + name + "' is no header field name"};
  definition.arguments = reader.requestTemplates("Arguments");
}

void readAnswer(const Reader& reader, const Fields& fields,
                CustomUploader::Definition& definition) {
  definition.response = responseOf(fields);
  definition.url = reader.answer("URL", fields.text("URL"));
  definition.thumbnailURL = reader.answer("ThumbnailURL", fields.text("ThumbnailURL"));
  definition.deletionURL = reader.answer("DeletionURL", fields.text("DeletionURL"));
  definition.errorMessage = reader.answer("ErrorMessage", fields.text("ErrorMessage"));
}

}  // namespace

std::variant<CustomUploader, CustomUploader::Failure> CustomUploader::parse(std::string_view text) {
  if (text.size() > FileBytesLimit)
    return Failure{"larger than " + std::to_string(FileBytesLimit) + " bytes"};
  QJsonParseError error;
  const QJsonDocument document =
      QJsonDocument::fromJson(QByteArray(text.data(), qsizetype(text.size())), &error);
  if (error.error != QJsonParseError::NoError)
    return Failure{"not JSON: " + error.errorString().toStdString() + " at offset " +
                   std::to_string(error.offset)};
  if (!document.isObject()) return Failure{"not a JSON object"};
  const Fields fields(document.object());
  try {
    auto definition = std::make_shared<Definition>();
    const Syntax syntax = syntaxOf(fields);
    requireImages(fields);
    definition->method = methodOf(fields);
    Reader reader(fields, syntax);
    // The older syntax's $regex:N$ names the RegexList; the newer one writes its regexes inline.
    std::vector<Regex> regexList = reader.regexList();
    if (syntax == Syntax::Dollars) reader.setRegexList(std::move(regexList));
    const QUrl address = readAddress(reader, fields, *definition);
    readRequest(reader, fields, *definition);
    readAnswer(reader, fields, *definition);
    definition->name = displayName(fields.text("Name"));
    if (definition->name.empty()) definition->name = address.host().toStdString();
    definition->secrets = secretsOf(*definition, address);
    return CustomUploader(std::move(definition));
  } catch (const FieldError& fault) {
    // Both may quote the file, whose texts may hold line breaks.
    return Failure{displayName(fault.field + ": " + fault.reason)};
  }
}

std::variant<CustomUploader, CustomUploader::Failure> CustomUploader::load(
    const std::string& path) {
  const auto data = platform::dataWithContentsOfFile(path);
  if (!data) return Failure{path + ": cannot be read"};
  // A large file is mapped, not read: parse turns it down by its size alone.
  auto uploader =
      parse(std::string_view(reinterpret_cast<const char*>(data->bytes()), data->size()));
  if (auto* failure = std::get_if<Failure>(&uploader))
    failure->reason = path + ": " + failure->reason;
  return uploader;
}

const std::string& CustomUploader::name() const {
  return definition_->name;
}

std::string CustomUploader::redact(std::string_view text) const {
  std::string redacted(text);
  for (const auto& secret : definition_->secrets)
    for (size_t at = redacted.find(secret); at != std::string::npos;
         at = redacted.find(secret, at + 3))
      redacted.replace(at, secret.size(), "***");
  return redacted;
}
