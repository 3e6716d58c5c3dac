// Reading a custom uploader's answer: the addresses of the uploaded file, or why it failed.
#include <strings.h>

#include <QByteArray>
#include <QString>
#include <QUrl>

#include "common/CustomUploaderDefinition.h"
#include "platform/foundation/URL.h"

using uploader::AnswerText;
using uploader::Expansion;
using uploader::TemplateError;

namespace {

// What of the server's own words a failure quotes at most.
constexpr size_t ErrorMessageBytesShown = 200;

// One line for the log: no control characters, no blanks at the ends.
std::string oneLine(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  text.erase(0, text.find_first_not_of(' '));
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

// At most `bytes` bytes, not cutting a UTF-8 sequence.
std::string shortened(std::string text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
  return text.substr(0, end) + "...";
}

std::string headerText(const std::map<std::string, std::string>& fields) {
  std::string text;
  for (const auto& [name, value] : fields) text += name + ": " + value + "\r\n";
  return text;
}

std::string headerField(const std::map<std::string, std::string>& fields, const char* name) {
  for (const auto& [field, value] : fields)
    if (strcasecmp(field.c_str(), name) == 0) return value;
  return {};
}

// What the older files' ResponseType names as the answer's text.
std::string responseText(ResponseText kind, std::string_view body,
                         const CustomUploader::Answer& answer) {
  switch (kind) {
    case ResponseText::RedirectionURL:
      return answer.url;
    case ResponseText::Headers:
      return headerText(answer.headerFields);
    case ResponseText::LocationHeader:
      return headerField(answer.headerFields, "Location");
    case ResponseText::Body:
      break;
  }
  return std::string(body);
}

class AnswerReader {
 public:
  AnswerReader(const CustomUploader::Definition& definition, const CustomUploader& uploader,
               const CustomUploader::Answer& answer, const std::string& fileName)
      : definition_(definition),
        uploader_(uploader),
        body_(reinterpret_cast<const char*>(answer.body.bytes()), answer.body.size()),
        response_(responseText(definition.response, body_, answer)),
        text_{.body = body_,
              .url = answer.url,
              .headerFields = &answer.headerFields,
              .response = response_},
        expansion_{.fileName = fileName, .answer = &text_} {}

  // The address a template gives: http or https, without the request's own user information,
  // and free of secrets but in its host (a secret is no host name, and an uploader may well name
  // the host its files are served from). Throws TemplateError.
  std::string address(const uploader::Template& source) const {
    std::string address = oneLine(source.empty() ? response_ : source.expand(expansion_));
    uploader::requireUTF8(address);
    const QUrl url(QString::fromStdString(address), QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != "http" && url.scheme() != "https") ||
        url.host().isEmpty())
      throw TemplateError("'" + shortened(address, 100) + "' is not an http or https address");
    auto span = *platform::authoritySpanOf(address);
    if (!definition_.requestUserInfo.empty() &&
        url.userInfo(QUrl::FullyEncoded).toStdString() == definition_.requestUserInfo) {
      address.erase(span.start, span.hostStart - span.start);
      span = *platform::authoritySpanOf(address);
    }
    const std::string outsideHost =
        address.substr(0, span.hostStart) + address.substr(span.hostEnd);
    // Encoded any way (%2f as well as %2F, or letters too), it is the same secret.
    const std::string decoded =
        QByteArray::fromPercentEncoding(QByteArray::fromStdString(outsideHost)).toStdString();
    if (uploader_.redact(outsideHost) != outsideHost || uploader_.redact(decoded) != decoded)
      throw TemplateError("the address would carry a secret of the uploader");
    return address;
  }
  std::string optionalAddress(const uploader::Template& source) const {
    try {
      return source.empty() ? std::string() : address(source);
    } catch (const TemplateError&) {
      return {};
    }
  }
  // ": <message>" when ErrorMessage yields text, else nothing.
  std::string errorMessage() const {
    try {
      const std::string message = oneLine(definition_.errorMessage.expand(expansion_));
      return message.empty() ? "" : ": " + shortened(message, ErrorMessageBytesShown);
    } catch (const TemplateError&) {
      return {};
    }
  }

 private:
  const CustomUploader::Definition& definition_;
  const CustomUploader& uploader_;
  std::string_view body_;
  std::string response_;
  AnswerText text_;
  Expansion expansion_;
};

}  // namespace

std::variant<CustomUploader::Links, CustomUploader::Failure> CustomUploader::linksForAnswer(
    const Answer& answer, const std::string& fileName) const {
  const std::string got = "Upload got " + std::to_string(answer.statusCode) + " response";
  // The status is the service's, never a secret: only what follows it is redacted.
  const auto failure = [&](const std::string& why) { return Failure{oneLine(got + redact(why))}; };
  if (answer.body.size() > AnswerBytesKept)
    return failure(": the answer is larger than " + std::to_string(AnswerBytesKept) + " bytes");
  const AnswerReader reader(*definition_, *this, answer, fileName);
  if (answer.statusCode < 200 || answer.statusCode > 299) return failure(reader.errorMessage());
  try {
    return Links{.url = reader.address(definition_->url),
                 .thumbnailURL = reader.optionalAddress(definition_->thumbnailURL),
                 .deletionURL = reader.optionalAddress(definition_->deletionURL)};
  } catch (const TemplateError& error) {
    return failure(" without a usable URL (" + std::string(error.what()) + ")" +
                   reader.errorMessage());
  }
}
