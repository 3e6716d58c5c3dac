// A custom uploader file as the agent and the pane load it, its request for a file, and its
// reading of an answer that holds the file's own text (so that its templates find what they
// look for). Whatever the file holds, it is refused with one line, or read.
// Invariants: a request's header fields are each one line; a multipart body, read by the upload
// service's own reader, holds exactly the file's Arguments and the file; an answer gives http(s)
// addresses without the file's secrets outside their host, or a failure of one line without them.
#include "common/CustomUploader.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/fuzz/UploaderChecks.h"
#include "tools/kapsho-upload-server/Multipart.h"

using fuzz_support::shown;

namespace {

const std::string kFileName = "Picture 1.png";
const std::string kImage = "\x89PNG\r\n\x1a\n--KapshoFormBoundary0\r\n";

struct Parts : upload_server::PartSink {
  std::vector<std::pair<std::string, std::string>> parts;
  bool partBegins(const std::string& name) override {
    parts.emplace_back(name, "");
    return true;
  }
  bool partBytes(const char* data, std::size_t size) override {
    parts.back().second.append(data, size);
    return true;
  }
};

// The Arguments as the file writes them, when they hold no calls and no name needs quoting.
std::optional<std::vector<std::pair<std::string, std::string>>> plainArguments(
    std::string_view file) {
  std::vector<std::pair<std::string, std::string>> arguments;
  const QJsonObject object =
      QJsonDocument::fromJson(QByteArray(file.data(), qsizetype(file.size()))).object();
  const QJsonObject values = object.value("Arguments").toObject();
  for (auto it = values.begin(); it != values.end(); ++it) {
    const std::string name = it.key().toStdString();
    if (!it.value().isString() || name.find_first_of("\"\\\r\n") != std::string::npos)
      return std::nullopt;
    const std::string value = it.value().toString().toStdString();
    if (value.find_first_of("{}$\\") != std::string::npos) return std::nullopt;
    arguments.emplace_back(name, value);
  }
  return arguments;
}

// Whether the file sends a multipart form: its Body (or the older RequestFormat) says so, or it
// names neither.
bool sendsForm(const QJsonObject& object) {
  const QJsonValue body = object.value("Body");
  const QString kind =
      (body.isUndefined() || body.isNull() ? object.value("RequestFormat") : body).toString();
  return kind.isEmpty() || kind.compare("MultipartFormData", Qt::CaseInsensitive) == 0;
}

void checkMultipart(const CustomUploader::Request& request, std::string_view file) {
  const auto type = request.headerFields.find("Content-Type");
  FUZZ_REQUIRE(type != request.headerFields.end(), "a multipart request has no Content-Type");
  const auto form = upload_server::formTypeOf(type->second);
  FUZZ_REQUIRE(form.boundary.has_value(),
               "a multipart request's boundary cannot be read from " + shown(type->second));
  Parts read;
  upload_server::MultipartReader reader(*form.boundary, read);
  const std::string_view body(reinterpret_cast<const char*>(request.body.bytes()),
                              request.body.size());
  FUZZ_REQUIRE(reader.read(body.data(), body.size()) && reader.complete(),
               "a multipart request's body does not read: " + shown(body));
  FUZZ_REQUIRE(!read.parts.empty() && read.parts.back().second == kImage,
               "the file is not the last part of a multipart request: " + shown(body));
  const auto arguments = plainArguments(file);
  if (!arguments) return;
  read.parts.pop_back();
  FUZZ_REQUIRE(read.parts == *arguments,
               "a multipart request's parts are not the file's Arguments: " + shown(body));
}

}  // namespace

FUZZ_TARGET(file) {
  auto loaded = CustomUploader::parse(file);
  if (const auto* failure = std::get_if<CustomUploader::Failure>(&loaded)) {
    FUZZ_REQUIRE(!failure->reason.empty() && fuzz_support::isOneLine(failure->reason),
                 "a file was refused without one line saying why: " + shown(failure->reason));
    return;
  }
  const CustomUploader& uploader = std::get<CustomUploader>(loaded);
  FUZZ_REQUIRE(!uploader.name().empty() && fuzz_support::isOneLine(uploader.name()),
               "an uploader's name is not one line: " + shown(uploader.name()));
  const auto request =
      uploader.requestForFile(platform::Data(kImage.begin(), kImage.end()), kFileName);
  for (const auto& [name, value] : request.headerFields)
    FUZZ_REQUIRE(value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos,
                 "the header field " + shown(name) + " is not one line: " + shown(value));
  if (sendsForm(QJsonDocument::fromJson(QByteArray(file.data(), qsizetype(file.size()))).object()))
    checkMultipart(request, file);

  const CustomUploader::Answer answer{
      200,
      {{"Location", "https://i.example/abc.png"}, {"Content-Type", "application/json"}},
      platform::Data(file.begin(), file.end()),
      request.url};
  fuzz_support::checkAnswerRead(uploader.linksForAnswer(answer, kFileName),
                                fuzz_support::secretsOfFile(file), 200,
                                QUrl(QString::fromStdString(request.url)));
}
